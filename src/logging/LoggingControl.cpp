// SPDX-License-Identifier: MIT
#include "LoggingControl.h"

#include "LoggingWindow.h"
#include "SerialPort.h"

#include <algorithm>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tolvar {

namespace {

constexpr char kCR = '\r';
constexpr char kRecordEnd[] = "\r\n";
constexpr std::size_t kLongLine = 1 << 20;

std::string writeFailure(int error) {
    return "Cannot write to log file (" + std::string(std::strerror(error)) +
           "). Logging has stopped.";
}

// Hands the memory of a long line back to the OS once the line is gone, so a burst with no CR
// costs nothing after its line is written or dropped.
void shrinkIfLong(std::string& bytes) {
    if (bytes.capacity() < kLongLine)
        return;
    bytes.shrink_to_fit();
#ifdef __GLIBC__
    // glibc keeps freed blocks for reuse, and after large frees it keeps up to 64 MiB.
    ::malloc_trim(0);
#endif
}

} // namespace

void LoggingControl::BeginLogging() {
    if (commMain.PortOpen(true) != 0) {
        window.ShowCritical("Comm port 1 is already in use. Logging cannot begin.", "Port open");
        return;
    }
    if (logFile.Open(window.PathText()) != 0) {
        window.ShowCritical("Cannot open log file. Logging cannot begin.", "Error");
        logFile.Close();
        commMain.PortOpen(false);
        return;
    }
    strLine.clear();
    shrinkIfLong(strLine);
    intTicks = 0;
    window.SetEnabled(Switch::tmrTimeout, true);
    window.SetEnabled(Switch::cmdBegin, false);
    window.SetEnabled(Switch::cmdStop, true);
    window.SetEnabled(Switch::txtPath, false);
    window.ShowProgress(intTicks);
}

void LoggingControl::StopLogging() {
    // The last sync failing is a failed write, told once logging has stopped.
    if (const int error = stop(); error != 0)
        tell(writeFailure(error));
}

int LoggingControl::stop() {
    commMain.PortOpen(false);
    const int error = logFile.Close();
    window.SetEnabled(Switch::tmrTimeout, false);
    window.SetEnabled(Switch::cmdBegin, true);
    window.SetEnabled(Switch::cmdStop, false);
    window.SetEnabled(Switch::txtPath, true);
    window.HideProgress();
    return error;
}

void LoggingControl::CapturePortInput() {
    const std::string s = commMain.Input();
    // Only while the open-failure message of BeginLogging is up is the port open without a file.
    if (!logFile.IsOpen() || s.empty())
        return;

    const std::size_t last = s.rfind(kCR);
    if (last == std::string::npos) {
        strLine += s;
        return;
    }
    // The pending bytes, then every record this read completes, each CR written as CR LF, go to
    // the OS in one write: no record is ever split between two. They are built in strLine's own
    // buffer, behind the pending bytes, so neither a long line nor a short one is copied again.
    const std::size_t pending = strLine.size();
    strLine.resize(pending + 2 * (last + 1));
    char* out = strLine.data() + pending;
    for (const char *p = s.data(), *end = p + last + 1; p != end;) {
        // An empty record needs no search.
        const char* cr =
            *p == kCR
                ? p
                : static_cast<const char*>(std::memchr(p, kCR, static_cast<std::size_t>(end - p)));
        out = std::copy(p, cr, out);
        out = std::copy(kRecordEnd, kRecordEnd + 2, out);
        p = cr + 1;
    }
    const int error = logFile.Write(strLine.data(), static_cast<std::size_t>(out - strLine.data()));
    strLine.assign(s, last + 1, std::string::npos);
    shrinkIfLong(strLine);
    if (error != 0)
        stopWithMessage(writeFailure(error));
}

void LoggingControl::CountTimeoutTick() {
    intTicks = static_cast<std::int16_t>(intTicks + 1);
    if (intTicks == kTickLimit) {
        if (const int error = stop(); error != 0)
            tell(writeFailure(error));
        else
            window.AskAttention();
    } else if (IsLogging()) {
        window.ShowProgress(intTicks);
    }
}

void LoggingControl::PortDisconnected() {
    if (IsLogging())
        stopWithMessage("Comm port 1 was disconnected. Logging has stopped.");
}

void LoggingControl::stopWithMessage(const std::string& text) {
    // Stop first: the box runs its own event loop, and nothing may log behind it. One box per
    // incident: a last sync failing behind a failed write or an unplug adds none.
    stop();
    tell(text);
}

void LoggingControl::tell(const std::string& text) {
    window.AskAttention();
    window.ShowCritical(text, "Error");
}

} // namespace tolvar

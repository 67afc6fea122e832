// SPDX-License-Identifier: MIT
#include "LoggingControl.h"

#include "LoggingWindow.h"
#include "Memory.h"
#include "SerialPort.h"

#include <algorithm>
#include <cstring>

namespace tolvar {

namespace {

constexpr char kCR = '\r';
constexpr char kRecordEnd[] = "\r\n";

std::string writeFailure(int error) {
    return "Cannot write to log file (" + std::string(std::strerror(error)) +
           "). Logging has stopped.";
}

} // namespace

LoggingControl::~LoggingControl() = default;

void LoggingControl::BeginLogging() {
    if (writer != nullptr)
        return; // the last run's writer is still at work
    if (commMain.PortOpen(true) != 0) {
        window.ShowCritical("Comm port 1 is already in use. Logging cannot begin.", "Port open");
        return;
    }
    const std::string path = window.PathText();
    FileHandle file = kNoFile;
    if (OpenForAppend(path, file) != 0) {
        window.ShowCritical("Cannot open log file. Logging cannot begin.", "Error");
        commMain.PortOpen(false);
        return;
    }
    IgnoreWriteSignals();
    writer = std::make_unique<LogWriter>(
        file, path, [this] { window.PostLogWriterCheck(); }, fileCalls);
    stopping = false;
    told = false;
    strLine.clear();
    GiveBackIfLong(strLine);
    intTicks = 0;
    window.SetEnabled(Switch::tmrTimeout, true);
    window.SetEnabled(Switch::cmdBegin, false);
    window.SetEnabled(Switch::cmdStop, true);
    window.SetEnabled(Switch::txtPath, false);
    window.ShowProgress(intTicks);
}

void LoggingControl::StopLogging() {
    if (IsLogging())
        endRun(false);
}

void LoggingControl::endRun(bool toldAlready) {
    // Every complete line the port has received goes to the log before the port closes.
    commMain.Gather();
    CapturePortInput();
    commMain.PortOpen(false);
    writer->Finish();
    stopping = true;
    told = toldAlready;
    window.SetEnabled(Switch::tmrTimeout, false);
    window.SetEnabled(Switch::cmdStop, false);
    window.HideProgress();
}

void LoggingControl::CapturePortInput() {
    const std::string s = commMain.Input();
    // Only while the open-failure message of BeginLogging is up is the port open without a log.
    if (!IsLogging() || s.empty())
        return;

    const std::size_t last = s.rfind(kCR);
    if (last == std::string::npos) {
        strLine += s;
        return;
    }
    // The pending bytes, then every record this read completes, each CR written as CR LF, go to
    // the writer in one piece: no record is ever split between two writes. They are built in
    // strLine's own buffer, behind the pending bytes, so a long line is copied only into the
    // writer's queue.
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
    writer->Hand(strLine.data(), static_cast<std::size_t>(out - strLine.data()));
    strLine.assign(s, last + 1, std::string::npos);
    GiveBackIfLong(strLine);
}

void LoggingControl::CountTimeoutTick() {
    intTicks = static_cast<std::int16_t>(intTicks + 1);
    if (!IsLogging())
        return;
    if (intTicks == kTickLimit) {
        endRun(false);
        window.AskAttention();
    } else {
        window.ShowProgress(intTicks);
    }
}

void LoggingControl::PortDisconnected() {
    if (!IsLogging())
        return;
    endRun(true);
    tell("Comm port 1 was disconnected. Logging has stopped.");
}

void LoggingControl::WindowClosing() {
    if (IsLogging())
        endRun(true);
}

void LoggingControl::CheckLogWriter() {
    failedWriters.erase(std::remove_if(failedWriters.begin(), failedWriters.end(),
                                       [](const auto& failed) { return failed->Finished(); }),
                        failedWriters.end());
    if (writer == nullptr)
        return;
    const int error = writer->Error();
    const bool finished = writer->Finished();
    const bool stuck = writer->Stuck();
    const bool failedNow = error != 0 && !told;
    if (!finished && !stuck && !failedNow)
        return;
    if (failedNow && !stopping)
        endRun(true);
    told = true;
    // The window shows Idle once the writer has closed the log, or at once when the OS holds its
    // last write, which it may do for good.
    if (finished || stuck) {
        if (!finished)
            failedWriters.push_back(std::move(writer));
        writer.reset();
        stopping = false;
        window.SetEnabled(Switch::cmdBegin, true);
        window.SetEnabled(Switch::txtPath, true);
    }
    // A failure is told once, with the window as it now is: the box runs an event loop of its own.
    if (failedNow)
        tell(writeFailure(error));
}

void LoggingControl::tell(const std::string& text) {
    window.AskAttention();
    window.ShowCritical(text, "Error");
}

} // namespace tolvar

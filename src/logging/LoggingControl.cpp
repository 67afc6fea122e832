#include "LoggingControl.h"

#include "LoggingWindow.h"
#include "SerialPort.h"

#include <cstring>

namespace tolvar {

namespace {

constexpr char kCR = '\r';
constexpr char kRecordEnd[] = "\r\n";

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
    intTicks = 0;
    window.SetEnabled(Switch::tmrTimeout, true);
    window.SetEnabled(Switch::cmdBegin, false);
    window.SetEnabled(Switch::cmdStop, true);
    window.SetEnabled(Switch::txtPath, false);
}

void LoggingControl::StopLogging() {
    commMain.PortOpen(false);
    logFile.Close();
    window.SetEnabled(Switch::tmrTimeout, false);
    window.SetEnabled(Switch::cmdBegin, true);
    window.SetEnabled(Switch::cmdStop, false);
    window.SetEnabled(Switch::txtPath, true);
}

void LoggingControl::CapturePortInput() {
    const std::string s = commMain.Input();
    // Only while the open-failure message of BeginLogging is up is the port open without a file.
    if (!logFile.IsOpen() || s.empty())
        return;

    std::size_t start = 0;
    for (std::size_t cr = s.find(kCR); cr != std::string::npos; cr = s.find(kCR, start)) {
        logFile.Write(strLine.data(), strLine.size());
        logFile.Write(s.data() + start, cr - start);
        logFile.Write(kRecordEnd, 2);
        strLine.clear();
        start = cr + 1;
    }
    strLine.append(s, start, std::string::npos);

    // Every complete record reaches the OS now, so a crash or a closed window loses none.
    if (const int error = logFile.Flush(); error != 0)
        stopWithMessage("Cannot write to log file (" + std::string(std::strerror(error)) +
                        "). Logging has stopped.");
}

void LoggingControl::CountTimeoutTick() {
    intTicks = static_cast<std::int16_t>(intTicks + 1);
    if (intTicks == kTickLimit)
        StopLogging();
}

void LoggingControl::PortDisconnected() {
    if (IsLogging())
        stopWithMessage("Comm port 1 was disconnected. Logging has stopped.");
}

void LoggingControl::stopWithMessage(const std::string& text) {
    // Stop first: the box runs its own event loop, and nothing may log behind it.
    StopLogging();
    window.ShowCritical(text, "Error");
}

} // namespace tolvar

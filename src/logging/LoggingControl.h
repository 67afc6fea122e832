// SPDX-License-Identifier: MIT
#pragma once

#include "LogFile.h"

#include <cstdint>
#include <string>

namespace tolvar {

class LoggingWindow;
class SerialPort;

// Starts and stops logging, turns received bytes into records of the log file, and ends
// logging after a fixed number of timer ticks.
class LoggingControl {
  public:
    static constexpr std::int16_t kTickLimit = 90;

    // The sync function is the log file's: a stand-in lets tests make a sync fail.
    LoggingControl(SerialPort& port, LoggingWindow& owner, Syncer::SyncFunction sync = SyncFile)
        : commMain(port), window(owner), logFile(sync) {}

    void BeginLogging();
    void StopLogging();
    void CapturePortInput();
    void CountTimeoutTick();
    // The device went away; the serial control has already closed the port.
    void PortDisconnected();

    bool IsLogging() const { return logFile.IsOpen(); }
    std::int16_t Ticks() const { return intTicks; }
    const std::string& PendingLine() const { return strLine; }

  private:
    // Stops logging; returns the error number of the log file's last sync, or 0.
    int stop();
    void stopWithMessage(const std::string& text);
    void tell(const std::string& text);

    SerialPort& commMain;
    LoggingWindow& window;
    LogFile logFile;
    std::int16_t intTicks = 0;
    // Bytes received since the last CR; written only when their CR arrives.
    std::string strLine;
};

} // namespace tolvar

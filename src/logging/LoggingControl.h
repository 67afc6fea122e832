// SPDX-License-Identifier: MIT
#pragma once

#include "LogWriter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvar {

class LoggingWindow;
class SerialPort;

// Runs a run of logging: starts and stops it, turns received bytes into records for the log
// writer, and ends it after a fixed number of timer ticks. Everything here runs on the window's
// thread and returns at once: the file work is the writer's.
class LoggingControl {
  public:
    static constexpr std::int16_t kTickLimit = 90;
    static constexpr int kTickInterval = 60000; // ms: one tick a minute

    // The file calls are the OS's: stand-ins let tests make a write or a sync slow or fail.
    LoggingControl(SerialPort& port, LoggingWindow& owner, FileCalls calls = {})
        : commMain(port), window(owner), fileCalls(calls) {}
    // Waits for the log writers to finish (see ~LogWriter).
    ~LoggingControl();
    LoggingControl(const LoggingControl&) = delete;
    LoggingControl& operator=(const LoggingControl&) = delete;

    void BeginLogging();
    void StopLogging();
    void CapturePortInput();
    void CountTimeoutTick();
    // The device went away; the serial control may have closed the port already.
    void PortDisconnected();
    // The window is closing, and the program ends once the writer has finished.
    void WindowClosing();
    // The log writer has news: a failure, or it has finished.
    void CheckLogWriter();

    // From Begin to a stop; the window shows Idle only once the writer has finished.
    bool IsLogging() const { return writer != nullptr && !stopping; }
    std::int16_t Ticks() const { return intTicks; }
    const std::string& PendingLine() const { return strLine; }

  private:
    // Takes every byte the port has received, then closes it and lets the writer finish.
    void endRun(bool told);
    void tell(const std::string& text);

    SerialPort& commMain;
    LoggingWindow& window;
    const FileCalls fileCalls;
    std::int16_t intTicks = 0;
    // Bytes received since the last CR; written only when their CR arrives.
    std::string strLine;
    // The run's writer, from Begin until it has finished.
    std::unique_ptr<LogWriter> writer;
    bool stopping = false;
    // The run's end was already told: a last sync failing behind it adds no second box.
    bool told = false;
    // Writers of failed runs whose last write the OS still holds.
    std::vector<std::unique_ptr<LogWriter>> failedWriters;
};

} // namespace tolvar

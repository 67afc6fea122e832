// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace tolvar {

// The window parts whose Enabled switch the logic flips between Idle and Logging.
enum class Switch { tmrTimeout, cmdBegin, cmdStop, txtPath };

// What the logging logic needs of the main window.
class LoggingWindow {
  public:
    virtual ~LoggingWindow() = default;

    // The log path as typed, in UTF-8.
    virtual std::string PathText() const = 0;
    virtual void SetEnabled(Switch part, bool enabled) = 0;
    // A modal box with the critical icon and one OK button; returns when it is closed.
    virtual void ShowCritical(const std::string& text, const std::string& title) = 0;

    // Where the desktop shows long work (the taskbar button): the run's ticks so far, out of
    // LoggingControl::kTickLimit, from Begin to the stop; nothing once logging has stopped.
    // Neither may fail in a way that stops logging.
    virtual void ShowProgress(std::int16_t ticks) = 0;
    virtual void HideProgress() = 0;
    // Logging stopped without the operator asking (time limit, unplug, failed write): the window
    // asks for attention if it is not the active one.
    virtual void AskAttention() = 0;

    // Called on a log writer's thread: the window's thread is to run
    // LoggingControl::CheckLogWriter soon. Must not block.
    virtual void PostLogWriterCheck() = 0;
};

} // namespace tolvar

// SPDX-License-Identifier: MIT
#pragma once

#include "Handle.h"
#include "LoggingControl.h"
#include "LoggingWindow.h"
#include "SerialControl.h"
#include "TaskbarButton.h"

#include <windows.h>

#include <string>

namespace tolvar {

// The program's one window: its controls, the timer and serial control beside them, and the
// routing of their events to the logging logic. Laid out in pixels at 96 DPI, scaled to the
// window's DPI.
class FrmMain final : private LoggingWindow {
  public:
    // Control ids, for GetDlgItem; tab order is the order of the ids.
    static constexpr int cmdBeginId = 101;
    static constexpr int cmdStopId = 102;
    static constexpr int Label1Id = 103;
    static constexpr int txtPathId = 104;
    // tmrTimeout is the window's timer with this id: each WM_TIMER with it is one tick.
    static constexpr UINT_PTR tmrTimeoutId = 1;
    // Posted by the log writer's threads; after the serial control's messages.
    static constexpr UINT kCheckLogWriter = SerialControl::Disconnected + 1;

    explicit FrmMain(HINSTANCE instance, std::wstring portName = SerialControl::port1Name);
    ~FrmMain() override;
    FrmMain(const FrmMain&) = delete;
    FrmMain& operator=(const FrmMain&) = delete;

    HWND Handle() const { return frmMain; }
    // 0 once the window is made; otherwise the system's error code for why it could not be.
    DWORD CreationError() const { return creationError; }
    // The keyboard part of the message loop: Tab, Enter and the access keys. True when the
    // message is dealt with and must not be dispatched.
    bool TranslateKeys(MSG& message);

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    HWND createFrame(HINSTANCE instance);
    void createControls(HINSTANCE instance);
    // Places the controls and picks the font for this DPI.
    void layOut(UINT dpi);
    void sizeFrame();

    std::string PathText() const override;
    void SetEnabled(Switch part, bool enabled) override;
    void ShowCritical(const std::string& text, const std::string& title) override;
    void ShowProgress(std::int16_t ticks) override;
    void HideProgress() override;
    void AskAttention() override;
    void PostLogWriterCheck() override;

    // Everything up to commMain is in place before the window is made, as its first messages
    // already reach handle().
    HWND frmMain = nullptr;
    DWORD creationError = 0;
    HWND cmdBegin = nullptr;
    HWND cmdStop = nullptr;
    HWND Label1 = nullptr;
    HWND txtPath = nullptr;
    UniqueFont font;
    UINT dpi = 96;
    bool timerOn = false;
    TaskbarButton taskbar;
    SerialControl commMain;
    LoggingControl logic{commMain, *this};
};

} // namespace tolvar

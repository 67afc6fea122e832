// SPDX-License-Identifier: MIT
#pragma once

#include <shobjidl.h>
#include <windows.h>

namespace tolvar {

// The window's button on the taskbar: how far the run has got, and a call for attention. None of
// it may stop logging, so every failure here just leaves the button as it is.
class TaskbarButton {
  public:
    TaskbarButton();
    ~TaskbarButton();
    TaskbarButton(const TaskbarButton&) = delete;
    TaskbarButton& operator=(const TaskbarButton&) = delete;

    // The shell says so each time it makes the window's button (again after it restarts): only
    // from then on does the button take progress.
    bool IsCreatedMessage(UINT message) const {
        return createdMessage != 0 && message == createdMessage;
    }
    // Before the window shows: an elevated program hears the shell only if it lets the message in.
    void Listen(HWND window) const;
    void Created(HWND window);

    void ShowProgress(HWND window, int done, int total);
    void HideProgress(HWND window);
    // Flashes the button until the window is activated, unless it is the active one already.
    static void AskAttention(HWND window);

  private:
    bool makeList();
    void show(HWND window);

    const UINT createdMessage;
    // COM starts with the first progress shown, not with the program: a start that never logs
    // costs nothing of it.
    bool comReady = false;
    bool comTried = false;
    ITaskbarList3* list = nullptr;
    // What the button shows: the progress, or none when total is 0.
    int done = 0;
    int total = 0;
};

} // namespace tolvar

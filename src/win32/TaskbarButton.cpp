// SPDX-License-Identifier: MIT
#include "TaskbarButton.h"

namespace tolvar {

TaskbarButton::TaskbarButton() : createdMessage(RegisterWindowMessageW(L"TaskbarButtonCreated")) {}

TaskbarButton::~TaskbarButton() {
    if (list != nullptr)
        list->Release();
    if (comReady)
        CoUninitialize();
}

void TaskbarButton::Listen(HWND window) const {
    ChangeWindowMessageFilterEx(window, createdMessage, MSGFLT_ALLOW, nullptr);
}

void TaskbarButton::Created(HWND window) {
    // A new button after the shell restarted: the old list is the old shell's.
    if (list != nullptr) {
        list->Release();
        list = nullptr;
    }
    // A new button shows no progress; a run already going shows its own.
    if (total != 0)
        show(window);
}

void TaskbarButton::ShowProgress(HWND window, int doneNow, int totalNow) {
    done = doneNow;
    total = totalNow;
    show(window);
}

void TaskbarButton::HideProgress(HWND window) {
    total = 0;
    show(window);
}

// Made when first needed: the shell has made the button by the time the operator can click Begin,
// and where no shell says so (wine), the calls still go out and fail quietly if nothing listens.
bool TaskbarButton::makeList() {
    if (list != nullptr)
        return true;
    if (!comTried) {
        comTried = true;
        comReady =
            SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    }
    ITaskbarList3* made = nullptr;
    // __uuidof rather than the ids' library, which would bring every id of Windows along.
    if (!comReady ||
        FAILED(CoCreateInstance(__uuidof(TaskbarList), nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(ITaskbarList3), reinterpret_cast<void**>(&made))))
        return false;
    if (FAILED(made->HrInit())) {
        made->Release();
        return false;
    }
    list = made;
    return true;
}

void TaskbarButton::show(HWND window) {
    if (!makeList())
        return;
    if (total == 0) {
        list->SetProgressState(window, TBPF_NOPROGRESS);
        return;
    }
    list->SetProgressState(window, TBPF_NORMAL);
    list->SetProgressValue(window, static_cast<ULONGLONG>(done), static_cast<ULONGLONG>(total));
}

void TaskbarButton::AskAttention(HWND window) {
    if (GetForegroundWindow() == window)
        return;
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = window;
    flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
}

} // namespace tolvar

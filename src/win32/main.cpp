// SPDX-License-Identifier: MIT
#include "FrmMain.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    tolvar::FrmMain frmMain(instance);
    ShowWindow(frmMain.Handle(), show);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (frmMain.TranslateKeys(message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

// SPDX-License-Identifier: MIT
#include "FrmMain.h"

#include <cwctype>
#include <iterator>
#include <string>

namespace {

// The system's text for an error code, without its closing period and line break.
std::wstring reasonFor(DWORD error) {
    wchar_t text[512] = L"";
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring reason(text, length);
    while (!reason.empty() && (reason.back() == L'.' || std::iswspace(reason.back())))
        reason.pop_back();
    if (reason.empty()) {
        wsprintfW(text, L"error %lu", error);
        reason = text;
    }
    return reason;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    tolvar::FrmMain frmMain(instance);
    if (frmMain.CreationError() != 0) {
        // Without a window there is nothing to run: say why, and leave.
        const std::wstring text =
            L"Cannot create the window (" + reasonFor(frmMain.CreationError()) + L").";
        MessageBoxW(nullptr, text.c_str(), L"Error", MB_ICONERROR | MB_OK);
        return 1;
    }
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

// SPDX-License-Identifier: MIT
// Drives a window of the program under test from inside its wine session, for what X input
// cannot do: read a control's place and text, set a text outside ASCII, post timer ticks.
//
// clang-format off
//   window_tool rect TITLE CLASS [TEXT]    prints the control's screen rectangle: x y width height
//   window_tool text TITLE CLASS [TEXT]    prints the control's text (UTF-8)
//   window_tool settext TITLE CLASS TEXT   replaces the control's text
//   window_tool tick TITLE ID COUNT        posts COUNT WM_TIMER messages with the timer id ID
// clang-format on
//
// TITLE names a top-level window; CLASS and TEXT pick its first such child (any text if none is
// given). Exit status 1 when the window or control is not there, 2 on bad arguments.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string toUtf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(size - 1));
    return bytes;
}

std::wstring textOf(HWND window) {
    std::wstring text(static_cast<size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    const auto copied =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(copied));
    return text;
}

int fail(const char* what) {
    std::fprintf(stderr, "window_tool: %s\n", what);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: window_tool rect|text|settext|tick TITLE ...\n");
        return 2;
    }
    const std::wstring command = argv[1];
    const HWND top = FindWindowW(nullptr, argv[2]);
    if (top == nullptr) {
        return fail("no such window");
    }
    if (command == L"tick") {
        if (argc != 5) {
            return 2;
        }
        const auto id = static_cast<WPARAM>(std::wcstoul(argv[3], nullptr, 10));
        for (long i = std::wcstol(argv[4], nullptr, 10); i > 0; --i) {
            PostMessageW(top, WM_TIMER, id, 0);
        }
        return 0;
    }
    const wchar_t* text = command == L"settext" ? nullptr : (argc > 4 ? argv[4] : nullptr);
    const HWND control = FindWindowExW(top, nullptr, argv[3], text);
    if (control == nullptr) {
        return fail("no such control");
    }
    if (command == L"rect") {
        RECT r;
        GetWindowRect(control, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    } else if (command == L"text") {
        std::printf("%s\n", toUtf8(textOf(control)).c_str());
    } else if (command == L"settext" && argc == 5) {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
    } else {
        return 2;
    }
    return 0;
}

// SPDX-License-Identifier: MIT
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace tolvar {

// Windows objects that close themselves when their owner goes, on every path.

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// A kernel handle: a file, a thread, an event.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// CreateFile says INVALID_HANDLE_VALUE where the other calls say null; both mean none.
inline UniqueHandle OwnHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct GdiDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiDeleter>;

// A window's device context, for as long as the scope lasts.
class WindowDC {
  public:
    explicit WindowDC(HWND owner) : window(owner), dc(GetDC(owner)) {}
    ~WindowDC() {
        if (dc != nullptr)
            ReleaseDC(window, dc);
    }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;

    HDC get() const { return dc; }

  private:
    HWND window;
    HDC dc;
};

} // namespace tolvar

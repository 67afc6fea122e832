// SPDX-License-Identifier: MIT
#include "WindowAttention.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tolvar {

namespace {

// WM_HINTS is nine 32-bit fields, the first of them the flags.
constexpr std::uint32_t kUrgencyHint = 1U << 8;
constexpr std::uint32_t kHintFields = 9;

// Qt's alert on X11 only asks the window manager to add a state to the window, which nothing
// records without one. The urgency flag in the window's own hints is the older request, which
// window managers and taskbars that know only it read too, and which tools such as xprop show.
void setUrgencyHint(QWidget& window, bool urgent) {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr)
        return;
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window.winId());
    std::array<std::uint32_t, kHintFields> hints{};
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, kHintFields),
        nullptr);
    if (reply != nullptr) {
        const int length = xcb_get_property_value_length(reply);
        if (reply->format == 32 && length > 0)
            std::memcpy(hints.data(), xcb_get_property_value(reply),
                        std::min(sizeof hints, static_cast<std::size_t>(length)));
        std::free(reply);
    }
    hints[0] = urgent ? hints[0] | kUrgencyHint : hints[0] & ~kUrgencyHint;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                        32, kHintFields, hints.data());
    xcb_flush(connection);
}

} // namespace

WindowAttention::WindowAttention(QWidget& watched) : window(watched) {
    window.installEventFilter(this);
}

void WindowAttention::Ask() {
    if (window.isActiveWindow() && !window.isMinimized())
        return;
    QApplication::alert(&window);
    setUrgencyHint(window, true);
    urgent = true;
}

bool WindowAttention::eventFilter(QObject* watched, QEvent* event) {
    if (urgent && event->type() == QEvent::ActivationChange && window.isActiveWindow()) {
        setUrgencyHint(window, false);
        urgent = false;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tolvar

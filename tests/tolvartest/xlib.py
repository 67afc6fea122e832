# SPDX-License-Identifier: MIT
"""The few calls of Xlib the tests and benchmarks make, through ctypes (no binding to install)."""

import ctypes

CLIENT_MESSAGE, MAP_NOTIFY = 33, 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class ClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class MapEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("override_redirect", ctypes.c_int)]


class Event(ctypes.Union):
    _fields_ = [("client", ClientMessageEvent), ("map", MapEvent), ("pad", ctypes.c_long * 24)]


def load():
    """libX11 with the prototypes of the calls used here."""
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    pointer, window = ctypes.c_void_p, ctypes.c_ulong
    x11.XOpenDisplay.restype = pointer
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    for call in (x11.XCloseDisplay, x11.XFlush, x11.XPending, x11.XConnectionNumber, x11.XDefaultRootWindow):
        call.argtypes = [pointer]
    x11.XDefaultRootWindow.restype = window
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [pointer, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [pointer, window, ctypes.c_int, ctypes.c_long, pointer]
    x11.XSelectInput.argtypes = [pointer, window, ctypes.c_long]
    x11.XSync.argtypes = [pointer, ctypes.c_int]
    x11.XNextEvent.argtypes = [pointer, pointer]
    return x11


def give_keys(display_name, characters):
    """Binds each character to a key of its own that nothing uses. xdotool types a character missing
    from the keymap by remapping a key for a moment, and a program can miss that moment."""
    x11 = load()
    x11.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
    x11.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    x11.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                           ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
    x11.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    x11.XFree.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(display_name.encode())
    low, high, per = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    x11.XDisplayKeycodes(display, ctypes.byref(low), ctypes.byref(high))
    count = high.value - low.value + 1
    syms = x11.XGetKeyboardMapping(display, low.value, count, ctypes.byref(per))
    unused = [low.value + i for i in range(count) if not any(syms[i * per.value + j] for j in range(per.value))]
    x11.XFree(syms)
    for keycode, character in zip(unused, characters):
        # Latin-1 keysyms are the code points; the rest of Unicode sits at 0x1000000 and up.
        keysym = ord(character) if ord(character) < 0x100 else 0x1000000 + ord(character)
        x11.XChangeKeyboardMapping(display, keycode, 2, (ctypes.c_ulong * 2)(keysym, keysym), 1)
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)

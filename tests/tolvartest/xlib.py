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

"""Runs the real tolvar-logger under Xvfb with a pseudo-terminal as its port 1.

The program always opens /dev/ttyS0, which on a test machine may be a real UART. So it runs through
the launcher, in a private mount namespace where the pty slave is bound over /dev/ttyS0 and
/run/lock is a fresh tmpfs; when any of that cannot be set up, the launcher does not start the
program and the test is skipped.
"""

import ctypes
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import time

import xlib
from xdisplay import Display, Skip

SKIP = 77
TITLE = "Tolvar data logger module"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

# Centres of the two buttons in the window's client area.
BEGIN_AT = (48, 57)
STOP_AT = (222, 57)

# Starts a command with a device as its /dev/ttyS0, only once the bind is checked.
LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "launcher",
                        "tolvar-logger-on")
LAUNCHER_CANNOT = 69  # no namespace or no bind: the program was not started


def main(*cases):
    """Runs the case named last on the command line with the arguments before it."""
    *args, name = sys.argv[1:]
    try:
        {case.__name__: case for case in cases}[name](*args)
    except Skip as reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP)
    print("passed")


def wait_until(condition, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


class Session:
    """One run of the program: a display, a pty as port 1, and a folder for the log."""

    def __init__(self, program, faketime=None, launcher=LAUNCHER):
        for tool in ("unshare", "mount"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed")
        # None: the one the launcher finds beside itself. The program runs in a folder of its own.
        self.program = os.path.abspath(program) if program else None
        self.faketime = faketime
        self.launcher = launcher
        self.dir = tempfile.TemporaryDirectory(prefix="tolvar-e2e-")
        # The program runs in this folder, so its default path, relative on Linux, lands here.
        self.log = os.path.join(self.dir.name, "C:\\Windows\\Desktop\\logFile.txt")
        self.display = Display()
        self.proc = self.master = None

    def __enter__(self):
        self.display.__enter__()
        self.env = self.display.env
        try:
            self._start_program()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.display.__exit__()
        if self.master is not None:
            os.close(self.master)
        self.dir.cleanup()

    def _start_program(self):
        self.master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        command = [self.program] if self.program else []
        if self.faketime:
            # Only the program's clock runs fast, never the driver's.
            command = ["env", "LD_PRELOAD=" + FAKETIME_LIB, "FAKETIME=" + self.faketime] + command
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([self.launcher, self.slave_path] + command,
                                     env=self.env, cwd=self.dir.name, stderr=self.errors)
        self.window = self.display.wait_window(TITLE, self.proc)
        if self.window is None:
            self.errors.seek(0)
            said = self.errors.read().decode(errors="replace").strip()
            if self.proc.returncode == LAUNCHER_CANNOT:
                raise Skip(f"no private mount namespace with a pty as /dev/ttyS0 could be made: {said}")
            raise AssertionError(f"the program ended with {self.proc.returncode}: {said}\n"
                                 f"Xvfb {self.display.name} said: {self.display.said()}")

    def xdotool(self, *args, check=True):
        return self.display.xdotool(*args, check=check)

    def click(self, at):
        self.xdotool("mousemove", "--window", self.window, str(at[0]), str(at[1]), "click", "1")

    def key(self, keys, window=None):
        self.xdotool("windowfocus", "--sync", window or self.window)
        self.xdotool("key", keys)

    def wait_for_window(self, title):
        window = self.display.wait_window(title, self.proc)
        if window is None:
            raise AssertionError(f"the program ended before the window {title!r} showed")
        return window

    def port_in_raw_mode(self):
        # The pty's settings tell whether the program holds the port: it opens it raw and
        # restores the cooked settings when it closes it.
        return not termios.tcgetattr(self.master)[3] & termios.ICANON

    def wait_logging(self):
        wait_until(self.port_in_raw_mode, what="the port to open")

    def wait_port_closed(self, timeout=10.0):
        wait_until(lambda: not self.port_in_raw_mode(), timeout, what="the port to close")

    def send(self, data):
        os.write(self.master, data)

    def log_bytes(self):
        try:
            with open(self.log, "rb") as log:
                return log.read()
        except FileNotFoundError:
            return None

    def wait_log(self, expected):
        wait_until(lambda: self.log_bytes() == expected, what=f"the log to hold {expected!r}")

    def hold_port_with_flock(self):
        """Holds port 1 the way common serial tools do; returns the descriptor to close."""
        holder = os.open(self.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return holder

    def close_window(self):
        """Asks the window to close, as the frame's close button does."""
        send_delete_window(self.env["DISPLAY"], int(self.window))

    def wait_exit(self, timeout=10.0):
        return self.proc.wait(timeout)


def send_delete_window(display_name, window):
    """Sends WM_DELETE_WINDOW: what a window manager does when the close button is pressed."""
    x11 = xlib.load()
    display = x11.XOpenDisplay(display_name.encode())
    if not display:
        raise AssertionError("cannot open the display")
    event = xlib.Event()
    event.client.type = xlib.CLIENT_MESSAGE
    event.client.window = window
    event.client.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.client.format = 32
    event.client.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)

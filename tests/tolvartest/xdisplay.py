# SPDX-License-Identifier: MIT
"""A private X display (Xvfb) for tests of the real program."""

import fcntl
import os
import shutil
import subprocess
import tempfile
import time

from . import Skip


# Numbers this module hands out; each is claimed with flock for the whole life of its Xvfb.
# Left to pick its own number, a new Xvfb can take one whose previous server is still shutting
# down, which then deletes the new server's socket as it goes.
DISPLAY_NUMBERS = range(40, 140)


class Display:
    def __enter__(self):
        for tool in ("Xvfb", "xdotool"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed")
        self.errors = tempfile.TemporaryFile()
        for number in DISPLAY_NUMBERS:
            self.claim = open(os.path.join(tempfile.gettempdir(), f"tolvar-xdisplay-{number}.lock"), "w")
            try:
                fcntl.flock(self.claim, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                self.claim.close()
                continue
            if self._start(number):
                break
            self.claim.close()  # a server outside this module has that number
        else:
            raise Skip(f"no display number free for Xvfb: {self.said()}")
        self.name = f":{number}"
        # A desktop without a session bus: D-Bus would otherwise start one for the display, which
        # outlives the program, and a test's program must not talk to the desktop of whoever runs it.
        self.env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb",
                        DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
        deadline = time.monotonic() + 20
        while not self.xdotool("getdisplaygeometry"):
            if time.monotonic() > deadline:
                self.__exit__()
                raise AssertionError(f"Xvfb {self.name} takes no clients: {self.said()}")
            time.sleep(0.02)
        return self

    def _start(self, number):
        """Starts Xvfb on the number; true once it takes clients."""
        read_end, write_end = os.pipe()
        # -noreset: by default the server resets when its last client leaves and drops any client
        # still connecting at that moment, such as a program started just after the readiness probe.
        self.xvfb = subprocess.Popen(
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=[write_end], stderr=self.errors)
        os.close(write_end)
        # Xvfb writes the number once it listens, and writes nothing if it cannot have it.
        with os.fdopen(read_end) as displayfd:
            if displayfd.readline().strip() == str(number):
                return True
        self.xvfb.wait()
        return False

    def __exit__(self, *exc):
        # A clean end, so the display's lock and socket files go with it; the claim goes last.
        self.xvfb.terminate()
        try:
            self.xvfb.wait(10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
            self.xvfb.wait()
        self.claim.close()

    def said(self):
        """What Xvfb wrote to its standard error."""
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace").strip()

    def xdotool(self, *args, check=False):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=20)
        if check and result.returncode != 0:
            raise AssertionError(f"xdotool {' '.join(args)} failed: {result.stderr}")
        return result.stdout.strip() if result.returncode == 0 else ""

    def wait_window(self, title, proc, timeout=20.0):
        """The window's id once it shows; None if `proc` ended first."""
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            found = self.xdotool("search", "--name", f"^{title}$")
            if found:
                return found.split()[0]
            if time.monotonic() > deadline:
                raise AssertionError(f"the window {title!r} did not appear")
            time.sleep(0.05)
        return None

    def click(self, window, at):
        self.xdotool("mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1", check=True)


class SharedDisplay(Display):
    """A display that is already up, such as the one of a wine session; it outlives the user."""

    def __init__(self, name):
        self.name = name
        self.env = dict(os.environ, DISPLAY=name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def said(self):
        return ""

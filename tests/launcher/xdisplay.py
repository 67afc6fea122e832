"""A private X display for tests that start programs other than through harness.Session."""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Skip  # noqa: E402


class Display:
    def __enter__(self):
        for tool in ("Xvfb", "xdotool"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed")
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
            pass_fds=[write_end], stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as displayfd:
            number = displayfd.readline().strip()
        if not number:
            self.__exit__()
            raise Skip("Xvfb did not start")
        self.name = ":" + number
        self.env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb")
        return self

    def __exit__(self, *exc):
        self.xvfb.kill()
        self.xvfb.wait()

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=20)
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
        self.xdotool("mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")

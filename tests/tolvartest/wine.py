# SPDX-License-Identifier: MIT
"""One wine session for the tests of the Windows program.

    python3 -m tolvartest.wine PREFIX COMMAND [ARG...]

runs COMMAND (e.g. ctest) in a fresh wine prefix with one wineserver kept up for the whole run,
everything inside a private mount namespace. Wine maps COM1 to /dev/ttyS0, which on a test machine
may be a real UART, and it is the wineserver that opens the device. So in that namespace /dev/ttyS0
is a pty of ours, and wine's server folder is a private tmpfs: no wine process in here can reach a
wineserver outside, none outside can reach ours. Each test then binds its own pty over /dev/ttyS0
and points COM1 at it (`Port1`). When the namespace cannot be made, COMMAND does not run and the
status is 77 (skipped).
"""

import os
import shutil
import subprocess
import sys

from . import SKIP, Skip
from .xdisplay import Display

INSIDE = "TOLVAR_WINE_SESSION"  # set, to the prefix, for COMMAND and everything it starts
DEBUG = "TOLVAR_WINEDEBUG"  # a test's own WINEDEBUG for the programs it starts, e.g. +relay
PORT1 = "/dev/ttyS0"
PTY_MAJOR = 136


def environment(prefix):
    # A UTF-8 locale, or wine cannot make file names outside ASCII; no debug chatter; no offer to
    # install .NET or a browser engine; no menu entries written into the user's real home.
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG=os.environ.get(DEBUG, "-all"),
                WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", LC_ALL="C.UTF-8")


def mount(*args):
    result = subprocess.run(["mount", *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise Skip(f"mount {' '.join(args)}: {result.stderr.strip()}")


def is_the_pty(slave):
    """True when /dev/ttyS0 is a pty and the same device as `slave`."""
    try:
        seen, wanted = os.stat(PORT1), os.stat(slave)
    except OSError:
        return False
    return os.major(seen.st_rdev) == PTY_MAJOR and seen.st_rdev == wanted.st_rdev


def relink_com_ports(prefix, target):
    """Leaves COM1 as the only serial port of the prefix, pointing at `target`."""
    devices = os.path.join(prefix, "dosdevices")
    for name in os.listdir(devices):
        if name.lower().startswith("com"):
            os.unlink(os.path.join(devices, name))
    os.symlink(target, os.path.join(devices, "com1"))


def session_prefix():
    """The prefix of the wine session this runs in; skips outside one."""
    prefix = os.environ.get(INSIDE)
    # The session keeps a pty of its own bound over /dev/ttyS0: anywhere else, the real port is there.
    if not prefix or not os.path.isdir(prefix) or not is_the_pty(PORT1):
        raise Skip("not inside a wine session: run through scripts/windows-check "
                   "(python3 -m tolvartest.wine PREFIX ctest ...)")
    return prefix


class Port1:
    """Makes a pty slave the session's port 1 for one test: bound over /dev/ttyS0, COM1 -> it."""

    def __init__(self, slave):
        self.prefix, self.slave = session_prefix(), slave

    def __enter__(self):
        mount("--bind", self.slave, PORT1)
        if not is_the_pty(self.slave):
            self.__exit__()
            raise AssertionError(f"{PORT1} is not {self.slave} after binding")
        relink_com_ports(self.prefix, self.slave)
        return self

    def __exit__(self, *exc):
        # Back to the session's own pty, never to the device below it.
        subprocess.run(["umount", PORT1], check=True)


def run_inside(prefix, command):
    """The session itself; the caller is already in its private mount namespace."""
    uid_dir = f"/tmp/.wine-{os.getuid()}"
    os.makedirs(uid_dir, mode=0o700, exist_ok=True)
    mount("-t", "tmpfs", "-o", "mode=0700", "tmpfs", uid_dir)
    master, slave = os.openpty()  # held until the end: port 1 between tests
    slave_path = os.ttyname(slave)
    os.close(slave)
    mount("--bind", slave_path, PORT1)
    if not is_the_pty(slave_path):
        raise Skip(f"{PORT1} is not a pty after binding")

    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    # One display for the session: wine's desktop process, started with the first program, draws
    # on the display it was started with, and every later window goes there too.
    # Wine's background services inherit the output of the program that starts them and hold it
    # open: never a pipe, always a file.
    with Display() as display, open(prefix + ".log", "wb") as log:
        env = dict(environment(prefix), DISPLAY=display.name)

        def wine(*args):
            subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, check=True)
        try:
            wine("wineserver", "-p")
            print(f"Preparing the wine prefix {prefix}", flush=True)
            wine("wineboot", "-u")
            # Without a window manager, wine must draw the frames itself, or keys do nothing until
            # a click and each closing window costs seconds.
            wine("wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
            fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
            for font in os.listdir("/usr/share/wine/fonts"):
                shutil.copy(os.path.join("/usr/share/wine/fonts", font), fonts)
            os.makedirs(os.path.join(prefix, "drive_c", "windows", "Desktop"), exist_ok=True)
            relink_com_ports(prefix, slave_path)
            return subprocess.run(command, env=dict(env, **{INSIDE: prefix})).returncode
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stdout=log, stderr=log)
            os.close(master)


def main(prefix, *command):
    prefix = os.path.abspath(prefix)
    if os.environ.get(INSIDE) != "namespace":
        for tool in ("unshare", "mount", "wine", "wineserver"):
            if shutil.which(tool) is None:
                print(f"skipped: {tool} is not installed")
                return SKIP
        namespace = ["unshare", "-m" if os.geteuid() == 0 else "-rm", "--propagation", "private"]
        tried = subprocess.run(namespace + ["true"], capture_output=True, text=True)
        if tried.returncode != 0:
            print(f"skipped: no private mount namespace can be made: {tried.stderr.strip()}")
            return SKIP
        os.execvpe(namespace[0], namespace + [sys.executable, "-m", "tolvartest.wine", prefix, *command],
                   dict(os.environ, **{INSIDE: "namespace"}))
    del os.environ[INSIDE]
    try:
        return run_inside(prefix, command)
    except Skip as reason:
        print(f"skipped: {reason}")
        return SKIP


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

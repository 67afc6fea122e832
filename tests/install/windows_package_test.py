# SPDX-License-Identifier: MIT
"""The Windows packages under wine: python3 windows_package_test.py MSI ZIP VERSION CASE.

Wine maps COM1 to /dev/ttyS0, which may be this machine's real UART. So every wine process runs
in one private mount namespace where a pseudo-terminal is bound over /dev/ttyS0 (checked to be a
pty before wine starts), in a fresh prefix whose com1 points at that pty; where that cannot be
made, the test is skipped.
"""

import os
import shutil
import subprocess
import tempfile
import zipfile

from tolvartest import Skip, main, wait_until
from tolvartest.harness import TITLE, send_delete_window
from tolvartest.xdisplay import Display

PUBLISHER = "The Tolvar data logger module authors"
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"

# Holds the namespace open for the commands entered into it: $1 the pty's slave. 136 is the
# major number of the pty slaves; anything else over /dev/ttyS0 and no wine may start.
NAMESPACE = r"""
mount --bind "$1" /dev/ttyS0 || exit 77
[ -c /dev/ttyS0 ] && [ "$(stat -L -c %t:%T /dev/ttyS0)" = "$(stat -L -c %t:%T "$1")" ] &&
    [ "$(stat -L -c %t /dev/ttyS0)" = 88 ] || exit 77
echo ready
exec sleep 100000
"""


class WineNamespace:
    """A fresh wine prefix whose every process runs where /dev/ttyS0 and COM1 are a pty."""

    def __init__(self, display):
        for tool in ("wine", "wineserver", "unshare", "nsenter"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed")
        if os.geteuid() != 0:
            raise Skip("entering the namespace wine runs in needs root")
        self.dir = tempfile.TemporaryDirectory(prefix="tolvar-msi-")
        self.prefix = os.path.join(self.dir.name, "prefix")
        os.mkdir(self.prefix)
        self.output = open(os.path.join(self.dir.name, "wine.log"), "w+")
        # No offer to install .NET or a browser engine, and no menu entries made on this machine
        # for the shortcuts installed into the prefix (nor anything else in the home folder).
        self.env = dict(display.env, WINEPREFIX=self.prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                        XDG_DATA_HOME=os.path.join(self.dir.name, "data"),
                        XDG_CONFIG_HOME=os.path.join(self.dir.name, "config"))
        self.master, slave = os.openpty()
        self.holder = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE, "sh",
                                        os.ttyname(slave)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       text=True)
        os.close(slave)
        if self.holder.stdout.readline().strip() != "ready":
            self.holder.wait()
            self.close()
            raise Skip("no private mount namespace with a pty over /dev/ttyS0")
        try:
            # One server for the whole test, started first: wine makes the com links when its
            # session starts, and they are replaced only after that.
            self.run("wineserver", "-p")
            self.run("wineboot", "-i")
            dosdevices = os.path.join(self.prefix, "dosdevices")
            for name in os.listdir(dosdevices):
                if name.startswith("com"):
                    os.unlink(os.path.join(dosdevices, name))
            os.symlink("/dev/ttyS0", os.path.join(dosdevices, "com1"))
        except BaseException:
            self.close()
            raise

    def command(self, *args):
        # Wine's output goes to a file, never to a pipe: its services inherit it and hold it open.
        return ["nsenter", "-t", str(self.holder.pid), "-m", "--", *args]

    def run(self, *args, check=True):
        result = subprocess.run(self.command(*args), env=self.env, stdin=subprocess.DEVNULL, stdout=self.output,
                                stderr=self.output, timeout=120)
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(args)} ended with {result.returncode}:\n{self.said()}")
        return result.returncode

    def start(self, *args):
        return subprocess.Popen(self.command(*args), env=self.env, stdin=subprocess.DEVNULL, stdout=self.output,
                                stderr=self.output)

    def output_of(self, *args):
        """What the command wrote, or None if it failed; through a file, as all wine output."""
        with tempfile.TemporaryFile("w+") as out:
            code = subprocess.run(self.command(*args), env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=120).returncode
            out.seek(0)
            return out.read() if code == 0 else None

    def values(self, key):
        """The registry key's values by name; empty if the key is missing."""
        found = {}
        for line in (self.output_of("wine", "reg", "query", key) or "").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                found[parts[0]] = parts[2] if len(parts) == 3 else ""
        return found

    def installed_programs(self):
        """The product codes and names the installed-programs list shows."""
        return dict(line.split("|||", 1) for line in self.output_of("wine", "uninstaller", "--list").splitlines()
                    if "|||" in line)

    def said(self):
        self.output.seek(0)
        return self.output.read()[-4000:]

    def files(self):
        """Every file and folder of the prefix's drive C, as paths below it."""
        drive = os.path.join(self.prefix, "drive_c")
        found = set()
        for top, dirs, names in os.walk(drive):
            found.update(os.path.relpath(os.path.join(top, n), drive) for n in dirs + names)
        return found

    def close(self):
        if self.holder.poll() is None:
            subprocess.run(self.command("wineserver", "-k"), env=self.env, stdout=self.output, stderr=self.output)
            self.holder.kill()
            self.holder.wait()
        os.close(self.master)
        self.output.close()
        self.dir.cleanup()


def installer_installs_runs_and_uninstalls_cleanly(msi, zip_file, version):
    if not os.path.isfile(msi):
        raise Skip(f"no installer was built ({msi}): wixl (package wixl) is missing")
    with Display() as display:
        wine = WineNamespace(display)
        try:
            before = wine.files()
            wine.run("wine", "msiexec", "/i", os.path.abspath(msi), "/qn")
            added = wine.files() - before

            # Into the user's own programs folder, with a Start-menu shortcut that shows the icon.
            program = [f for f in added if f.endswith(os.path.join("AppData", "Local", "Programs", TITLE,
                                                                   "tolvar-logger.exe"))]
            assert len(program) == 1, f"the program is not in the user's programs folder: {sorted(added)}"
            # The .zip holds that same program, with the licence.
            with zipfile.ZipFile(zip_file) as z, open(os.path.join(wine.prefix, "drive_c", program[0]), "rb") as f:
                assert sorted(z.namelist()) == ["LICENSE.txt", "tolvar-logger.exe"], z.namelist()
                assert z.read("tolvar-logger.exe") == f.read(), "the .zip and the installer hold different programs"
            shortcut = [f for f in added if f.endswith(os.path.join("Start Menu", "Programs", TITLE + ".lnk"))]
            assert len(shortcut) == 1, f"no Start-menu shortcut: {sorted(added)}"
            with open(os.path.join(wine.prefix, "drive_c", shortcut[0]), "rb") as f:
                link = f.read()
            icons = [os.path.basename(f) for f in added if f.endswith(".ico")]
            assert icons and all(i.encode("utf-16-le") in link for i in icons), f"the shortcut shows no icon: {icons}"

            # In the installed-programs list, with its version and publisher.
            codes = [code for code, name in wine.installed_programs().items() if name == TITLE]
            assert len(codes) == 1, wine.installed_programs()
            entry = wine.values(f"HKLM\\{UNINSTALL}\\{codes[0]}") or wine.values(f"HKCU\\{UNINSTALL}\\{codes[0]}")
            assert (entry.get("DisplayVersion"), entry.get("Publisher")) == (version, PUBLISHER), entry

            proc = wine.start("wine", os.path.join(wine.prefix, "drive_c", program[0]))
            try:
                window = display.wait_window(TITLE, proc, timeout=60)
                assert window, f"the installed program ended with {proc.returncode}:\n{wine.said()}"
                send_delete_window(display.name, int(window))
                wait_until(lambda: proc.poll() is not None, 20, "the program to close")
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()

            wine.run("wine", "msiexec", "/x", os.path.abspath(msi), "/qn")
            # Windows Installer keeps its own cache folders, empty again, as on every Windows.
            left = [f for f in wine.files() - before
                    if os.path.basename(f) != "Installer" or os.listdir(os.path.join(wine.prefix, "drive_c", f))]
            assert not left, f"left in the prefix after uninstalling: {sorted(left)}"
            assert TITLE not in wine.installed_programs().values(), "still listed as installed"
            assert wine.output_of("wine", "reg", "query", r"HKCU\Software\Tolvar data logger module") is None, \
                "its registry key is left"
        finally:
            wine.close()


if __name__ == "__main__":
    main(installer_installs_runs_and_uninstalls_cleanly)

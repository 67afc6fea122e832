# SPDX-License-Identifier: MIT
"""The Windows packages under wine: python3 windows_package_test.py MSI ZIP VERSION CASE.

Runs in the wine session of scripts/windows-check (tolvartest.wine), where every wine process sees
a pty as /dev/ttyS0 and COM1; skipped outside it.
"""

import os
import subprocess
import tempfile
import zipfile

from tolvartest import Skip, main, wait_until, wine
from tolvartest.harness import TITLE, send_delete_window
from tolvartest.xdisplay import SharedDisplay

PUBLISHER = "The Tolvar data logger module authors"
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"


class Wine:
    """Runs wine commands in the session's prefix, their output always to a file, never a pipe."""

    def __init__(self):
        self.prefix = wine.session_prefix()
        self.env = wine.environment(self.prefix)
        self.output = tempfile.TemporaryFile("w+")

    def run(self, *args):
        code = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output,
                              timeout=120).returncode
        assert code == 0, f"{' '.join(args)} ended with {code}:\n{self.said()}"

    def start(self, *args):
        return subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=self.output,
                                stderr=self.output)

    def output_of(self, *args):
        """What the command wrote, or None if it failed."""
        with tempfile.TemporaryFile("w+") as out:
            code = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                  timeout=120).returncode
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


def installer_installs_runs_and_uninstalls_cleanly(msi, zip_file, version):
    if not os.path.isfile(msi):
        raise Skip(f"no installer was built ({msi}): wixl (package wixl) is missing")
    wine = Wine()
    drive = os.path.join(wine.prefix, "drive_c")
    before = wine.files()
    wine.run("wine", "msiexec", "/i", os.path.abspath(msi), "/qn")
    added = wine.files() - before

    # Into the user's own programs folder, with a Start-menu shortcut that shows the icon.
    program = [f for f in added if f.endswith(os.path.join("AppData", "Local", "Programs", TITLE, "tolvar-logger.exe"))]
    assert len(program) == 1, f"the program is not in the user's programs folder: {sorted(added)}"
    shortcut = [f for f in added if f.endswith(os.path.join("Start Menu", "Programs", TITLE + ".lnk"))]
    assert len(shortcut) == 1, f"no Start-menu shortcut: {sorted(added)}"
    with open(os.path.join(drive, shortcut[0]), "rb") as f:
        link = f.read()
    icons = [os.path.basename(f) for f in added if f.endswith(".ico")]
    assert icons and all(i.encode("utf-16-le") in link for i in icons), f"the shortcut shows no icon: {icons}"
    # The .zip holds that same program, with the licence.
    with zipfile.ZipFile(zip_file) as z, open(os.path.join(drive, program[0]), "rb") as f:
        assert sorted(z.namelist()) == ["LICENSE.txt", "tolvar-logger.exe"], z.namelist()
        assert z.read("tolvar-logger.exe") == f.read(), "the .zip and the installer hold different programs"

    # In the installed-programs list, with its version and publisher.
    codes = [code for code, name in wine.installed_programs().items() if name == TITLE]
    assert len(codes) == 1, wine.installed_programs()
    entry = wine.values(f"HKLM\\{UNINSTALL}\\{codes[0]}") or wine.values(f"HKCU\\{UNINSTALL}\\{codes[0]}")
    assert (entry.get("DisplayVersion"), entry.get("Publisher")) == (version, PUBLISHER), entry

    display = SharedDisplay(os.environ["DISPLAY"])
    proc = wine.start("wine", os.path.join(drive, program[0]))
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
            if os.path.basename(f) != "Installer" or os.listdir(os.path.join(drive, f))]
    assert not left, f"left in the prefix after uninstalling: {sorted(left)}"
    assert TITLE not in wine.installed_programs().values(), "still listed as installed"
    assert wine.output_of("wine", "reg", "query", r"HKCU\Software\Tolvar data logger module") is None, \
        "its registry key is left"


if __name__ == "__main__":
    main(installer_installs_runs_and_uninstalls_cleanly)

# SPDX-License-Identifier: MIT
"""Tests of what an installation holds: python3 install_test.py BUILD_DIR CMAKE CPACK CASE.

The .deb is checked as Debian's own tools check a package (lintian, man, appstreamcli), then
installed with the real dpkg, but onto a throwaway overlay of this machine's root in a private
mount namespace: dependencies are checked against what is really installed here, the triggers
run, and this machine's own /usr and package database stay untouched.
"""

import configparser
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile

from tolvartest import SKIP, Skip, main
from tolvartest.harness import TITLE, Session, in_private_lock_folders
from tolvartest.xdisplay import Display

HERE = os.path.dirname(os.path.abspath(__file__))

PROGRAMS = ("tolvar-logger", "tolvar-logger-on")
# The menu entry and the software-centre listing share this name.
DESKTOP = os.path.join("share", "applications", "org.example.tolvar.logger.desktop")


def install(build, cmake, prefix):
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", f"{path} is not a PNG"
    return struct.unpack(">II", head[16:24])


def desktop_entry(path):
    entry = configparser.ConfigParser(interpolation=None)
    entry.optionxform = str
    entry.read(path)
    return entry["Desktop Entry"]


def puts_the_program_launcher_menu_entry_and_icons_in_place(build, cmake, cpack):
    with tempfile.TemporaryDirectory(prefix="tolvar-install-") as prefix:
        install(build, cmake, prefix)
        for program in PROGRAMS:
            path = os.path.join(prefix, "bin", program)
            assert os.path.isfile(path) and os.access(path, os.X_OK), f"{path} is not an installed program"

        desktop = os.path.join(prefix, DESKTOP)
        entry = desktop_entry(desktop)
        assert entry["Name"] == TITLE, entry["Name"]
        assert "Utility" in entry["Categories"].split(";"), entry["Categories"]
        assert entry["Exec"].split()[0] == "tolvar-logger", entry["Exec"]
        for size in (16, 32):
            icon = os.path.join(prefix, "share", "icons", "hicolor", f"{size}x{size}", "apps", entry["Icon"] + ".png")
            assert os.path.isfile(icon), f"no {size}x{size} icon named {entry['Icon']}"
            assert png_size(icon) == (size, size), (icon, png_size(icon))

        if shutil.which("desktop-file-validate") is None:
            raise Skip("desktop-file-validate is not installed (package desktop-file-utils)")
        result = subprocess.run(["desktop-file-validate", desktop], capture_output=True, text=True)
        assert result.returncode == 0 and not result.stdout.strip(), result.stdout


def installed_program_starts(build, cmake, cpack):
    with tempfile.TemporaryDirectory(prefix="tolvar-install-") as prefix, Display() as display:
        install(build, cmake, prefix)
        # Never clicked, so it never opens port 1.
        proc = subprocess.Popen([os.path.join(prefix, "bin", "tolvar-logger")], cwd=prefix, env=display.env,
                                stderr=subprocess.DEVNULL)
        try:
            window = display.wait_window(TITLE, proc)
            assert window, f"the program ended with {proc.returncode}"
            # The menu entry's StartupWMClass names this, so docks group the window with the entry.
            if shutil.which("xprop"):
                wm_class = subprocess.run(["xprop", "-id", window, "WM_CLASS"], env=display.env,
                                          capture_output=True, text=True).stdout
                entry = desktop_entry(os.path.join(prefix, DESKTOP))
                assert f'"{entry["StartupWMClass"]}"' in wm_class, wm_class
        finally:
            proc.kill()
            proc.wait()


def installed_launcher_logs_a_pty_as_port_1(build, cmake, cpack):
    in_private_lock_folders()
    with tempfile.TemporaryDirectory(prefix="tolvar-install-") as prefix:
        install(build, cmake, prefix)
        # No program given: the launcher must find the one installed beside it.
        with Session(None, launcher=os.path.join(prefix, "bin", "tolvar-logger-on")) as s:
            s.click("cmdBegin")
            s.wait_logging()
            s.send(b"12.5 V\r\n13.0 V\r\n")
            s.wait_log(b"12.5 V\r\n\n13.0 V\r\n")


# Runs inside a private mount namespace: $1 a scratch folder, $2 the .deb, $3 the menu entry.
OVERLAY_INSTALL = r"""
set -e
scratch=$1 deb=$2 root=$1/root
mount -t tmpfs tmpfs "$scratch" || exit 77
mkdir "$scratch/upper" "$scratch/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root" || exit 77
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/tmp"
cp "$deb" "$root/tmp/package.deb"
chroot "$root" dpkg -i /tmp/package.deb >&2
chroot "$root" desktop-file-validate /usr/$3 >&2
files=$(chroot "$root" dpkg -L tolvar-logger | while read -r f; do [ -d "$root$f" ] || echo "$f"; done)
chroot "$root" sh -c 'cd /tmp && exec tolvar-logger' 2>/dev/null &
echo "program $!"
wait $! || true
chroot "$root" dpkg -r tolvar-logger >&2
for f in $files; do [ ! -e "$root$f" ] || { echo "left after removal: $f" >&2; exit 1; }; done
echo "removed $(echo $files | wc -w) files"
"""


def launcher_exit_statuses():
    """The statuses the launcher's header promises, besides the program's own."""
    with open(os.path.join(HERE, "..", "..", "tools", "launcher", "tolvar-logger-on")) as f:
        header = f.read().split("\n\n", 1)[0]
    promise = header.split("# Exit status:", 1)[1]
    return set(re.findall(r"\b\d{2,3}\b", promise))


def check_unpacked_package(tree, unchecked):
    """Man pages render cleanly and list every launcher status; the listing matches the menu entry."""
    if shutil.which("man") is None:
        unchecked.append("the man pages (package man-db)")
    else:
        for program in PROGRAMS:
            page = os.path.join(tree, "usr", "share", "man", "man1", f"{program}.1.gz")
            result = subprocess.run(["man", "--warnings", "-l", page], env=dict(os.environ, MANWIDTH="80"),
                                    capture_output=True, text=True)
            assert result.returncode == 0 and not result.stderr, f"man {program}: {result.stderr}"
            if program == "tolvar-logger-on":
                listed = set(re.findall(r"^EXIT STATUS$(.*?)^\S", result.stdout, re.M | re.S)[0].split())
                missing = launcher_exit_statuses() - listed
                assert not missing, f"the launcher's exit statuses {sorted(missing)} are not in its man page"
    if shutil.which("appstreamcli") is None:
        unchecked.append("the AppStream listing (package appstream)")
    else:
        result = subprocess.run(["appstreamcli", "validate-tree", "--no-net", tree], capture_output=True, text=True)
        assert result.returncode == 0 and "W:" not in result.stdout, result.stdout


def debian_package_installs_runs_and_removes_cleanly(build, cmake, cpack):
    for tool in ("dpkg-deb", "dpkg-shlibdeps"):
        if shutil.which(tool) is None:
            raise Skip(f"{tool} is not installed (package dpkg-dev)")
    unchecked = []
    with tempfile.TemporaryDirectory(prefix="tolvar-deb-") as out:
        subprocess.run([cpack, "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out], check=True,
                       stdout=subprocess.DEVNULL)
        debs = glob.glob(os.path.join(out, "*.deb"))
        assert len(debs) == 1, debs
        deb = debs[0]

        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Depends"], check=True, capture_output=True,
                                text=True).stdout
        depends = {d.split()[0] for d in fields.split("Depends:", 1)[1].split(",")}
        assert "Package: tolvar-logger" in fields, fields
        # Found from the program's libraries, plus what the launcher runs.
        for needed in ("libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libsystemd0",
                       "util-linux", "mount"):
            assert needed in depends, f"{needed} is missing from Depends: {sorted(depends)}"
        contents = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True, text=True).stdout
        for path in ("./usr/bin/tolvar-logger", "./usr/bin/tolvar-logger-on", "./usr/" + DESKTOP,
                     "./usr/share/icons/hicolor/16x16/apps/tolvar-logger.png",
                     "./usr/share/icons/hicolor/32x32/apps/tolvar-logger.png"):
            assert f" {path}\n" in contents, f"{path} is not in the package"

        tree = os.path.join(out, "tree")
        subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
        check_unpacked_package(tree, unchecked)
        if shutil.which("lintian") is None:
            unchecked.append("lintian (package lintian)")
        else:
            result = subprocess.run(["lintian", "--fail-on", "error,warning", deb], capture_output=True, text=True)
            assert result.returncode == 0, f"lintian:\n{result.stdout}{result.stderr}"

        if os.geteuid() != 0:
            unchecked.append("the installation, which needs root")
            raise Skip("not checked: " + ", ".join(unchecked))
        for tool in ("unshare", "chroot", "Xvfb"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed")
        tried = subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True, text=True)
        if tried.returncode != 0:
            raise Skip(f"no private mount namespace to install the package in: {tried.stderr.strip()}")
        scratch = os.path.join(out, "scratch")
        os.mkdir(scratch)
        with Display() as display:
            proc = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", OVERLAY_INSTALL, "sh",
                                     scratch, deb, DESKTOP], env=display.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            try:
                line = proc.stdout.readline()
                if not line.startswith("program "):
                    _, err = proc.communicate(timeout=60)
                    if proc.returncode == SKIP:
                        raise Skip("no overlay of / to install the package onto")
                    raise AssertionError(f"installing the package failed ({proc.returncode}):\n{err}")
                program = int(line.split()[1])
                window = display.wait_window(TITLE, proc)
                assert window, "the installed program did not show its window"
                os.kill(program, signal.SIGTERM)
                rest, err = proc.communicate(timeout=120)
                assert proc.returncode == 0 and rest.startswith("removed "), f"{rest}\n{err}"
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
    if unchecked:
        raise Skip("not checked: " + ", ".join(unchecked))


if __name__ == "__main__":
    main(puts_the_program_launcher_menu_entry_and_icons_in_place,
         installed_program_starts,
         installed_launcher_logs_a_pty_as_port_1,
         debian_package_installs_runs_and_removes_cleanly)

# SPDX-License-Identifier: MIT
"""Tests of the launcher without a display: python3 launcher_test.py LAUNCHER CASE.

Each run hands the launcher a harmless command in place of the program, so nothing here can ever
open the machine's real port 1.
"""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from tolvartest import Skip, main, wait_until
from tolvartest.harness import LAUNCHER_CANNOT as CANNOT, SOURCE, in_private_lock_folders

NOBODY = 65534
DEAD = 2**31 - 1  # above any pid_max: no such process


def mounts():
    with open("/proc/self/mountinfo") as info:
        return sorted(line.split()[4] for line in info)


def port1_identity():
    try:
        st = os.stat("/dev/ttyS0")
    except FileNotFoundError:
        return None
    return st.st_dev, st.st_ino, st.st_rdev


def launch(launcher, device, *command, as_nobody=False, env=None):
    prefix = []
    if as_nobody and os.geteuid() == 0:
        prefix = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
    return subprocess.run(prefix + [launcher, device, *command], capture_output=True, text=True, timeout=30,
                          env=env)


def new_pty():
    """A pty slave path; the master descriptor must stay open while the slave is used."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


@contextlib.contextmanager
def pty_in_private_lock_folders():
    """A pty slave path, its lock file and a temporary folder, in lock folders of this case alone."""
    in_private_lock_folders()
    master, slave = new_pty()
    try:
        with tempfile.TemporaryDirectory() as folder:
            yield slave, lock_of(slave), folder
    finally:
        os.close(master)


def lock_of(device):
    """The lock file of a device below /dev, as serial programs name it: LCK..pts_3."""
    return "/run/lock/LCK.." + device[len("/dev/"):].replace("/", "_")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def processes_naming(text):
    """The processes whose command line holds text."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def refuses_wrong_arguments_and_what_is_not_a_serial_device(launcher):
    before_mounts, before_port1 = mounts(), port1_identity()
    with tempfile.TemporaryDirectory() as folder:
        marker = os.path.join(folder, "started")
        regular = os.path.join(folder, "regular")
        with open(regular, "w") as f:
            f.write("not a port\n")
        link = os.path.join(folder, "link")
        os.symlink(regular, link)
        for path in (regular, folder, link, os.path.join(folder, "missing")):
            result = launch(launcher, path, "touch", marker)
            assert result.returncode == 66, (path, result)
            assert path in result.stderr and "not a character device" in result.stderr, result.stderr
        result = launch(launcher, "/dev/null", "touch", marker)
        assert result.returncode == 66 and "/dev/null is not a serial device" in result.stderr, result
        assert not os.path.exists("/run/lock/LCK..null")

        # The second device comes where the program belongs.
        for args in ([], ["-x", "/dev/null"], ["--"], ["/dev/null", "/dev/null", "touch", marker]):
            result = subprocess.run([launcher, *args], capture_output=True, text=True)
            assert result.returncode == 64 and "Usage:" in result.stderr, (args, result)
        assert not os.path.exists(marker), "the command ran"

    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        version = re.search(r"project\(tolvar-logger VERSION (\S+)", f.read()).group(1)
    result = subprocess.run([launcher, "--version"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == f"tolvar-logger-on {version}\n", result
    assert mounts() == before_mounts, "something was mounted here"
    assert port1_identity() == before_port1


def runs_the_command_with_the_device_as_port_1(launcher):
    in_private_lock_folders()
    master, slave = new_pty()
    try:
        before_port1 = port1_identity()
        rdev = os.stat(slave).st_rdev
        report = 'stat -L -c %t:%T /dev/ttyS0; stat -f -c %T /run/lock; ls -A /run/lock; pwd; exit 7'
        with tempfile.TemporaryDirectory() as folder:
            result = subprocess.run([launcher, slave, "sh", "-c", report], capture_output=True, text=True,
                                    timeout=30, cwd=folder)
            if result.returncode == CANNOT:
                raise Skip(result.stderr.strip())
            assert result.returncode == 7, result  # the command's own status comes back
            seen = result.stdout.split()
            assert seen == [f"{os.major(rdev):x}:{os.minor(rdev):x}", "tmpfs", os.path.realpath(folder)], seen
        assert port1_identity() == before_port1, "/dev/ttyS0 changed outside"
    finally:
        os.close(master)


def shares_the_device_lock_with_other_serial_programs(launcher):
    with pty_in_private_lock_folders() as (slave, lock, folder):
        with open(lock, "wb") as f:
            f.write(b"%10d\n" % DEAD)  # stale: taken over
        program = subprocess.Popen([launcher, slave, "sh", "-c", "read line"], stdin=subprocess.PIPE)
        try:
            wait_until(lambda: program.poll() is not None or read(lock) == b"%10d\n" % program.pid,
                       what="the lock holding the program's PID")
            if program.returncode == CANNOT:
                raise Skip("no private mount namespace could be made")
            assert program.returncode is None, program.returncode
            os.kill(program.pid, signal.SIGKILL)
        finally:
            program.kill()
            program.wait()
        wait_until(lambda: read(lock) is None, what="the lock going with the program")
        wait_until(lambda: not processes_naming(slave), what="the launcher's helper to end")


def planted_files_never_turn_the_launcher_against_anyone(launcher):
    with pty_in_private_lock_folders() as (slave, lock, folder):
        victim = os.path.join(folder, "victim")
        content = b"%10d\n" % DEAD  # what a careless taker would take for a stale lock
        with open(victim, "wb") as f:
            f.write(content)
        # Links in every name a lock may be written under first, for the PIDs to come.
        first = os.getpid()
        for pid in range(first, first + 5000):
            os.symlink(victim, f"/run/lock/LTMP.{pid}")
        result = launch(launcher, slave, "true")
        if result.returncode == CANNOT:
            raise Skip(result.stderr.strip())
        assert result.returncode == 0, result
        assert read(victim) == content, "written through a planted link"
        wait_until(lambda: read(lock) is None, what="the lock going with the program")

        os.mkfifo(lock)
        started = time.monotonic()
        result = subprocess.run([launcher, slave, "true"], capture_output=True, text=True, timeout=3)
        assert result.returncode == 75 and f"{lock} is a FIFO" in result.stderr, result
        assert time.monotonic() - started < 3
        assert not processes_naming(slave), "a process was left behind"


def two_launchers_on_a_stale_lock_never_both_run(launcher):
    with pty_in_private_lock_folders() as (slave, lock, folder):
        for round in range(25):
            with open(lock, "wb") as f:
                f.write(b"%10d\n" % DEAD)
            ran = os.path.join(folder, f"ran.{round}")
            # Each program notes that it runs, then holds the device until its input ends.
            command = ["sh", "-c", 'echo $$ >>"$1"; read line', "sh", ran]
            launchers = [subprocess.Popen([launcher, slave, *command], stdin=subprocess.PIPE,
                                          stderr=subprocess.PIPE, text=True) for _ in range(2)]
            try:
                def decided():
                    running = (read(ran) or b"").count(b"\n")
                    ended = [p for p in launchers if p.poll() is not None]
                    return running == 2 or (running == 1 and ended) or any(
                        p.returncode not in (None, 75) for p in ended)
                wait_until(decided, what="one launcher to run and the other to give up")
                if any(p.returncode == CANNOT for p in launchers):
                    raise Skip("no private mount namespace could be made")
                statuses = sorted(str(p.returncode) for p in launchers)
                assert statuses == ["75", "None"], f"round {round}: {statuses}, {read(ran)!r}"
                loser = next(p for p in launchers if p.returncode == 75)
                assert "is in use" in loser.stderr.read(), round
            finally:
                for p in launchers:
                    p.stdin.close()
                    p.wait(10)
                    p.stderr.close()
            wait_until(lambda: read(lock) is None, what="the winner's lock going with it")


def tells_an_ordinary_user_what_is_missing(launcher):
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        raise Skip("setpriv is needed to try as an ordinary user")
    in_private_lock_folders()
    master, slave = new_pty()
    try:
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o777)
            marker = os.path.join(folder, "started")
            # The build may sit where an ordinary user cannot read, such as /root: the launcher
            # and its helper are copied as they lie beside each other.
            build = os.path.dirname(os.path.dirname(launcher))
            for part in (os.path.relpath(launcher, build), os.path.join("libexec", "tolvar-logger", "port-lock")):
                os.makedirs(os.path.dirname(os.path.join(folder, part)), mode=0o755, exist_ok=True)
                shutil.copy(os.path.join(build, part), os.path.join(folder, part))
            launcher = os.path.join(folder, os.path.relpath(launcher, build))

            # A device the user may not open: refused before any namespace, with the way out.
            os.chmod(slave, 0)
            result = launch(launcher, slave, "touch", marker, as_nobody=True)
            assert result.returncode == 77, result
            assert "may not open" in result.stderr and "dialout" in result.stderr, result.stderr
            assert not os.path.exists(marker)

            # No user namespaces: a stand-in unshare fails the way the real one then does.
            os.chmod(slave, 0o666)
            stub = os.path.join(folder, "unshare")
            with open(stub, "w") as f:
                f.write('#!/bin/sh\necho "unshare: unshare failed: Operation not permitted" >&2\nexit 1\n')
            os.chmod(stub, 0o755)
            env = dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"])
            result = launch(launcher, slave, "touch", marker, as_nobody=True, env=env)
            assert result.returncode == CANNOT, result
            assert "user namespaces" in result.stderr and "sysctl" in result.stderr, result.stderr
            assert not os.path.exists(marker)

            # With them, an ordinary user gets the device as port 1.
            result = launch(launcher, slave, "stat", "-L", "-c", "%t:%T", "/dev/ttyS0", as_nobody=True)
            if result.returncode == CANNOT:
                print(f"skipped the last part: {result.stderr.strip()}")
                return
            rdev = os.stat(slave).st_rdev
            assert result.returncode == 0 and result.stdout.strip() == f"{os.major(rdev):x}:{os.minor(rdev):x}", \
                result
    finally:
        os.close(master)


if __name__ == "__main__":
    main(refuses_wrong_arguments_and_what_is_not_a_serial_device,
         runs_the_command_with_the_device_as_port_1,
         shares_the_device_lock_with_other_serial_programs,
         planted_files_never_turn_the_launcher_against_anyone,
         two_launchers_on_a_stale_lock_never_both_run,
         tells_an_ordinary_user_what_is_missing)

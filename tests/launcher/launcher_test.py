# SPDX-License-Identifier: MIT
"""Tests of the launcher without a display: python3 launcher_test.py LAUNCHER CASE.

Each run hands the launcher a harmless command in place of the program, so nothing here can ever
open the machine's real port 1.
"""

import os
import shutil
import signal
import struct
import subprocess
import tempfile

from tolvartest import Skip, main, wait_until
from tolvartest.harness import LAUNCHER_CANNOT as CANNOT

NOBODY = 65534


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


def refuses_what_is_not_a_character_device(launcher):
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
            assert not os.path.exists(marker), f"the command ran for {path}"

        result = subprocess.run([launcher], capture_output=True, text=True)
        assert result.returncode == 64 and "Usage:" in result.stderr, result
    assert mounts() == before_mounts, "something was mounted here"
    assert port1_identity() == before_port1


def runs_the_command_with_the_device_as_port_1(launcher):
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
    master, slave = new_pty()
    lock = "/run/lock/LCK.." + os.path.basename(slave)
    if not os.access("/run/lock", os.W_OK):
        raise Skip("/run/lock is not writable here")

    def lock_content():
        try:
            with open(lock, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    try:
        with tempfile.TemporaryDirectory() as folder:
            marker = os.path.join(folder, "started")
            alive = os.getpid()
            for held in (b"%10d\n" % alive, struct.pack("=i", alive), b"no pid\n"):
                with open(lock, "wb") as f:
                    f.write(held)
                result = launch(launcher, slave, "touch", marker)
                assert result.returncode == 75 and "is in use" in result.stderr, (held, result)
                assert not os.path.exists(marker), held
                assert lock_content() == held, "another program's lock was touched"

            with open(lock, "wb") as f:
                f.write(b"%10d\n" % (2**31 - 1))  # no such process: stale, taken over
            program = subprocess.Popen([launcher, slave, "sh", "-c", "read line"], stdin=subprocess.PIPE)
            try:
                wait_until(lambda: program.poll() is not None or lock_content() == b"%10d\n" % program.pid,
                           what="the lock holding the program's PID")
                if program.returncode == CANNOT:
                    raise Skip("no private mount namespace could be made")
                assert program.returncode is None, program.returncode
                os.kill(program.pid, signal.SIGKILL)
            finally:
                program.kill()
                program.wait()
            wait_until(lambda: lock_content() is None, what="the lock going with the program")
    finally:
        if os.path.exists(lock):
            os.unlink(lock)
        os.close(master)


def tells_an_ordinary_user_what_is_missing(launcher):
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        raise Skip("setpriv is needed to try as an ordinary user")
    master, slave = new_pty()
    try:
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o777)
            marker = os.path.join(folder, "started")
            # The checkout may sit where an ordinary user cannot read, such as /root.
            launcher = shutil.copy(launcher, folder)

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
    main(refuses_what_is_not_a_character_device,
         runs_the_command_with_the_device_as_port_1,
         shares_the_device_lock_with_other_serial_programs,
         tells_an_ordinary_user_what_is_missing)

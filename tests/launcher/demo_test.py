# SPDX-License-Identifier: MIT
"""Tests of the demo under Xvfb: python3 demo_test.py DEMO LAUNCHER PROGRAM CASE."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from tolvartest import Skip, main, wait_until
from tolvartest.harness import TITLE, in_private_lock_folders, qt_control_centres, send_delete_window
from tolvartest.xdisplay import Display

READING = re.compile(rb"\n?TH1 #(\d{6}) T=[+-]\d\d\.\d\d C RH=\d\d\.\d %\r\n")


def session_members(sid):
    """Processes still in the demo's session, i.e. anything it started and left behind."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == sid and fields[0] != "Z":
                found.append(int(entry))
    return found


def run_demo(demo, launcher, program, end):
    in_private_lock_folders()
    with Display() as display, tempfile.TemporaryDirectory(prefix="tolvar-demo-") as folder:
        proc = subprocess.Popen([sys.executable, demo, launcher, program, folder], env=display.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        try:
            window = display.wait_window(TITLE, proc)
            if window is None:
                if proc.returncode == 69:
                    raise Skip("the launcher could not make the namespace")
                raise AssertionError(f"the demo ended with {proc.returncode}: {proc.communicate()}")
            log = os.path.join(folder, "C:\\Windows\\Desktop\\logFile.txt")
            assert not os.path.exists(log), "nothing is logged before begin is pressed"

            display.click(window, qt_control_centres()["cmdBegin"])
            started = time.monotonic()

            def readings():
                try:
                    with open(os.path.join(folder, "logFile.txt"), "rb") as f:  # the demo's short name
                        return f.read()
                except FileNotFoundError:
                    return b""
            wait_until(lambda: len(READING.findall(readings())) >= 4, timeout=8, what="four readings")
            assert time.monotonic() - started < 5, "the readings came too slowly"
            logged = readings()
            # Whole readings only, numbered one after another from the first.
            records = READING.findall(logged)
            assert READING.sub(b"", logged) in (b"", b"\n"), logged
            assert [int(n) for n in records] == list(range(1, len(records) + 1)), records

            end(proc, display, window)
            out, err = proc.communicate(timeout=15)
            assert folder in out and "tail -F" in out, out  # it told where the log appears
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        left = session_members(proc.pid)
        assert not left, f"processes left behind: {left}"


def logs_the_simulated_instrument_and_ends_with_the_window(demo, launcher, program):
    def close(proc, display, window):
        send_delete_window(display.name, int(window))
        assert proc.wait(10) == 0
    run_demo(demo, launcher, program, close)


def interrupt_ends_the_program_and_the_simulator(demo, launcher, program):
    def ctrl_c(proc, display, window):
        # What a terminal's Ctrl+C does: SIGINT to the whole foreground group.
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(10)
    run_demo(demo, launcher, program, ctrl_c)


if __name__ == "__main__":
    main(logs_the_simulated_instrument_and_ends_with_the_window,
         interrupt_ends_the_program_and_the_simulator)

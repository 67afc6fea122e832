# SPDX-License-Identifier: MIT
"""Tests of the real program, the Qt one or the Windows one under wine:

    python3 real_program_test.py qt PROGRAM CASE
    python3 real_program_test.py win32 EXE WINDOW_TOOL_EXE CASE
"""

import ctypes
import os
import select
import shlex
import signal
import socket
import subprocess
import tempfile
import time

from tolvartest import main, wait_until, xlib
from tolvartest.harness import in_private_lock_folders, session

LINES = b"AB\r\nCD\r\n"
LOGGED = b"AB\r\n\nCD\r\n"  # a device's CR LF leaves its LF at the start of the next record


def log_lines(s, begin, before=b"", path=None):
    """Begins logging, sends two lines and an unfinished one, and waits for the records."""
    begin()
    s.wait_logging()
    s.send(LINES + b"unfinished")
    s.wait_log(before + LOGGED, path)


def clicks_log_the_lines(*program):
    with session(*program) as s:
        log_lines(s, lambda: s.click("cmdBegin"))
        s.click("cmdStop")
        s.wait_port_closed()
        time.sleep(0.2)
        assert s.log_bytes() == LOGGED, s.log_bytes()


def access_keys_log_the_lines_after_what_the_file_held(*program):
    with session(*program) as s:
        with open(s.log, "wb") as log:
            log.write(b"earlier run\r\n")
        # Alt+S while Stop is disabled does nothing, not even type into the path field: the
        # lines then land in the file at the path as it was.
        s.click("txtPath")
        s.key("alt+s")
        time.sleep(0.3)
        assert not s.port_open()
        log_lines(s, lambda: s.key("alt+b"), before=b"earlier run\r\n")
        s.key("alt+s")
        s.wait_port_closed()


def a_log_path_outside_ascii_gets_the_lines(*program):
    with session(*program) as s:
        path = os.path.join(s.dir.name, "Messwerte für Zürich.txt")
        s.set_path(s.file_name(path))
        log_lines(s, lambda: s.click("cmdBegin"), path=path)


def a_burst_of_every_byte_value_arrives_exact(*program):
    # Lines of every byte value but CR, each line starting one value further on: a byte lost,
    # doubled, reordered or taken as flow control anywhere between the port and the file shows.
    values = bytes(b for b in range(256) if b != 13)
    lines = [values[i:] + values[:i] for i in range(len(values))] * 8
    with session(*program) as s:
        s.click("cmdBegin")
        s.wait_logging()
        s.send(b"".join(line + b"\r" for line in lines))
        expected = b"".join(line + b"\r\n" for line in lines)
        wait_until(lambda: len(s.log_bytes() or b"") >= len(expected), what="the whole burst")
        assert s.log_bytes() == expected, "the log differs from what was sent"


def a_run_holds_only_what_came_after_begin(*program):
    with session(*program) as s:
        s.click("cmdBegin")
        s.wait_logging()
        s.click("cmdStop")
        s.wait_port_closed()
        # Sent while idle: a pty keeps it for the next opener, as a USB adapter's driver may.
        s.send(b"stale\r")
        held = select.poll()
        held.register(s.slave, select.POLLIN)
        assert held.poll(5000), "the stale line did not reach the port"
        s.click("cmdBegin")
        s.wait_logging()
        s.send(b"fresh\r")
        wait_until(lambda: (s.log_bytes() or b"").endswith(b"fresh\r\n"), what="the fresh line")
        s.click("cmdStop")
        s.wait_port_closed()
        assert s.log_bytes() == b"fresh\r\n", s.log_bytes()


def unopenable_port_shows_port_open_and_creates_no_log(*program):
    with session(*program) as s:
        release = s.hold_port()
        try:
            s.click("cmdBegin")
            s.dismiss("Port open")
            assert s.log_bytes() is None, "the log file was created"
        finally:
            release()
        s.click("cmdBegin")
        s.wait_logging()


def a_fifo_as_port_1s_lock_file_shows_port_open_at_once(kind, *program):
    """The Qt program only: Windows has no lock files."""
    with tempfile.TemporaryDirectory() as folder:
        # Planted in the program's own /run/lock, inside the launcher's namespace, before it starts.
        planter = os.path.join(folder, "plant-fifo")
        with open(planter, "w") as f:
            f.write("#!/bin/sh\nmkfifo /run/lock/LCK..ttyS0 || exit 1\n"
                    f"exec {shlex.quote(os.path.abspath(program[0]))}\n")
        os.chmod(planter, 0o755)
        with session(kind, planter) as s:
            clicked = time.monotonic()
            s.click("cmdBegin")
            s.wait_for_window("Port open")
            assert time.monotonic() - clicked < 3, "the box came late"
            s.dismiss("Port open")  # the window still answers
            assert s.log_bytes() is None and not s.port_open()


def hung_buses_hold_up_nothing(kind, *program):
    """The Qt program only: a system bus and a session bus that take connections and never answer,
    as stalled daemons do, with accessibility on. The window is closed while the program still
    waits for the system bus."""
    in_private_lock_folders()  # starts the case again: before the folder, which would be left behind
    with tempfile.TemporaryDirectory() as folder, socket.socket(socket.AF_UNIX) as system_bus, \
            socket.socket(socket.AF_UNIX) as session_bus:
        env = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
        for silent, name, variable in ((system_bus, "system", "DBUS_SYSTEM_BUS_ADDRESS"),
                                       (session_bus, "session", "DBUS_SESSION_BUS_ADDRESS")):
            silent.bind(os.path.join(folder, name))
            silent.listen()
            env[variable] = "unix:path=" + silent.getsockname()
        with session(kind, *program, env=env) as s:
            log_lines(s, lambda: s.click("cmdBegin"))
            s.click("cmdStop")
            s.wait_port_closed(2)
            s.click("cmdBegin")
            s.wait_logging()
            s.close_window()
            s.wait_port_closed()
            assert s.wait_exit(5) == 0


def unusable_log_paths_show_error_and_leave_the_port_closed(*program):
    with session(*program) as s:
        for path in ("", s.file_name(os.path.join(s.dir.name, "missing", "log.txt"))):
            s.set_path(path)
            s.click("cmdBegin")
            s.dismiss("Error")
            s.wait_port_closed()
        assert os.listdir(s.dir.name) == [], os.listdir(s.dir.name)


def unplugging_shows_one_box_and_leaves_the_program_idle(*program):
    with session(*program) as s:
        log_lines(s, lambda: s.click("cmdBegin"))
        s.unplug()
        s.wait_for_window("Error")
        before = s.cpu_seconds()
        time.sleep(1)
        # A program that keeps reading a gone device spins at a whole core.
        assert s.cpu_seconds() - before < 0.3, s.cpu_seconds() - before
        assert len(s.windows_named("Error")) == 1, s.windows_named("Error")
        s.dismiss("Error")
        assert s.log_bytes() == LOGGED, s.log_bytes()


def closing_the_window_keeps_every_complete_line(*program):
    with session(*program) as s:
        log_lines(s, lambda: s.click("cmdBegin"))
        s.close_window()
        assert s.wait_exit() == 0
        assert s.log_bytes() == LOGGED, s.log_bytes()


def stop_right_after_a_line_keeps_it(*program):
    with session(*program) as s:
        expected = b""
        for round in range(4):
            s.click("cmdBegin")
            s.wait_logging()
            line = b"round %d\r" % round
            s.send(line + b"unfinished")
            time.sleep(0.05)
            s.click("cmdStop")
            s.wait_port_closed()
            expected += line + b"\n"
            assert s.log_bytes() == expected, (round, s.log_bytes())


def closing_the_window_right_after_a_line_keeps_it(*program):
    with session(*program) as s:
        s.click("cmdBegin")
        s.wait_logging()
        s.send(b"last line\runfinished")
        time.sleep(0.05)
        s.close_window()
        assert s.wait_exit() == 0
        assert s.log_bytes() == b"last line\r\n", s.log_bytes()


def each_record_is_in_the_file_within_a_tenth_of_a_second(*program):
    with session(*program) as s:
        s.click("cmdBegin")
        s.wait_logging()
        size, delays = 0, []
        for n in range(20):
            line = b"reading %02d\r" % n
            s.send(line)
            sent = time.monotonic()
            size += len(line) + 1
            while len(s.log_bytes() or b"") < size and time.monotonic() - sent < 2:
                time.sleep(0.001)
            delays.append(time.monotonic() - sent)
            # Lines after a quiet spell and lines while the program is still gathering.
            time.sleep((0.005, 0.03, 0.2)[n % 3])
        assert s.log_bytes() == b"".join(b"reading %02d\r\n" % n for n in range(20)), s.log_bytes()
        assert max(delays) <= 0.1, "CR to record (ms): " + " ".join(f"{d * 1000:.0f}" for d in delays)


def kill_keeps_every_complete_line(*program):
    with session(*program) as s:
        # Waiting for the file proves each record reached the OS before any stop or exit.
        log_lines(s, lambda: s.click("cmdBegin"))
        s.proc.send_signal(signal.SIGKILL)
        s.wait_exit()
        assert s.log_bytes() == LOGGED, s.log_bytes()


def logging_ends_by_itself_after_ninety_ticks(kind, *program):
    if kind == "win32":
        # Wine's timers live in its server, out of reach of a faked clock: post the ticks.
        with session(kind, *program) as s:
            log_lines(s, lambda: s.click("cmdBegin"))
            s.tick(89)
            s.send(b"still\r")
            s.wait_log(LOGGED + b"\nunfinishedstill\r\n")
            s.tick(1)
            s.wait_port_closed()
        return
    # A thousand times faster, the 90 one-minute ticks take 5.4 seconds.
    with session(kind, *program, faketime="+0 x1000") as s:
        s.click("cmdBegin")
        s.wait_logging()
        started = time.monotonic()
        expected = b""
        while s.port_open():
            if time.monotonic() - started > 30:
                raise AssertionError("logging did not stop by itself")
            s.send(b"tick\r")
            expected += b"tick\r\n"
            time.sleep(0.1)
        took = time.monotonic() - started
        assert 3 < took < 20, f"logging stopped after {took:.1f} s"
        s.send(b"after\r")
        time.sleep(0.3)
        log = s.log_bytes()
        assert b"after" not in log, log
        assert expected.startswith(log) and log.endswith(b"tick\r\n"), log


def open_other_window(env):
    """Maps a window of another program; returns it and what closes it."""
    x11 = xlib.load()
    x11.XCreateSimpleWindow.restype = ctypes.c_ulong
    x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int] + \
        [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
    x11.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    display = x11.XOpenDisplay(env["DISPLAY"].encode())
    window = x11.XCreateSimpleWindow(display, x11.XDefaultRootWindow(display), 300, 300, 50, 50, 0, 0, 0)
    x11.XMapWindow(display, window)
    x11.XSync(display, 0)
    return str(window), lambda: x11.XCloseDisplay(display)


def a_run_that_stops_by_itself_asks_for_attention(*program):
    # A thousand times faster, the 90 one-minute ticks take 5.4 seconds.
    with session(*program, faketime="+0 x1000") as s:
        def urgent():
            hints = subprocess.run(["xprop", "-id", s.window, "WM_HINTS"], env=s.env, capture_output=True,
                                   text=True, check=True).stdout
            return "urgency hint bit is set" in hints

        other, close_other = open_other_window(s.env)
        try:
            # A click activates the window; without a window manager, only a focus request moves it.
            for ends_by_itself in (False, True):
                s.click("cmdBegin")
                s.wait_logging()
                s.xdotool("windowfocus", "--sync", other)
                if ends_by_itself:
                    s.wait_port_closed(30)
                    wait_until(urgent, what="the urgency hint")
                else:
                    s.click("cmdStop")
                    s.wait_port_closed()
                    time.sleep(0.3)
                    assert not urgent(), "a Stop by the operator asked for attention"
            s.xdotool("windowfocus", "--sync", s.window)
            wait_until(lambda: not urgent(), what="the urgency hint to clear")
        finally:
            close_other()


if __name__ == "__main__":
    main(clicks_log_the_lines,
         access_keys_log_the_lines_after_what_the_file_held,
         a_log_path_outside_ascii_gets_the_lines,
         a_burst_of_every_byte_value_arrives_exact,
         a_run_holds_only_what_came_after_begin,
         unopenable_port_shows_port_open_and_creates_no_log,
         a_fifo_as_port_1s_lock_file_shows_port_open_at_once,
         hung_buses_hold_up_nothing,
         unusable_log_paths_show_error_and_leave_the_port_closed,
         unplugging_shows_one_box_and_leaves_the_program_idle,
         closing_the_window_keeps_every_complete_line,
         stop_right_after_a_line_keeps_it,
         closing_the_window_right_after_a_line_keeps_it,
         each_record_is_in_the_file_within_a_tenth_of_a_second,
         kill_keeps_every_complete_line,
         logging_ends_by_itself_after_ninety_ticks,
         a_run_that_stops_by_itself_asks_for_attention)

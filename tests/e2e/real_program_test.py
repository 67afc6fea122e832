"""Tests of the real tolvar-logger binary: python3 real_program_test.py PROGRAM CASE."""

import os
import signal
import time

from harness import BEGIN_AT, STOP_AT, Session, main, wait_until

LINES = b"AB\r\nCD\r\n"
LOGGED = b"AB\r\n\nCD\r\n"  # a device's CR LF leaves its LF at the start of the next record


def log_lines(s, begin, before=b""):
    """Begins logging, sends two lines and an unfinished one, and waits for the records."""
    begin()
    s.wait_logging()
    s.send(LINES + b"unfinished")
    s.wait_log(before + LOGGED)


def clicks_log_the_lines(program):
    with Session(program) as s:
        log_lines(s, lambda: s.click(BEGIN_AT))
        s.click(STOP_AT)
        s.wait_port_closed()
        time.sleep(0.2)
        assert s.log_bytes() == LOGGED, s.log_bytes()


def access_keys_log_the_lines_after_what_the_file_held(program):
    with Session(program) as s:
        with open(s.log, "wb") as log:
            log.write(b"earlier run\r\n")
        log_lines(s, lambda: s.key("alt+b"), before=b"earlier run\r\n")
        s.key("alt+s")
        s.wait_port_closed()


def held_port_shows_port_open_and_creates_no_log(program):
    with Session(program) as s:
        holder = s.hold_port_with_flock()
        try:
            s.click(BEGIN_AT)
            box = s.wait_for_window("Port open")
            assert s.log_bytes() is None, "the log file was created"
            s.key("Return", window=box)
            wait_until(lambda: not s.xdotool("search", "--name", "^Port open$", check=False), what="the box to close")
        finally:
            os.close(holder)
        s.click(BEGIN_AT)
        s.wait_logging()


def closing_the_window_keeps_every_complete_line(program):
    with Session(program) as s:
        log_lines(s, lambda: s.click(BEGIN_AT))
        s.close_window()
        assert s.wait_exit() == 0
        assert s.log_bytes() == LOGGED, s.log_bytes()


def kill_keeps_every_complete_line(program):
    with Session(program) as s:
        # Waiting for the file proves each record reached the OS before any stop or exit.
        log_lines(s, lambda: s.click(BEGIN_AT))
        s.proc.send_signal(signal.SIGKILL)
        s.wait_exit()
        assert s.log_bytes() == LOGGED, s.log_bytes()


def logging_ends_by_itself_after_ninety_ticks(program):
    # A thousand times faster, the 90 one-minute ticks take 5.4 seconds.
    with Session(program, faketime="+0 x1000") as s:
        s.click(BEGIN_AT)
        s.wait_logging()
        started = time.monotonic()
        expected = b""
        while s.port_in_raw_mode():
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


if __name__ == "__main__":
    main(clicks_log_the_lines,
         access_keys_log_the_lines_after_what_the_file_held,
         held_port_shows_port_open_and_creates_no_log,
         closing_the_window_keeps_every_complete_line,
         kill_keeps_every_complete_line,
         logging_ends_by_itself_after_ninety_ticks)

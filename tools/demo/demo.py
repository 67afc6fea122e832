#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Starts tolvar-logger with a simulated instrument as its port 1.

The instrument is a pseudo-terminal fed from here; the launcher binds it over /dev/ttyS0 in the
program's private mount namespace. The program runs in FOLDER, where its default log path
(C:\\Windows\\Desktop\\logFile.txt, a plain relative file name on Linux) lands. The simulator
ends when the program ends, and the program ends with the demo.

    demo.py LAUNCHER PROGRAM FOLDER
"""

import math
import os
import random
import signal
import subprocess
import sys
import termios
import time

DEFAULT_LOG = "C:\\Windows\\Desktop\\logFile.txt"
SHORT_NAME = "logFile.txt"
LINES_PER_SECOND = 3


def port_open(master):
    # The program puts the port in raw mode when it opens it and restores cooked mode when it
    # closes it; writing to a cooked pty would echo and translate the bytes.
    return not termios.tcgetattr(master)[3] & termios.ICANON


def seconds_per_byte(master):
    """The time one character takes on the wire at the settings the program chose."""
    _, _, cflag, _, _, ospeed, _ = termios.tcgetattr(master)
    speeds = {getattr(termios, f"B{rate}"): rate for rate in
              (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200) if hasattr(termios, f"B{rate}")}
    rate = speeds.get(ospeed, 19200)
    data_bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    bits = 1 + data_bits + (1 if cflag & termios.PARENB else 0) + (2 if cflag & termios.CSTOPB else 1)
    return bits / rate


class Instrument:
    """A temperature and humidity probe that reports a numbered reading a few times a second."""

    def __init__(self):
        self.count = 0
        self.noise = random.Random(1)

    def next_line(self):
        self.count += 1
        t = self.count / 40
        temperature = 21.5 + 1.8 * math.sin(t) + self.noise.gauss(0, 0.05)
        humidity = 45 + 6 * math.sin(t / 3 + 1) + self.noise.gauss(0, 0.2)
        return f"TH1 #{self.count:06d} T={temperature:+06.2f} C RH={humidity:04.1f} %\r\n".encode("ascii")


def send_paced(master, line, program):
    """Writes the line as the wire would deliver it: a few bytes at a time, at the line's speed."""
    per_byte = seconds_per_byte(master)
    chunk = 8
    for start in range(0, len(line), chunk):
        if program.poll() is not None or not port_open(master):
            return
        os.write(master, line[start:start + chunk])
        time.sleep(chunk * per_byte)


def run(launcher, program_path, folder):
    os.makedirs(folder, exist_ok=True)
    link = os.path.join(folder, SHORT_NAME)
    if not os.path.lexists(link):
        os.symlink(DEFAULT_LOG, link)

    master, slave = os.openpty()
    slave_path = os.ttyname(slave)
    os.close(slave)
    program = subprocess.Popen([launcher, slave_path, program_path], cwd=folder)

    print(f"""Demo: tolvar-logger is starting with a simulated instrument ({slave_path}) as its port 1.
  Press "Begin logging" in its window; the instrument sends {LINES_PER_SECOND} readings a second.
  The log path in the window, {DEFAULT_LOG}, is on Linux a file of that very name in
    {folder}
  Watch it grow with:
    tail -F {link}
  Close the window (or press Ctrl+C here) to end the demo.""", flush=True)

    instrument = Instrument()
    try:
        while program.poll() is None:
            if port_open(master):
                started = time.monotonic()
                send_paced(master, instrument.next_line(), program)
                time.sleep(max(0.0, 1 / LINES_PER_SECOND - (time.monotonic() - started)))
            else:
                time.sleep(0.05)
    finally:
        if program.poll() is None:
            program.terminate()
            try:
                program.wait(5)
            except subprocess.TimeoutExpired:
                program.kill()
                program.wait()
        os.close(master)
    return program.returncode


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    launcher, program_path, folder = (os.path.abspath(arg) for arg in sys.argv[1:])
    # A terminal's Ctrl+C reaches the program too; SIGTERM or a hang-up reaches only us.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda number, _frame: sys.exit(128 + number))
    try:
        status = run(launcher, program_path, folder)
    except KeyboardInterrupt:
        status = 130
    print(f"Demo ended. The log is {os.path.join(folder, SHORT_NAME)}")
    sys.exit(status if status >= 0 else 128 - status)


if __name__ == "__main__":
    main()

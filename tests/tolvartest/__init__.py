# SPDX-License-Identifier: MIT
"""Helpers for the tests and benchmarks that run the real program: an X display, a pty as port 1
in a private mount namespace, a wine session for the Windows program, and the case runner."""

import sys
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE for our cases


class Skip(Exception):
    pass


def main(*cases):
    """Runs the case named last on the command line with the arguments before it."""
    *args, name = sys.argv[1:]
    try:
        {case.__name__: case for case in cases}[name](*args)
    except Skip as reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP)
    print("passed")


def wait_until(condition, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)

# SPDX-License-Identifier: MIT
"""What the Windows program asks of the desktop around a run, seen under wine:

    python3 desktop_test.py EXE WINDOW_TOOL_EXE TASKBAR_STANDIN_DLL CASE

The taskbar progress through a stand-in taskbar list registered in the session's prefix (wine's
own reports only the first call of a process); the execution state and the call for attention
through wine's relay trace, narrowed to the two functions.
"""

import contextlib
import os
import re
import subprocess
import tempfile

from tolvartest import main, wait_until, wine
from tolvartest.harness import TITLE, session

TASKBAR_LIST = r"HKLM\Software\Classes\CLSID\{56FDF344-FD6D-11d0-958A-006097C9A090}\InprocServer32"
DEBUG_KEY = r"HKCU\Software\Wine\Debug"
TRACED = "kernel32.SetThreadExecutionState;user32.FlashWindowEx"
KEEP_AWAKE, RELEASE = "80000001", "80000000"  # ES_CONTINUOUS | ES_SYSTEM_REQUIRED; ES_CONTINUOUS
FLASH = "FlashWindowEx"
NO_PROGRESS = ["state 0"]  # TBPF_NOPROGRESS


def progress(*ticks):
    return [line for tick in ticks for line in ("state 2", f"value {tick} 90")]  # TBPF_NORMAL


def reg(*args):
    """Runs wine's reg in the session's prefix; returns what it printed."""
    with tempfile.TemporaryFile() as out:  # a file, never a pipe: see tolvartest.wine
        subprocess.run(["wine", "reg", *args], env=wine.environment(wine.session_prefix()),
                       stdin=subprocess.DEVNULL, stdout=out, stderr=out, check=True)
        out.seek(0)
        return out.read().decode(errors="replace")


@contextlib.contextmanager
def watched_session(program, tool, standin):
    """A session with the stand-in as the taskbar list and the two functions traced in the
    program; not in its tools, whose output is read."""
    taskbar_list = re.search(r"REG_SZ\s+(.+?)\s*$", reg("query", TASKBAR_LIST, "/ve"), re.M).group(1)
    reg("add", TASKBAR_LIST, "/ve", "/d", "Z:" + os.path.abspath(standin).replace("/", "\\"), "/f")
    reg("add", DEBUG_KEY, "/v", "RelayInclude", "/d", TRACED, "/f")
    os.environ[wine.DEBUG] = "-all,+relay"
    try:
        with session("win32", program, tool) as s:
            del os.environ[wine.DEBUG]
            s.env = wine.environment(s.prefix)
            yield s
    finally:
        os.environ.pop(wine.DEBUG, None)
        reg("delete", DEBUG_KEY, "/v", "RelayInclude", "/f")
        reg("add", TASKBAR_LIST, "/ve", "/d", taskbar_list, "/f")


def traced_calls(s):
    """The execution states asked for and the calls for attention, in order."""
    calls = re.findall(r"Call (?:kernel32\.SetThreadExecutionState\(0*([0-9a-f]+)\)|user32\.(FlashWindowEx)\()",
                       s.said(), re.I)
    return [state or flash for state, flash in calls]


def the_desktop_follows_a_run_from_begin_to_its_stop(program, tool, standin):
    with watched_session(program, tool, standin) as s:
        def taskbar():
            try:
                with open(os.path.join(s.dir.name, "taskbar-calls.txt")) as calls:
                    return calls.read().splitlines()
            except FileNotFoundError:
                return []

        def wait_for(expected, seen, what):
            try:
                wait_until(lambda: seen() == expected, what=what)
            except AssertionError as timeout:
                raise AssertionError(f"{timeout}: {seen()}") from None

        # Wine has no shell to say the window's button exists: the progress goes out all the same.
        s.click("cmdBegin")
        s.wait_logging()
        s.tick(3)
        wait_for(progress(0, 1, 2, 3), taskbar, "the progress of three ticks")
        s.click("cmdStop")
        expected = progress(0, 1, 2, 3) + NO_PROGRESS
        wait_for(expected, taskbar, "the progress to go at Stop")
        # The operator's own Stop asks for no attention.
        assert traced_calls(s) == [KEEP_AWAKE, RELEASE], traced_calls(s)

        s.click("cmdBegin")
        s.wait_logging()
        # Another window in front when the run ends by itself.
        other = subprocess.Popen(["wine", "notepad"], env=s.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            s.display.wait_window("Untitled - Notepad", other)
            s.tick(90)
            expected += progress(*range(90)) + NO_PROGRESS
            wait_for(expected, taskbar, "the progress to go after the 90th tick")
            wait_for([KEEP_AWAKE, RELEASE, KEEP_AWAKE, RELEASE, FLASH], lambda: traced_calls(s),
                     "the execution state released and the button flashed")
        finally:
            other.kill()
            other.wait()

        # Closed while logging, the program lets the system sleep again as it exits.
        s.click("cmdBegin")
        s.wait_logging()
        s.close_window()
        assert s.wait_exit() == 0
        assert traced_calls(s)[5:] == [KEEP_AWAKE, RELEASE], traced_calls(s)


if __name__ == "__main__":
    main(the_desktop_follows_a_run_from_begin_to_its_stop)

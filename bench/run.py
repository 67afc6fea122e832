# SPDX-License-Identifier: MIT
"""Runs every benchmark and prints one table of figures, each beside a baseline from the same run.

python3 bench/run.py BUILD_DIR [WINDOWS_BUILD_DIR], or --line-rate BUILD_DIR [PROGRAM] for the rows at the
line's rate alone (of another build of the program, say). The real program runs through the e2e harness (a
pty bound over its port 1 in a private mount namespace, under Xvfb); its rows are skipped when that
cannot be set up. With a Windows build, the Windows program is measured too, in a wine session.
"""

import ctypes
import functools
import json
import os
import platform
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty

from tolvartest import SKIP, Skip, harness, wait_until, xlib

MIB = 1 << 20
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "30"))
STARTS = int(os.environ.get("BENCH_STARTS", "5"))
WINE_MIB = int(os.environ.get("BENCH_WINE_MIB", "8"))
LINE_SECONDS = float(os.environ.get("BENCH_LINE_SECONDS", "60"))
PIECES = (1, 8, 32)
LINE_RATE = 1920  # bytes a second at 19200 8N1


def google_benchmark(program):
    """Best run of each benchmark of one Google Benchmark program: name -> (ms, bytes)."""
    out = subprocess.run([program, "--benchmark_format=json", "--benchmark_enable_random_interleaving=true"],
                         check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        name = b["run_name"].split("/iterations:")[0]
        if b.get("error_occurred"):
            raise SystemExit(f"{name}: {b['error_message']}")
        if b.get("aggregate_name") == "min":
            best[name] = (b["real_time"], b["bytes"])
    return best


def mib_per_s(result):
    ms, size = result
    return size / MIB / (ms / 1000)


# --- The real program, through the harness ---------------------------------------------------------

class MapWatcher(threading.Thread):
    """Notes the moment each top-level window of a display is mapped, as it happens."""

    def __init__(self, display_name):
        super().__init__(daemon=True)
        x11 = self.x11 = xlib.load()
        self.display = x11.XOpenDisplay(display_name.encode())
        x11.XSelectInput(self.display, x11.XDefaultRootWindow(self.display), xlib.SUBSTRUCTURE_NOTIFY_MASK)
        x11.XSync(self.display, 0)
        self.mapped, self.done = {}, False
        self.start()

    def run(self):
        event, fd = xlib.Event(), self.x11.XConnectionNumber(self.display)
        while not self.done:
            select.select([fd], [], [], 0.05)
            while self.x11.XPending(self.display):
                self.x11.XNextEvent(self.display, ctypes.byref(event))
                if event.map.type == xlib.MAP_NOTIFY:
                    self.mapped.setdefault(event.map.window, time.monotonic())

    def close(self):
        self.done = True
        self.join()
        self.x11.XCloseDisplay(self.display)


class Timed:
    """For a harness session: notes how long the program took from launch to its window mapped."""

    def _start_program(self):
        watcher = MapWatcher(self.env["DISPLAY"])
        launched = time.monotonic()
        try:
            super()._start_program()
            wait_until(lambda: int(self.window) in watcher.mapped, what="the map event")
            self.startup = watcher.mapped[int(self.window)] - launched
        finally:
            watcher.close()


def usage(pid):
    """CPU seconds and context switches (each a wakeup or a preemption) of all a process's threads so far."""
    cpu = switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
            cpu += int(schedstat.read().split()[0]) / 1e9  # time on a CPU, in ns
        with open(f"/proc/{pid}/task/{task}/status") as status:
            switches += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
    return cpu, switches


class TimedSession(Timed, harness.Session):
    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    def usage(self):
        return usage(self.proc.pid)


def start_up(program):
    """Median launch-to-window time (s) and peak resident memory (KiB) over STARTS runs."""
    times, peaks = [], []
    for _ in range(STARTS):
        with TimedSession(program) as s:
            assert open(f"/proc/{s.proc.pid}/comm").read().strip() == os.path.basename(program)[:15]
            time.sleep(0.5)  # let it finish painting
            times.append(s.startup)
            peaks.append(s.status("VmHWM"))
    return sorted(times)[len(times) // 2], sorted(peaks)[len(peaks) // 2]


def idle(program, baseline):
    """Share of a core and wakeups a second of the logging program and of the baseline, side by side."""
    with TimedSession(program) as s, TimedSession(baseline) as b:
        s.click("cmdBegin")
        s.wait_logging()
        time.sleep(1)
        before = [s.usage(), b.usage()]
        time.sleep(IDLE_SECONDS)
        after = [s.usage(), b.usage()]
        assert s.port_open(), "logging stopped"
    return [((a[0] - b0[0]) / IDLE_SECONDS * 100, (a[1] - b0[1]) / IDLE_SECONDS)
            for a, b0 in zip(after, before)]


# --- At the line's own rate: the program beside serial tools, each on a pty of its own -------------

class Peer:
    """A serial tool reading a pty of its own into a log file; its terminal, if it wants one, is
    another pty whose output `drain` throws away."""

    def __init__(self, name, folder, command):
        self.name, self.log = name, os.path.join(folder, name + ".log")
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        # Held raw, so bytes are never translated, whichever tool sets the port up and when.
        tty.setraw(slave)
        self.slave = slave
        self.terminal = None
        argv = command(self.path, self.log)
        if argv[0] in ("picocom", "tio"):
            self.terminal, terminal_slave = os.openpty()
            self.proc = subprocess.Popen(argv, stdin=terminal_slave, stdout=terminal_slave, stderr=terminal_slave,
                                         start_new_session=True)
            os.close(terminal_slave)
        elif argv[0] == "cat":
            with open(self.path, "rb", buffering=0) as port, open(self.log, "wb") as log:
                self.proc = subprocess.Popen(argv, stdin=port, stdout=log)
        else:
            self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def received(self):
        return os.path.getsize(self.log) if os.path.exists(self.log) else 0

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        for fd in (self.master, self.slave, self.terminal):
            if fd is not None:
                os.close(fd)


PEERS = (
    ("cat", lambda port, log: ["cat"]),
    ("socat", lambda port, log: ["socat", "-u", f"OPEN:{port},rdonly,noctty", f"CREATE:{log}"]),
    ("picocom", lambda port, log: ["picocom", "-b", "19200", "-q", "--noreset", "-g", log, port]),
    ("tio", lambda port, log: ["tio", "-b", "19200", "-l", "--log-file", log, port]),
)


def drain(fds, stop):
    """Reads and forgets what the tools write to their terminals, so they never block on it."""
    while not stop.is_set():
        for fd in select.select(fds, [], [], 0.1)[0]:
            try:
                os.read(fd, 65536)
            except OSError:
                fds.remove(fd)


def line_rate(program, feeder, piece):
    """CPU ms per minute and wakeups per second of the program and of each peer, side by side while
    a device at 19200 8N1 hands over LINE_SECONDS of 80-byte lines in pieces of `piece` bytes."""
    folder = tempfile.mkdtemp(prefix="tolvar-bench-")
    peers, stop = [], threading.Event()
    try:
        with TimedSession(program) as s:
            s.click("cmdBegin")
            s.wait_logging()
            peers = [Peer(name, folder, command) for name, command in PEERS]
            terminals = [p.terminal for p in peers if p.terminal is not None]
            drainer = threading.Thread(target=drain, args=(terminals, stop), daemon=True)
            drainer.start()
            time.sleep(1)  # every tool has set its port up
            pids = [s.proc.pid] + [p.proc.pid for p in peers]
            assert all(p.proc.poll() is None for p in peers), [(p.name, p.proc.poll()) for p in peers]
            masters = [s.master] + [p.master for p in peers]
            before = [usage(pid) for pid in pids]
            subprocess.run([feeder, str(piece), str(int(LINE_SECONDS))] + [str(m) for m in masters],
                           check=True, pass_fds=masters)
            time.sleep(0.2)  # the last gathered bytes
            after = [usage(pid) for pid in pids]
            size = int(LINE_SECONDS) * 1920
            lines = size // 80
            wait_until(lambda: len(s.log_bytes() or b"") == lines * 81, what="the program's log")
            for p in peers:
                if p.name != "tio":  # tio writes its log through a buffer it empties only when full
                    wait_until(lambda: p.received() == size, what=f"{p.name}'s log")
    finally:
        stop.set()
        for p in peers:
            p.close()
        shutil.rmtree(folder)
    return {name: ((a[0] - b[0]) / LINE_SECONDS * 60000, (a[1] - b[1]) / LINE_SECONDS)
            for name, a, b in zip(["tolvar-logger"] + [p.name for p in peers], after, before)}


def line_rate_rows(rows, program, feeder):
    """The program against the cheapest peer at each piece size; returns every reader's figures."""
    figures = {}
    for piece in PIECES:
        figures[piece] = f = line_rate(program, feeder, piece)
        cheapest = min((n for n in f if n != "tolvar-logger"), key=lambda n: f[n][0])
        add_row(rows, f"Line rate, {piece}-byte pieces ({LINE_SECONDS:.0f} s): CPU per minute", f["tolvar-logger"][0],
                "ms", f"cheapest serial tool ({cheapest})", f[cheapest][0], 1.0, higher_better=False, fmt="{:.0f}")
        pieces = 1920 / piece
        add_row(rows, f"Line rate, {piece}-byte pieces: wakeups", f["tolvar-logger"][1], "/s", "pieces handed over",
                pieces, 0.25 if piece == 8 else None, higher_better=False, fmt="{:.1f}")
    return figures


def print_line_rate(figures):
    print(f"\nAt the line's rate ({LINE_SECONDS:.0f} s of 19200 8N1 per piece size, readers side by side): "
          "CPU ms per minute / wakeups per second")
    head = ("Reader",) + tuple(f"{piece}-byte pieces" for piece in PIECES)
    table = [head] + [(name,) + tuple(f"{figures[p][name][0]:.0f} / {figures[p][name][1]:.1f}" for p in PIECES)
                      for name in figures[PIECES[0]]]
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    for r in [table[0], tuple("-" * w for w in widths)] + table[1:]:
        print("| " + " | ".join(v.ljust(w) for v, w in zip(r, widths)) + " |")


# --- The Windows program, under wine (run inside a session of tolvartest.wine) ---------------------

class TimedWineSession(Timed, harness.WineSession):
    def usage(self):
        """CPU seconds so far of the program, and of the wineserver, which does much of its work."""
        server = next(pid for pid in self.session_pids()
                      if open(f"/proc/{pid}/comm").read().startswith("wineserver"))
        return harness.process_cpu_seconds(self.proc.pid), harness.process_cpu_seconds(server)


class CopyLoopSession(harness.WineSession):
    """The copy-loop baseline: COM1 into a file, no window."""

    def _start_program(self):
        self.copy = os.path.join(self.dir.name, "copy")
        self.launch(self.file_name(self.copy))
        wait_until(lambda: os.path.exists(self.copy), what="the copy loop to open COM1")


def feed(master, data):
    """Writes all of `data` to the pty from a thread of its own; returns the thread."""
    def write():
        view = memoryview(data)
        while view:
            view = view[os.write(master, view[:65536]):]
    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    return writer


def wine_throughput(exe, tool, copy_loop):
    """Best MiB/s over three runs of 80-byte lines through the pty: the program, and the copy loop."""
    data = (b"A" * 79 + b"\r") * (WINE_MIB * MIB // 80)
    best = [0.0, 0.0]
    for _ in range(3):
        with TimedWineSession(exe, tool) as s:
            s.click("cmdBegin")
            s.wait_logging()
            started = time.monotonic()
            feed(s.master, data)
            # Each CR-ended line becomes a record ended by CR LF.
            wait_until(lambda: os.path.getsize(s.log) == len(data) // 80 * 81, timeout=120, what="the log")
            best[0] = max(best[0], WINE_MIB / (time.monotonic() - started))
        with CopyLoopSession(copy_loop, tool) as c:
            started = time.monotonic()
            feed(c.master, data)
            wait_until(lambda: os.path.getsize(c.copy) == len(data), timeout=120, what="the copy")
            best[1] = max(best[1], WINE_MIB / (time.monotonic() - started))
    return best


def at_line_rate(session, piece, seconds, out):
    """Sends 80-byte lines at 19200 8N1 (1,920 bytes a second) in pieces of `piece` bytes for
    `seconds`, waits until `out` holds them as `session` writes them, and returns the program's CPU
    ms per minute and context switches (wakeups) a second over the run."""
    lines = b"".join(b"%07d" % n + b"x" * 72 + b"\r" for n in range(int(LINE_RATE * seconds) // 80))
    started = time.monotonic()
    before = usage(session.proc.pid)
    for n, at in enumerate(range(0, len(lines), piece)):
        time.sleep(max(0.0, started + n * piece / LINE_RATE - time.monotonic()))
        session.send(lines[at:at + piece])
    wanted = len(lines) if isinstance(session, CopyLoopSession) else len(lines) // 80 * 81
    wait_until(lambda: os.path.getsize(out) == wanted, what="the last line in the file")
    after = usage(session.proc.pid)
    took = time.monotonic() - started
    return (after[0] - before[0]) * 1000 * 60 / took, (after[1] - before[1]) / took


def wine_line_rate(exe, tool, copy_loop):
    """For each piece size: ((CPU, wakeups) of the program, (CPU, wakeups) of the copy loop)."""
    figures = {}
    for piece in PIECES:
        with TimedWineSession(exe, tool) as s:
            s.click("cmdBegin")
            s.wait_logging()
            time.sleep(1)
            program = at_line_rate(s, piece, LINE_SECONDS, s.log)
        with CopyLoopSession(copy_loop, tool) as c:
            time.sleep(1)
            figures[piece] = program, at_line_rate(c, piece, LINE_SECONDS, c.copy)
    return figures


def wine_idle(exe, tool, bare):
    """Shares of a core, (program, wineserver), of the logging program with no data and of the bare
    window idle, one after the other: both use the same wineserver."""
    shares = []
    for program in (exe, bare):
        with TimedWineSession(program, tool) as s:
            if program == exe:
                s.click("cmdBegin")
                s.wait_logging()
            time.sleep(1)
            before = s.usage()
            time.sleep(IDLE_SECONDS)
            shares.append([(a - b) / IDLE_SECONDS * 100 for a, b in zip(s.usage(), before)])
            assert program != exe or s.port_open(), "logging stopped"
    return shares


def wine_start_up(program, tool):
    times = []
    for _ in range(STARTS):
        with TimedWineSession(program, tool) as s:
            time.sleep(0.5)
            times.append(s.startup)
    return sorted(times)[len(times) // 2]


def windows_rows(win_build, rows_file):
    """The Windows program's rows, written to `rows_file` as JSON."""
    rows = []
    row = functools.partial(add_row, rows)
    exe = os.path.join(win_build, "src", "win32", "tolvar-logger.exe")
    tool = os.path.join(win_build, "tests", "win32", "window_tool.exe")
    bare = os.path.join(win_build, "bench", "bare_window.exe")
    copy_loop = os.path.join(win_build, "bench", "copy_loop.exe")
    program, copy = wine_throughput(exe, tool, copy_loop)
    row(f"Windows, pty ({WINE_MIB} MiB of 80-byte lines): exe", program, "MiB/s", "ReadFile/WriteFile copy loop",
        copy, 0.8)
    for piece, ((cpu, wakeups), (base_cpu, base_wakeups)) in wine_line_rate(exe, tool, copy_loop).items():
        what = f"Windows, 19200 8N1 in {piece}-byte pieces ({LINE_SECONDS:.0f} s)"
        row(f"{what}: CPU of exe", cpu, "ms/min", "copy loop, reading each piece", base_cpu, 1.0,
            higher_better=False, fmt="{:.0f}")
        pieces = LINE_RATE / piece
        row(f"{what}: wakeups of exe", wakeups, "/s", "copy loop, reading each piece", base_wakeups,
            fmt="{:.0f}")
        if piece == 8:
            rows[-1] = rows[-1][:5] + (f"≤ {pieces / 4:.0f} /s (a quarter of the pieces)",
                                       "yes" if wakeups <= pieces / 4 else "NO")
    (cpu, server), (base_cpu, base_server) = wine_idle(exe, tool, bare)
    for what, value, base in (("exe", cpu, base_cpu), ("exe + wineserver", cpu + server, base_cpu + base_server)):
        row(f"Windows, idle, logging, no data ({IDLE_SECONDS:.0f} s): CPU of {what}", value, "% core",
            "bare Win32 window, idle", base, fmt="{:.3f}")
        rows[-1] = rows[-1][:5] + ("< 0.1 % core", "yes" if value < 0.1 else "NO")
    row("Windows, start-up: launch to window mapped", wine_start_up(exe, tool) * 1000, "ms", "bare Win32 window",
        wine_start_up(bare, tool) * 1000, 1.2, higher_better=False)
    size = os.path.getsize(exe) / 1024
    row("Windows, exe size (stripped, static)", size, "KiB", "bare Win32 window exe", os.path.getsize(bare) / 1024,
        fmt="{:.0f}")
    rows[-1] = rows[-1][:5] + ("< 300 KiB", "yes" if size < 300 else "NO")
    with open(rows_file, "w") as out:
        json.dump(rows, out)


def windows_rows_in_a_session(win_build):
    """Runs windows_rows in a wine session of its own; a row saying why when it cannot."""
    rows_file = os.path.join(os.path.abspath(win_build), "bench-rows.json")
    if os.path.exists(rows_file):
        os.unlink(rows_file)
    status = subprocess.run([sys.executable, "-m", "tolvartest.wine", os.path.join(win_build, "wine-bench"),
                             sys.executable, os.path.abspath(__file__), "--windows", win_build, rows_file]).returncode
    if status != 0 or not os.path.exists(rows_file):
        return [(f"Windows program: {'skipped' if status == SKIP else 'failed'} (see above)", "", "", "", "", "", "")]
    with open(rows_file) as rows:
        return [tuple(r) for r in json.load(rows)]


# --- The table -----------------------------------------------------------------------------------

def add_row(rows, what, value, unit, base_what, base, target=None, higher_better=True, fmt="{:.1f}"):
    """One row: (what, figure, baseline, baseline figure, ratio, target, met)."""
    ratio = value / base if base else None
    met = ""
    if target is not None and ratio is not None:
        met = "yes" if (ratio >= target if higher_better else ratio <= target) else "NO"
    rows.append((what, fmt.format(value) + " " + unit, base_what, fmt.format(base) + " " + unit,
                 "-" if ratio is None else f"{ratio:.2f}",
                 "" if target is None else ("≥ " if higher_better else "≤ ") + f"{target}", met))


def machine():
    with open("/proc/cpuinfo") as info:
        model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    return f"{os.cpu_count()} cores, {model}, Linux {platform.release()}"


def main(build, win_build=None):
    rows = []  # (what, figure, baseline, baseline figure, ratio, target, met)
    row = functools.partial(add_row, rows)
    line_rate_figures = None

    c = google_benchmark(os.path.join(build, "bench", "capture_bench"))
    for case, what in (("lines80/read4096", "80-byte lines, 4 KiB reads"),
                       ("lines1/read4096", "1-byte lines (all CR), 4 KiB reads"),
                       ("lines80/read1", "80-byte lines, 1-byte reads")):
        row(f"Capture: {what}", mib_per_s(c["capture/" + case]), "MiB/s", "one write() per read",
            mib_per_s(c["limit/" + case]), 0.8 if case == "lines80/read4096" else None)
    # Per record of 80 bytes received: what the window's thread pays to hand it to the log writer.
    handed = {case: c[case][0] * 1000 / (c[case][1] / 80) for case in ("handover/record80", "limit/record80")}
    row("Hand-over: one 80-byte record a read, per record", handed["handover/record80"], "µs",
        "one write() per record", handed["limit/record80"], higher_better=False, fmt="{:.3f}")
    # Per record of 81 bytes (79, CR, LF): what the syncer's thread spends on a sync at most once a second.
    per_record = {case: c[case][0] / (c[case][1] / 81) for case in ("sync/record80", "append/record80")}
    row("Sync: an 80-byte record appended, then synced", per_record["sync/record80"], "ms", "the record appended only",
        per_record["append/record80"], fmt="{:.3f}")
    per_mib = {n: c[f"longline/{n}MiB"][0] / n for n in (1, 4, 16)}
    for n in (1, 4, 16):
        row(f"Long line, {n} MiB without CR: time per MiB", per_mib[n], "ms", "the same for 1 MiB",
            per_mib[1], 1.2, higher_better=False, fmt="{:.2f}")

    p = google_benchmark(os.path.join(build, "bench", "pty_bench"))
    row("Pty: SerialControl + logic", mib_per_s(p["pty/program"]), "MiB/s", "read/write copy loop",
        mib_per_s(p["pty/copyloop"]), 0.8)
    row("Pty: SerialControl + logic", mib_per_s(p["pty/program"]), "MiB/s", "socat", mib_per_s(p["pty/socat"]))

    program = os.path.join(build, "src", "qt", "tolvar-logger")
    minimal = os.path.join(build, "bench", "minimal_qt")
    try:
        (cpu, wakeups), (base_cpu, base_wakeups) = idle(program, minimal)
        row(f"Idle, logging, no data ({IDLE_SECONDS:.0f} s): CPU", cpu, "% core", "minimal Qt program, idle",
            base_cpu, fmt="{:.3f}")
        rows[-1] = rows[-1][:5] + ("< 0.1 % core", "yes" if cpu < 0.1 else "NO")
        row("Idle, logging, no data: wakeups", wakeups, "/s", "minimal Qt program, idle", base_wakeups,
            fmt="{:.2f}")
        startup, peak = start_up(program)
        base_startup, base_peak = start_up(minimal)
        row("Start-up: launch to window mapped", startup * 1000, "ms", "minimal Qt program",
            base_startup * 1000, 1.2, higher_better=False)
        row("Peak resident memory (VmHWM)", peak / 1024, "MiB", "minimal Qt program", base_peak / 1024, 1.2,
            higher_better=False)
        line_rate_figures = line_rate_rows(rows, program, os.path.join(build, "bench", "line_feeder"))
    except Skip as reason:
        rows.append((f"Real program: skipped ({reason})", "", "", "", "", "", ""))
    if win_build:
        rows += windows_rows_in_a_session(win_build)

    head = ("Measure", "Figure", "Baseline (same run)", "Baseline", "Ratio", "Target", "Met")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    print(f"Machine: {machine()}")
    for r in [head, tuple("-" * w for w in widths)] + rows:
        print("| " + " | ".join(v.ljust(w) for v, w in zip(r, widths)) + " |")
    if line_rate_figures:
        print_line_rate(line_rate_figures)


if __name__ == "__main__":
    if sys.argv[1] == "--windows":
        windows_rows(*sys.argv[2:])
    elif sys.argv[1] == "--line-rate":  # only these rows: --line-rate BUILD_DIR [PROGRAM]
        build_dir = sys.argv[2]
        program = sys.argv[3] if len(sys.argv) > 3 else os.path.join(build_dir, "src", "qt", "tolvar-logger")
        print_line_rate(line_rate_rows([], program, os.path.join(build_dir, "bench", "line_feeder")))
    else:
        main(*sys.argv[1:])

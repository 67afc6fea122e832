"""Runs every benchmark and prints one table of figures, each beside a baseline from the same run.

python3 bench/run.py BUILD_DIR. The real program runs through the e2e harness (a pty bound over its
port 1 in a private mount namespace, under Xvfb); its rows are skipped when that cannot be set up.
"""

import ctypes
import json
import os
import platform
import select
import subprocess
import sys
import threading
import time

from tolvartest import Skip, harness, wait_until, xlib

MIB = 1 << 20
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "30"))
STARTS = int(os.environ.get("BENCH_STARTS", "5"))
TICKS = os.sysconf("SC_CLK_TCK")


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


class TimedSession(harness.Session):
    """A harness session that also notes how long the program took from launch to its window mapped."""

    def _start_program(self):
        watcher = MapWatcher(self.env["DISPLAY"])
        launched = time.monotonic()
        try:
            super()._start_program()
            wait_until(lambda: int(self.window) in watcher.mapped, what="the map event")
            self.startup = watcher.mapped[int(self.window)] - launched
        finally:
            watcher.close()

    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    def usage(self):
        """CPU seconds and context switches of all the program's threads so far."""
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime
        switches = 0
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            with open(f"/proc/{self.proc.pid}/task/{task}/status") as status:
                switches += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
        return cpu, switches


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


# --- The table -----------------------------------------------------------------------------------

def machine():
    with open("/proc/cpuinfo") as info:
        model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    return f"{os.cpu_count()} cores, {model}, Linux {platform.release()}"


def main(build):
    rows = []  # (what, figure, baseline, baseline figure, ratio, target, met)

    def row(what, value, unit, base_what, base, target=None, higher_better=True, fmt="{:.1f}"):
        ratio = value / base if base else None
        met = ""
        if target is not None and ratio is not None:
            met = "yes" if (ratio >= target if higher_better else ratio <= target) else "NO"
        rows.append((what, fmt.format(value) + " " + unit, base_what, fmt.format(base) + " " + unit,
                     "-" if ratio is None else f"{ratio:.2f}",
                     "" if target is None else ("≥ " if higher_better else "≤ ") + f"{target}", met))

    c = google_benchmark(os.path.join(build, "bench", "capture_bench"))
    for case, what in (("lines80/read4096", "80-byte lines, 4 KiB reads"),
                       ("lines1/read4096", "1-byte lines (all CR), 4 KiB reads"),
                       ("lines80/read1", "80-byte lines, 1-byte reads")):
        row(f"Capture: {what}", mib_per_s(c["capture/" + case]), "MiB/s", "one write() per read",
            mib_per_s(c["limit/" + case]), 0.8 if case == "lines80/read4096" else None)
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
    except Skip as reason:
        rows.append((f"Real program: skipped ({reason})", "", "", "", "", "", ""))

    head = ("Measure", "Figure", "Baseline (same run)", "Baseline", "Ratio", "Target", "Met")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    print(f"Machine: {machine()}")
    for r in [head, tuple("-" * w for w in widths)] + rows:
        print("| " + " | ".join(v.ljust(w) for v, w in zip(r, widths)) + " |")


if __name__ == "__main__":
    main(sys.argv[1])

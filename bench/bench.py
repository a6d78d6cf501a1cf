#!/usr/bin/env python3
"""How accurate and how light the real program is, measured at the simulated
instrument, in the end-to-end lab's network namespaces (made as root, or as
any user where user namespaces are allowed).

  bench/bench.py [bench|soak|flood] [--build DIR] [--cycles N]
  bench/bench.py --windows build/windows/...-win64.zip     (or the .exe)
  bench/bench.py --load [N] [--rtkit]

--windows runs the Windows build under Wine, in a Wine prefix of its own
with its server started in the program's namespace, in the same lab
against the same simulator; CPU then counts the program and Wine's server.

bench: prints one table: wait accuracy, turnaround, measurement error,
       highest cycle rate, CPU and memory.
soak:  runs N cycles (100000 by default) at a wait of 1 ms with split, glued,
       reordered and junk replies, and checks for stalls, memory growth and
       an exact run-time average.
flood: at a wait of 8 ms, another host on the instrument's link floods the
       program's port five times, then the instrument's own address does;
       prints the cycle rates, lost replies, CPU and memory around each.

--load N keeps N busy processes (default: one per core; 0 for none) running
through the wait-error rows and the cycle rate, as a busy desktop would, and
runs the program as an ordinary user (nobody, where the lab runs as root);
--rtkit gives it the lab's system bus with polkit and rtkit (root only).
The table then says how the program's thread was scheduled.
Nothing here is a pass/fail test of speed: the figures are for people."""
import argparse
import ipaddress
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from e2e import (CYCLE_TIME, RUN_AVG, TITLE, WAIT_TEXT, set_wait)  # noqa: E402
from lab import Lab, Skip, SKIP_CODE, scheduling, wait_until  # noqa: E402
from privnet import die_with_parent, built_instrument  # noqa: E402  (lab puts tools/ on the path)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "windows"))
from wine import make_prefix  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def summary(values):
    return (statistics.median(values), percentile(values, 99), max(values, key=abs))


def machine():
    model = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    load = os.getloadavg()[0]
    return (f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, "
            f"load {load:.2f} at start")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    seconds = (int(fields[11]) + int(fields[12])) / TICKS
    # Under Wine, the server that keeps the program's timers and sockets too.
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            if (proc / "comm").read_text().strip() == "wineserver":
                fields = (proc / "stat").read_text().rsplit(")", 1)[1].split()
                seconds += (int(fields[11]) + int(fields[12])) / TICKS
        except OSError:
            pass
    return seconds


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


class Run:
    """One program against one simulator, with helpers to read the log."""

    def __init__(self, lab, *sim_options):
        self.lab = lab
        self.sim, self.log = lab.start_sim(*sim_options)
        self.app = lab.start_app()
        self.window = lab.find_window(TITLE)

    def xr_count(self):
        return sum(1 for r in self.log.rows() if r["dir"] == "rx" and r["what"] == "XR")

    def settle_at_wait(self, wait_ms, cycles=3):
        set_wait(self.lab, self.window, str(wait_ms))
        # The typed digits apply one by one; let the final wait govern a few cycles.
        time.sleep(0.3)
        start = self.xr_count()
        if not wait_until(lambda: self.xr_count() >= start + cycles, 10 + 3 * wait_ms / 1000):
            raise AssertionError(f"cycles stalled at a wait of {wait_ms} ms")
        return len(self.log.rows())

    def collect(self, mark, cycles, timeout):
        wait_until(lambda: len(self.cycles(mark)) >= cycles, timeout, 0.2)
        return self.cycles(mark)[:cycles]

    def cycles(self, mark):
        """Per cycle: XR time, C1 time, time of the last reply sent, next XR time."""
        rows = self.log.rows()[mark:]
        out, current = [], None
        for row in rows:
            if row["dir"] == "rx" and row["what"] == "XR":
                if current and current.get("c1") and current.get("last_tx"):
                    current["next_xr"] = row["t_us"]
                    out.append(current)
                current = {"xr": row["t_us"]}
            elif current is None:
                continue
            elif row["dir"] == "rx" and row["what"] == "C1":
                current["c1"] = row["t_us"]
            elif row["dir"] == "tx":
                current["last_tx"] = row["t_us"]
        return out


POLICIES = {0: "normal", 1: "FIFO", 2: "round-robin", 3: "batch", 5: "idle"}


def busy(count):
    """`count` processes that keep a core each busy, and die with this one."""
    return [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL, preexec_fn=die_with_parent)
            for _ in range(count)]


def bench(lab, args):
    results = []
    run = Run(lab, "--run-time", "5")
    load = busy(args.load or 0)

    # Wait accuracy and turnaround.
    turnarounds = []
    for wait_ms, cycles in ((1, 2000), (10, 500), (100, 100), (1000, 20)):
        mark = run.settle_at_wait(wait_ms)
        got = run.collect(mark, cycles, 60 + cycles * wait_ms / 1000 * 2)
        errors = [(c["c1"] - c["xr"]) / 1000 - wait_ms for c in got]
        turnarounds += [(c["next_xr"] - c["last_tx"]) / 1000 for c in got]
        med, p99, worst = summary(errors)
        results.append((f"wait error at {wait_ms} ms ({len(got)} cycles)",
                        f"{med:.3f}", f"{p99:.3f}", f"{worst:.3f}", "ms"))
    med, p99, worst = summary(turnarounds)
    results.append((f"turnaround, last reply to next XR ({len(turnarounds)} cycles)",
                    f"{med:.3f}", f"{p99:.3f}", f"{worst:.3f}", "ms"))

    # Highest cycle rate at a wait of 1 ms.
    run.settle_at_wait(1)
    start_count, start = run.xr_count(), time.monotonic()
    time.sleep(10)
    rate = (run.xr_count() - start_count) / (time.monotonic() - start)
    results.append(("cycle rate at a wait of 1 ms", f"{rate:.0f}", "", "", "cycles/s"))
    for process in load:
        process.kill()
        process.wait()
    # After the busy stretch: a thread sent back to normal shows here.
    policy, priority, nice = scheduling(run.app.pid)
    scheduled = f"{POLICIES.get(policy, policy)}, priority {priority}, nice {nice}"

    # Measurement error: the cycle time on screen against the simulator's
    # XR-to-XR time for the same cycle, sampled by screenshot.
    run.settle_at_wait(100)
    diffs = []
    for _ in range(args.samples):
        before = time.monotonic_ns() // 1000
        image = lab.screenshot(run.window, lab.workdir / "sample.png")
        after = time.monotonic_ns() // 1000
        shown = lab.read_text(image, CYCLE_TIME)
        time.sleep(0.3)  # the simulator writes its log every 100 ms
        xr = [r["t_us"] for r in run.log.received("XR")]
        if any(before - 3000 <= t <= after for t in xr):
            continue  # a cycle ended while the picture was taken
        previous = [t for t in xr if t < before]
        if not shown.isdigit() or len(previous) < 2:
            continue
        true_ms = (previous[-1] - previous[-2]) / 1000
        diffs.append(int(shown) - true_ms)
        time.sleep(0.137)
    if diffs:
        med, p99, worst = summary(diffs)
        floored = sum(1 for d in diffs if -1 < d <= 0)
        results.append((f"shown cycle time minus true ({len(diffs)} samples, "
                        f"{floored} exact floors)", f"{med:.3f}", f"{p99:.3f}", f"{worst:.3f}",
                        "ms (a floor lies in -1..0)"))

    # CPU and memory at a wait of 100 ms over a minute.
    run.settle_at_wait(100)
    pid = run.app.pid
    cpu0, t0, rss = cpu_seconds(pid), time.monotonic(), [rss_kib(pid)]
    for _ in range(12):
        time.sleep(args.minute / 12)
        rss.append(rss_kib(pid))
    cpu = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0) * 100
    results.append(("CPU at a wait of 100 ms", f"{cpu:.2f}", "", "", "% of a core"))
    results.append(("resident memory, first / last / max", f"{rss[0]}", f"{rss[-1]}",
                    f"{max(rss)}", "KiB"))
    if run.app.poll() is not None:
        raise AssertionError("the program ended during the benchmark")

    print(f"Machine: {machine()}")
    print(f"Program: as {'nobody' if lab.app_user else 'the user running this'}"
          f"{', with the lab rtkit' if args.rtkit else ''}; its thread was scheduled "
          f"{scheduled}; {len(load)} busy processes through the wait rows and the rate")
    print()
    print("| measure | median | p99 | worst | unit |")
    print("|---|---:|---:|---:|---|")
    for row in results:
        print("| " + " | ".join(row) + " |")


def soak(lab, args):
    cycles = args.cycles
    run = Run(lab, "--run-time", "1-5000", "--split", "0.2", "--glue", "0.2", "--reorder",
              "0.3", "--junk", "0.1", "--seed", "11", "--count", str(cycles))
    run.settle_at_wait(1)
    pid = run.app.pid
    rss, started, last_count = [], time.monotonic(), -1
    while run.sim.poll() is None:
        time.sleep(5)
        count = run.xr_count()
        rss.append((count, rss_kib(pid)))
        print(f"  {count} cycles, RSS {rss[-1][1]} KiB", flush=True)
        if count == last_count:
            raise AssertionError(f"stalled at {count} cycles")
        last_count = count
    elapsed = time.monotonic() - started
    time.sleep(0.5)  # the last replies reach the window
    timer_values = [r["timer_ms"] for r in run.log.rows()
                    if r["dir"] == "tx" and r["timer_ms"] is not None]
    expected = sum(timer_values) // len(timer_values)
    image = lab.screenshot(run.window, lab.workdir / "soak.png")
    shown = lab.read_text(image, RUN_AVG)
    warm = [kib for count, kib in rss if count >= cycles // 10]
    print(f"Machine: {machine()}")
    print(f"cycles: {run.xr_count()} in {elapsed:.0f} s "
          f"({run.xr_count() / elapsed:.0f} per second)")
    print(f"resident memory after warm-up: min {min(warm)} KiB, max {max(warm)} KiB")
    print(f"run-time average shown: {shown}; floor(sum / count) of the simulator's "
          f"{len(timer_values)} replies: {expected}")
    if shown != str(expected):
        raise AssertionError("the average shown is not the simulator's")


def flood(lab, args):
    run = Run(lab, "--run-time", "5")
    # Another host on the instrument's own link, as on a lab network.
    net_hosts = [h for h in ipaddress.ip_network(f"{lab.instrument}/24", strict=False).hosts()
                 if h not in (lab.instrument, lab.app_address)]
    other = net_hosts[20]
    lab.run("ip", "addr", "add", f"{other}/24", "dev", lab.links[1], ns=lab.ns_sim)
    run.settle_at_wait(8)
    pid = run.app.pid

    def rate_and_cpu(seconds):
        start, cpu0, t0 = run.xr_count(), cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - t0
        return (run.xr_count() - start) / elapsed, (cpu_seconds(pid) - cpu0) / elapsed * 100

    def flooding(source, seconds):
        result = {}
        thread = threading.Thread(target=lambda: result.update(
            sent=lab.send(lab.ns_sim, source, lab.app_address, seconds=seconds)))
        thread.start()
        return thread, result

    def lost_replies():
        """Replies sent after the last XR, once the cycle has stood still
        for a second: they never reached the window."""
        rows = run.log.rows()
        xr = [r["t_us"] for r in rows if r["dir"] == "rx" and r["what"] == "XR"]
        if time.monotonic_ns() // 1000 - xr[-1] < 1_000_000:
            return 0
        return sum(1 for r in rows if r["dir"] == "tx" and r["t_us"] > xr[-1])

    print(f"Machine: {machine()}")
    print()
    print("| flood from | sent/s | cycles/s before | during | after | replies lost "
          "| program CPU before | during | RSS before / after |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    sources = [("another host", other)] * args.floods + [("the instrument's address",
                                                          lab.instrument)]
    for name, source in sources:
        (before, cpu_before), rss0 = rate_and_cpu(5), rss_kib(pid)
        xr0, cpu0, t0 = run.xr_count(), cpu_seconds(pid), time.monotonic()
        thread, result = flooding(source, args.flood_seconds)
        thread.join()
        elapsed = time.monotonic() - t0
        during = (run.xr_count() - xr0) / elapsed
        cpu = (cpu_seconds(pid) - cpu0) / elapsed * 100
        after, _ = rate_and_cpu(5)
        print(f"| {name} | {result['sent'] / args.flood_seconds:.0f} | {before:.0f} | "
              f"{during:.0f} | {after:.0f} | {lost_replies()} | {cpu_before:.2f} % | "
              f"{cpu:.2f} % | "
              f"{rss0} / {rss_kib(pid)} KiB |", flush=True)

    # Under a flood the program cannot tell from its instrument, the window
    # still has to answer and close at once.
    thread, _ = flooding(lab.instrument, 6)
    time.sleep(1)
    t0 = time.monotonic()
    set_wait(lab, run.window, "123")
    image = lab.screenshot(run.window, lab.workdir / "flood.png")
    shown = lab.read_text(image, WAIT_TEXT)
    answered = time.monotonic() - t0
    time.sleep(1)
    t0 = time.monotonic()
    lab.keys(run.window, "alt+F4")
    ended = wait_until(lambda: run.app.poll() is not None, 10, 0.01)
    closed_in = time.monotonic() - t0
    thread.join()
    print()
    print(f"Under a flood from the instrument's address: the wait box read {shown!r} "
          f"{answered:.2f} s after typing 123 began; Alt+F4 "
          + (f"ended the program in {closed_in:.2f} s with status {run.app.returncode}"
             if ended else "did not end the program within 10 s"))


def windows_build(path, workdir):
    """The program from a zip or an .exe, and a fresh Wine prefix with
    Tahoma registered, as the Windows tests make it."""
    if path.suffix == ".zip":
        with zipfile.ZipFile(path) as z:
            z.extractall(workdir / "unzipped")
        path = next((workdir / "unzipped").glob("*/vantrel-speedtest.exe"))
    prefix = workdir / "wineprefix"
    make_prefix(prefix)
    return str(path.resolve()), prefix


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the CMake build folder")
    parser.add_argument("--app", help="default: BUILD/app/vantrel-speedtest")
    parser.add_argument("--sim", help="default: BUILD/tools/vantrel-sim")
    parser.add_argument("--instrument", help="default: the address BUILD was configured with")
    parser.add_argument("--cycles", type=int, default=100000)
    parser.add_argument("--samples", type=int, default=40)
    parser.add_argument("--minute", type=float, default=60.0)
    parser.add_argument("--floods", type=int, default=5)
    parser.add_argument("--flood-seconds", type=float, default=10.0)
    parser.add_argument("--windows", metavar="ZIP_OR_EXE",
                        help="the Windows build, run under Wine")
    parser.add_argument("--load", type=int, nargs="?", const=os.cpu_count(), metavar="N",
                        help="N busy processes through the wait rows, the program as nobody")
    parser.add_argument("--rtkit", action="store_true",
                        help="the program on the lab's system bus with rtkit (root)")
    parser.add_argument("--keep")
    parser.add_argument("mode", nargs="?", default="bench", choices=("bench", "soak", "flood"))
    args = parser.parse_args()
    build = Path(args.build)
    args.app = args.app or str(build / "app" / "vantrel-speedtest")
    args.sim = args.sim or str(build / "tools" / "vantrel-sim")
    args.instrument = args.instrument or built_instrument(build)
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        workdir = Path(args.keep or tmp)
        workdir.mkdir(parents=True, exist_ok=True)
        prefix = None
        if args.windows:
            args.app, prefix = windows_build(Path(args.windows), workdir)
        try:
            with Lab(args.app, args.sim, args.instrument, workdir, wine_prefix=prefix) as lab:
                if args.rtkit:
                    lab.start_system_bus()
                if (args.load is not None or args.rtkit) and not prefix:
                    lab.as_ordinary_user()
                {"bench": bench, "soak": soak, "flood": flood}[args.mode](lab, args)
        except Skip as why:
            print(f"SKIP: {why}")
            return SKIP_CODE
        except AssertionError as failure:
            print(f"FAIL: {failure}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

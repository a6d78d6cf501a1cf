#!/usr/bin/env python3
"""End-to-end scenarios: the real vantrel-speedtest, as built, against
vantrel-sim, each in a network namespace of its own, on an Xvfb display.

  e2e.py --app BIN --sim BIN --instrument ADDRESS SCENARIO [--keep DIR]
         [--wine PREFIX]   (BIN is a Windows build, run under Wine)

Exits 0 when the scenario holds, 1 when it does not, and 77 (skipped) with
the reason when the lab cannot be built here (no namespaces, tools missing)."""
import argparse
import os
import resource
import shutil
import socket
import statistics
from difflib import SequenceMatcher
import struct
import sys
import tempfile
import time
from pathlib import Path

from lab import NOBODY, Lab, Skip, SKIP_CODE, scheduling, sh, wait_until

ROOT = Path(__file__).resolve().parents[2]
SCHED_RR = 2

TITLE = "Vantrel SPEED TEST"
BOX_TITLE = "Can only run one GUI at a time"
# Label rectangles and the wait box's centre, in window pixels.
RUN_TIME, RUN_AVG = (117, 111, 81, 13), (117, 130, 81, 13)
CYCLE_TIME, CYCLE_AVG = (220, 111, 81, 13), (220, 130, 81, 13)
WAIT_BOX = (55, 120)
WAIT_TEXT = (17, 113, 77, 15)
# The first of the two lines drawn above the frames, short of the second
# line, which Tahoma under Qt 6.8 sets close enough to reach into a taller crop.
TEXT_BAND = (0, 0, 313, 12)
FIRST_LINE = "Runs for 100mS then requests counters and timer."

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def gaps_ms(rows, first, then):
    """For each `first` datagram, the time to the next `then` one, in ms."""
    out, start = [], None
    for row in rows:
        if row["dir"] != "rx":
            continue
        if row["what"] == first:
            start = row["t_us"]
        elif row["what"] == then and start is not None:
            out.append((row["t_us"] - start) / 1000)
            start = None
    return out


def xr_intervals_ms(log):
    xr = [r["t_us"] for r in log.received("XR")]
    return [(b - a) / 1000 for a, b in zip(xr, xr[1:])]


def set_wait(lab, window, text):
    lab.click(window, *WAIT_BOX)
    lab.keys(window, "ctrl+a", "BackSpace")
    if text:
        lab.type_text(window, text)


def start(lab, *sim_options):
    sim, log = lab.start_sim(*sim_options)
    app = lab.start_app()
    window = lab.find_window(TITLE)
    return app, window, log


@scenario
def normal_start(lab):
    app, window, log = start(lab, "--run-time", "7")
    # What the window says from the start: the wait in use, above the frames.
    lines = []
    check(wait_until(lambda: lines.append(lab.read_text(lab.screenshot(
        window, lab.workdir / "start.png"), TEXT_BAND, None)) or "100" in lines[-1] and
        SequenceMatcher(None, lines[-1], FIRST_LINE).ratio() > 0.8, 5),
        f"the window's first line reads {lines[-1]!r}")
    check(wait_until(lambda: len(log.received()) >= 4, 10), "the first cycle did not happen")
    rx = log.received()
    check([r["what"] for r in rx[:4]] == ["X", "XR", "C1", "T"],
          f"first datagrams were {[r['what'] for r in rx[:4]]}")
    x_to_xr = (rx[1]["t_us"] - rx[0]["t_us"]) / 1000
    check(95 <= x_to_xr <= 2000, f"XR came {x_to_xr:.1f} ms after X, not about 100 ms")
    xr_to_c1 = (rx[2]["t_us"] - rx[1]["t_us"]) / 1000
    check(99 <= xr_to_c1 <= 2000, f"C1 came {xr_to_c1:.1f} ms after XR, not one wait (100 ms)")
    check(all(r["peer"].endswith(":37829") for r in rx), "a datagram left from another port")

    set_wait(lab, window, "1")
    before = len(log.received("XR"))
    check(wait_until(lambda: len(log.received("XR")) >= before + 100, 60),
          f"only {len(log.received('XR')) - before} cycles in a minute at a wait of 1 ms")
    check(app.poll() is None, "the program ended")


@scenario
def typed_wait(lab):
    app, window, log = start(lab)
    check(wait_until(lambda: len(log.received("XR")) >= 2, 10), "no cycles")
    set_wait(lab, window, "250")
    time.sleep(0.6)
    mark = len(log.rows())
    check(wait_until(lambda: len(gaps_ms(log.rows()[mark:], "XR", "C1")) >= 4, 10),
          "cycles stopped after the wait was typed")
    gaps = gaps_ms(log.rows()[mark:], "XR", "C1")
    # Never early; late by a tenth of the wait at most, in the median.
    check(min(gaps) >= 249 and statistics.median(gaps) <= 275,
          f"XR to C1 gaps {gaps} do not follow 250")

    set_wait(lab, window, "")  # an empty box: a wait of 0 halts the cycle
    time.sleep(1.0)
    last = log.received()[-1]
    time.sleep(1.5)
    check(log.received()[-1] == last and last["what"] == "XR",
          f"the cycle did not halt on an empty wait box (last: {last['what']})")

    mark = len(log.rows())
    lab.type_text(window, "5")
    check(wait_until(lambda: len(gaps_ms(log.rows()[mark:], "XR", "C1")) >= 10, 10),
          "typing a digit did not resume the cycle")
    check(app.poll() is None, "the program ended")


@scenario
def figures_on_screen(lab, screenshot_to=None):
    app, window, log = start(lab, "--run-time", "4242")
    check(wait_until(lambda: len(log.received("XR")) >= 15, 20), "no cycles")
    image = lab.screenshot(window, lab.workdir / "window.png")
    time.sleep(0.3)  # the simulator writes its log every 100 ms: the cycle shown is in it
    intervals = xr_intervals_ms(log)
    shown = {name: lab.read_text(image, rect) for name, rect in
             (("run", RUN_TIME), ("run avg", RUN_AVG), ("cycle", CYCLE_TIME),
              ("cycle avg", CYCLE_AVG))}
    check(shown["run"] == "4242" and shown["run avg"] == "4242",
          f"run time shown as {shown['run']} / {shown['run avg']}, the simulator said 4242")
    for name in ("cycle", "cycle avg"):
        check(shown[name].isdigit(), f"{name} shown as {shown[name]!r}")
        value = int(shown[name])
        check(min(intervals) - 1 <= value <= max(intervals) + 1,
              f"{name} {value} ms lies outside the simulator's cycles "
              f"({min(intervals):.1f} to {max(intervals):.1f} ms)")
    if screenshot_to:
        lab.screenshot(window, Path(screenshot_to).resolve(), frame=True)


@scenario
def second_copy(lab):
    app, window, log = start(lab)
    check(wait_until(lambda: len(log.received("XR")) >= 3, 10), "no cycles")
    second = lab.start_app("second")
    box = lab.find_window(BOX_TITLE)
    time.sleep(1.0)  # any datagram the refused copy sent would have come by now
    rx = log.received()
    check(len([r for r in rx if r["what"] == "X"]) == 1, "the second copy said X")
    check(all(r["peer"].endswith(":37829") for r in rx),
          "the second copy sent from a port of its own")
    check(second.poll() is None, "the second copy ended before its box was dismissed")
    lab.keys(box, "Return")
    check(wait_until(lambda: second.poll() is not None, 10), "the box did not end the copy")
    check(second.returncode != 0, "a refused copy should end with a failure status")
    check(app.poll() is None and lab.window_exists(window), "the first copy ended")
    intervals = xr_intervals_ms(log)
    check(max(intervals) < 1000, f"the first copy missed cycles (gap {max(intervals):.0f} ms)")
    before = len(log.received("XR"))
    check(wait_until(lambda: len(log.received("XR")) > before + 3, 5),
          "the first copy stopped cycling")


@scenario
def closed_by_person(lab):
    app, window, log = start(lab)
    check(wait_until(lambda: len(log.received("XR")) >= 2, 10), "no cycles")
    closes(lab, app, window)
    check(lab.port_is_free_in_app(), "port 37829 is not free right after the program ended")


@scenario
def lost_reply(lab):
    app, window, log = start(lab, "--drop-every", "10")
    set_wait(lab, window, "5")
    # The tenth cycle loses a reply; nothing times out, so no eleventh "XR".
    check(wait_until(lambda: len(log.received("XR")) >= 10, 20), "cycles did not reach ten")
    time.sleep(2.0)
    count = len(log.received("XR"))
    check(count == 10, f"{count} run commands; the cycle should stop at 10")
    time.sleep(1.0)
    check(len(log.received("XR")) == 10, "the stopped cycle started again")
    check(app.poll() is None and lab.window_exists(window), "the program ended")
    lab.type_text(window, "0")  # still answers keys
    check(app.poll() is None, "the program ended after a key")
    time.sleep(0.5)
    check([r["what"] for r in log.received()[-3:]] == ["XR", "C1", "T"],
          "a new wait restarted the stopped cycle")


@scenario
def foreign_sender(lab):
    app, window, log = start(lab, "--run-time", "4242")
    set_wait(lab, window, "20")
    check(wait_until(lambda: len(log.received("XR")) >= 5, 10), "no cycles")
    far = (lab.ns_far, lab.far_address, lab.app_far_address)
    lab.send(*far, b"T" + struct.pack("<I", 9999) + b"C" + bytes(1025), count=30)
    lab.send(*far, b"C", count=3)  # would stall the parser if let in
    before = len(log.received("XR"))
    check(wait_until(lambda: len(log.received("XR")) >= before + 10, 10),
          "cycles stalled after the foreign datagrams")
    image = lab.screenshot(window, lab.workdir / "window.png")
    shown = (lab.read_text(image, RUN_TIME), lab.read_text(image, RUN_AVG))
    check(shown == ("4242", "4242"), f"run time shown as {shown}: the foreign replies got in")

    # A flood from that host must cost none of the instrument's replies: one
    # lost reply would stop the cycle for good. Only Linux's kernel filter
    # can promise that; on Windows a flood may cost replies (see README).
    if lab.wine_prefix:
        return
    sent = lab.send(*far, seconds=4)
    before = len(log.received("XR"))
    check(wait_until(lambda: len(log.received("XR")) >= before + 10, 10),
          f"cycles stopped after a flood of {sent} foreign datagrams")


@scenario
def startup_failure(lab):
    # A namespace with no route to the instrument: "X" cannot be sent.
    lone = "lone"
    lab.net.add(lone)
    app = lab.spawn(lab.app_cmd, "lone.out", netns=lone)
    check(wait_until(lambda: app.poll() is not None, 10), "the program did not end")
    out = lab.app_output("lone").strip().splitlines()
    check(app.returncode != 0, "a failed start ended with status 0")
    check(len(out) == 1 and "cannot send" in out[0], f"expected one line on stderr, got {out}")
    check(not lab.xdotool("search", "--name", TITLE, check=False).stdout.strip(),
          "a window was shown")


@scenario
def realtime_rtkit(lab):
    """As an ordinary user on a desktop with rtkit, the program's thread runs
    real-time, and the cycle goes on."""
    lab.start_system_bus()
    lab.as_ordinary_user()
    app, window, log = start(lab, "--run-time", "7")
    check(wait_until(lambda: scheduling(app.pid)[0] == SCHED_RR, 10),
          f"policy, priority and nice: {scheduling(app.pid)}, not round-robin")
    check(scheduling(app.pid)[1] == 10, f"real-time priority {scheduling(app.pid)[1]}")
    check(os.geteuid() != 0 or Path(f"/proc/{app.pid}").stat().st_uid == NOBODY,
          "the program did not run as nobody")
    cycling(lab, log)
    closes(lab, app, window)


@scenario
def no_bus(lab):
    """As an ordinary user with no system bus, and with one that never
    answers, the program opens, measures and closes as it would without
    asking for real-time scheduling."""
    lab.as_ordinary_user()
    sim, log = lab.start_sim("--run-time", "7")
    hung = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    hung.bind(str(lab.workdir / "hung-bus"))
    hung.listen(16)  # and accepts nothing
    (lab.workdir / "hung-bus").chmod(0o777)
    for address in ("unix:path=/nonexistent/system_bus_socket",
                    f"unix:path={lab.workdir / 'hung-bus'}"):
        lab.app_env["DBUS_SYSTEM_BUS_ADDRESS"] = address
        started = time.monotonic()
        app = lab.start_app()
        window = lab.find_window(TITLE)
        opened = time.monotonic() - started
        check(opened < 5, f"the window took {opened:.1f} s to open with the bus at {address}")
        cycling(lab, log)
        # Where the limits let it raise itself, it needs no bus.
        check(resource.getrlimit(resource.RLIMIT_RTPRIO)[0] > 0
              or scheduling(app.pid) == (0, 0, 0),
              f"policy, priority and nice: {scheduling(app.pid)}")
        closes(lab, app, window)


def cycling(lab, log, cycles=10):
    before = len(log.received("XR"))
    check(wait_until(lambda: len(log.received("XR")) >= before + cycles, 10),
          f"only {len(log.received('XR')) - before} cycles in 10 s")


def closes(lab, app, window):
    lab.keys(window, "alt+F4")
    check(wait_until(lambda: app.poll() is not None, 10), "the program did not end within 10 s")
    check(app.returncode == 0, f"the program ended with status {app.returncode}")


@scenario
def demo(lab):
    """tools/demo.py as ./build.sh run starts it, as an ordinary user: as
    nobody when the lab runs as root."""
    home = lab.workdir / "demo"
    build = Path(lab.app_bin).resolve().parents[1]
    for source, to in ((ROOT / "tools" / "demo.py", "tools"), (ROOT / "tools" / "privnet.py",
                       "tools"), (lab.app_bin, "build/app"), (lab.sim_bin, "build/tools"),
                       (build / "CMakeCache.txt", "build")):
        (home / to).mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, home / to)
    if os.geteuid() == 0:
        for path in [lab.workdir, *lab.workdir.rglob("*")]:
            path.chmod(path.stat().st_mode | 0o005)
    runtime = lab.as_ordinary_user()
    # A home of its own, as a person has: there libdbus can start a session
    # bus through X11 (dbus-launch), which the demo must keep from outliving it.
    env = dict(lab.env(), XDG_RUNTIME_DIR=str(runtime), HOME=str(runtime))
    env.pop("DBUS_SESSION_BUS_ADDRESS")
    as_user = lab.app_user
    demo = lab.spawn(as_user + ["python3", str(home / "tools" / "demo.py"), "--build",
                                str(home / "build")], "demo.out", env=env)
    window = lab.find_window(TITLE)
    check("For a real instrument: CMAKE_ARGS=-DVANTREL_INSTRUMENT_ADDRESS=" in
          lab.app_output("demo").splitlines()[0], f"the demo's first line: {lab.app_output('demo')}")
    shown = []
    for _ in range(4):
        time.sleep(0.5)
        image = lab.screenshot(window, lab.workdir / "demo.png")
        shown.append(tuple(lab.read_text(image, rect) for rect in (RUN_TIME, CYCLE_TIME)))
    check(all(run.isdigit() and cycle.isdigit() for run, cycle in shown)
          and len(set(shown)) > 1, f"the figures shown were {shown}")

    # Every datagram stays inside: the program's namespace is not this
    # machine's, and has one route, on its link to the simulator.
    pid = int(lab.xdotool("getwindowpid", window).stdout)
    net = os.readlink(f"/proc/{pid}/ns/net")
    check(net != os.readlink("/proc/self/ns/net"), "the program runs in this machine's network")
    enter = ["nsenter", f"--target={pid}", "--net"] + (
        [] if as_user else ["--user", "--preserve-credentials"])
    routes = sh(*enter, "ip", "-4", "route", "show", "table", "all").stdout.split("\n")
    outward = [r for r in routes if r.startswith("default")
               or r and " dev lo " not in r and " dev demo-app " not in r]
    check(not outward, f"the program's namespace has routes out: {outward}")

    lab.keys(window, "alt+F4")
    check(wait_until(lambda: demo.poll() is not None, 10), "the demo did not end with its window")
    check(demo.returncode == 0, f"the demo ended with status {demo.returncode}")

    def left_in_namespace():
        return [p.name for p in Path("/proc").iterdir()
                if p.name.isdigit() and readlink_or_none(p / "ns" / "net") == net]
    check(wait_until(lambda: not left_in_namespace(), 5),
          f"processes left in the demo's namespace: {left_in_namespace()}")


def readlink_or_none(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--instrument", required=True)
    parser.add_argument("--wine", metavar="PREFIX",
                        help="--app is a Windows build: run it under Wine in this prefix")
    parser.add_argument("--keep", help="keep logs and screenshots in this folder")
    parser.add_argument("--screenshot", help="figures_on_screen: save the window here")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()

    if not Path(args.app).exists():
        print(f"SKIP: {args.app} was not built")
        return SKIP_CODE
    with tempfile.TemporaryDirectory(prefix="vantrel-e2e-") as tmp:
        workdir = Path(args.keep or tmp)
        workdir.mkdir(parents=True, exist_ok=True)
        try:
            with Lab(args.app, args.sim, args.instrument, workdir, args.wine) as lab:
                kwargs = {"screenshot_to": args.screenshot} if args.screenshot else {}
                SCENARIOS[args.scenario](lab, **kwargs)
        except Skip as why:
            print(f"SKIP: {why}")
            return SKIP_CODE
        except Exception as failure:  # a failed check or a failed lab command
            detail = getattr(failure, "stderr", "") or ""
            print(f"FAIL: {args.scenario}: {failure} {detail}".rstrip())
            for name in sorted(workdir.glob("*.out")):
                print(f"--- {name.name}:\n{name.read_text(errors='replace')[-2000:]}")
            return 1
    print(f"PASS: {args.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

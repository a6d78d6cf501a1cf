#!/usr/bin/env python3
"""The program without the hardware: the simulated instrument on the
program's built-in instrument address, both in private network namespaces
joined by a virtual cable, and the program's window on your display.
Nothing reaches your own network. Needs no root where user namespaces are
allowed (Debian's default); root works too.

  tools/demo.py [--build DIR]      (./build.sh run does this when no
                                    instrument address was set)

Ends, leaving no namespace or process behind, when the window is closed or
on Ctrl+C."""
import argparse
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

from privnet import PrivateNet, Unavailable, die_with_parent, built_instrument

REAL_RUN = "CMAKE_ARGS=-DVANTREL_INSTRUMENT_ADDRESS=<its address> ./build.sh run"
AS_ROOT = "sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR ./build.sh run"


def fail(why):
    print(f"demo: {why}", file=sys.stderr)
    return 1


def display_problem(env):
    """Why the window could not reach the display from inside a network
    namespace, or None. X11 crosses through the display's socket file (not
    its abstract socket, which is per namespace), Wayland through the
    socket in XDG_RUNTIME_DIR; neither can be reached over TCP."""
    if env.get("WAYLAND_DISPLAY") and env.get("XDG_RUNTIME_DIR"):
        return None
    display = env.get("DISPLAY", "")
    if not display:
        return "no display to show the window on (DISPLAY or WAYLAND_DISPLAY)"
    host = display.rpartition(":")[0]
    if host not in ("", "unix"):
        return (f"the display {display} is reached over the network, which the demo's "
                "namespaces cannot see; run it on a local display")
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=Path(__file__).resolve().parents[1] / "build",
                        type=Path)
    args = parser.parse_args()
    app = args.build / "app" / "vantrel-speedtest"
    sim = args.build / "tools" / "vantrel-sim"
    if not app.exists() or not sim.exists():
        return fail(f"{args.build} holds no built program; run ./build.sh build first")
    why = display_problem(os.environ)
    if why:
        return fail(why)

    # Ctrl+C reaches every process of the terminal's group; whatever is left
    # is taken down here before the namespaces go.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    with PrivateNet() as net:
        processes = []
        try:
            return run(net, app, sim, built_instrument(args.build), processes)
        except Unavailable as why:
            return fail(f"{why}. Nothing was started. As root: {AS_ROOT}")
        except subprocess.CalledProcessError as failed:
            return fail(f"{' '.join(failed.cmd)}: {(failed.stderr or '').strip() or failed}")
        except KeyboardInterrupt:
            return 130
        finally:
            for process in reversed(processes):
                if process.poll() is None:
                    process.terminate()
                    try:
                        process.wait(5)
                    except subprocess.TimeoutExpired:
                        process.kill()


def run(net, app, sim, instrument, processes):
    last = int(instrument.rsplit(".", 1)[1])
    # The program's side: the same /24, another host number.
    program_address = f"{instrument.rsplit('.', 1)[0]}.{11 if last == 10 else 10}"
    net.add("app")
    net.add("sim")
    net.link(("app", "demo-app", program_address), ("sim", "demo-sim", instrument), 24)

    simulator = subprocess.Popen(net.enter("sim") + [
        str(sim), "--address", instrument, "--run-time", "20-60", "--delay", "2"],
        stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, preexec_fn=die_with_parent)
    processes.append(simulator)
    first = simulator.stderr.readline()
    if "listening" not in first:
        return fail(f"the simulated instrument did not start: {first.strip()}")
    # Anything else it says is for the terminal.
    threading.Thread(target=lambda: sys.stderr.writelines(simulator.stderr), daemon=True).start()
    print(f"Demo: no instrument address was set, so the program talks to a simulated "
          f"instrument at {instrument} in private network namespaces (close the window or "
          f"press Ctrl+C to end). For a real instrument: {REAL_RUN}", flush=True)
    env = dict(os.environ)
    # Without a session bus, libdbus would start one for the program through
    # X11 (dbus-launch --autolaunch), which would outlive the demo in its
    # namespaces; a desktop's own bus is kept.
    env.setdefault("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/no-session-bus")
    # Both die with the demo, even one that is killed.
    program = subprocess.Popen(net.enter("app") + [str(app)], stdin=subprocess.DEVNULL, env=env,
                               preexec_fn=die_with_parent)
    processes.append(program)
    return program.wait()

if __name__ == "__main__":
    sys.exit(main())

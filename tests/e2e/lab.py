"""A private lab for the real program: network namespaces, a display, and
the simulated instrument.

Three namespaces, none joined to the machine's own network:
  app  - the program, on an address in the instrument's subnet;
  sim  - vantrel-sim on the program's compiled-in instrument address;
  far  - a foreign host, on a link of its own to the program's namespace.
The program reaches nothing but these: its namespace has no default route.
The namespaces are made as tools/demo.py makes its own (tools/privnet.py),
so the lab needs no root where user namespaces are allowed. As root it can
also run the program as an ordinary user, and give it a system bus of its
own with polkit and rtkit, as a desktop has.
"""
import ipaddress
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from privnet import PrivateNet, Unavailable, die_with_parent, hold  # noqa: E402

SKIP_CODE = 77
PORT = 37829
FOREIGN_NET = ipaddress.ip_network("172.31.254.0/30")
NOBODY = 65534
# The system bus's daemons, as Debian installs them.
POLKITD, RTKITD = "/usr/lib/polkit-1/polkitd", "/usr/libexec/rtkit-daemon"
# rtkit's own policy lets only users in an active login session ask.
POLKIT_RULE = """polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.RealtimeKit1.") == 0 && subject.user == "nobody")
        return polkit.Result.YES;
});
"""


def stop_wineserver(env, enter=()):
    """Ends the Wine server of the prefix in `env` and removes what it keeps
    between runs: Debian's Wine makes the server's folder under TMPDIR and
    names it in the prefix, where it would be left for good, and where a
    prefix made by root then kept an ordinary user's Wine out of it."""
    for flag in ("-k", "-w"):
        sh(*enter, "wineserver", flag, check=False, env=env, timeout=30)
    record = Path(env["WINEPREFIX"]) / "wineserver"
    try:
        folder = Path(env.get("TMPDIR", "/tmp")) / record.read_text().strip()
    except OSError:
        return
    if folder.name.startswith("wine-"):
        shutil.rmtree(folder, ignore_errors=True)
    record.unlink(missing_ok=True)


class Skip(Exception):
    """The lab cannot be built here; the reason says why."""


def sh(*cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, capture_output=True, text=True, **kw)


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def scheduling(pid):
    """The policy (0 normal, 1 FIFO, 2 round-robin), real-time priority and
    nice level of process `pid`'s main thread."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[38]), int(fields[37]), int(fields[16])


def start_xvfb(spawn, first):
    """Starts Xvfb through `spawn(cmd)`, which returns its process, on the
    first free display number from `first` on, and returns the display's
    name once it is up. A number whose abstract socket is taken (by a
    display in this network namespace that another /tmp hides) makes Xvfb
    end at once: the next number is tried."""
    for number in range(first, first + 100):
        if Path(f"/tmp/.X11-unix/X{number}").exists() or Path(f"/tmp/.X{number}-lock").exists():
            continue
        xvfb = spawn(["Xvfb", f":{number}", "-screen", "0", "800x600x24", "-nolisten", "tcp"])
        if wait_until(lambda: Path(f"/tmp/.X11-unix/X{number}").exists() or
                      xvfb.poll() is not None, 10) and xvfb.poll() is None:
            return f":{number}"
        if xvfb.poll() is None:
            raise Skip("Xvfb did not start")
    raise Skip("no free X display number")


class SimLog:
    """Reads vantrel-sim's CSV log: one row a datagram in or out. Reads on
    from where it last stopped, so polling a long run stays cheap."""

    def __init__(self, path):
        self.path = Path(path)
        self._rows = []
        self._offset = 0

    def rows(self):
        if not self.path.exists():
            return self._rows
        with self.path.open("rb") as f:
            f.seek(self._offset)
            data = f.read()
        end = data.rfind(b"\n") + 1  # a last line still being written waits
        for line in data[:end].decode().splitlines():
            fields = line.split(",")
            if len(fields) != 7 or fields[0] == "t_us":
                continue
            t_us, direction, peer, size, what, timer_ms, completes = fields
            self._rows.append({
                "t_us": int(t_us), "dir": direction, "peer": peer, "size": int(size),
                "what": what, "timer_ms": int(timer_ms) if timer_ms else None,
                "completes": int(completes),
            })
        self._offset += end
        return self._rows

    def received(self, what=None):
        return [r for r in self.rows() if r["dir"] == "rx" and (what is None or r["what"] == what)]


class Lab:
    def __init__(self, app_bin, sim_bin, instrument, workdir, wine_prefix=None):
        # Absolute: entering a mount namespace starts in its root folder.
        self.app_bin = str(Path(app_bin).resolve())
        # A Windows build runs under Wine, with a prefix of its own.
        self.wine_prefix = str(Path(wine_prefix).resolve()) if wine_prefix else None
        self.app_cmd = ["wine", self.app_bin] if wine_prefix else [self.app_bin]
        self.sim_bin = str(Path(sim_bin).resolve())
        self.instrument = ipaddress.ip_address(instrument)
        self.workdir = Path(workdir)
        self.ns_app, self.ns_sim, self.ns_far = "app", "sim", "far"
        net = ipaddress.ip_network(f"{instrument}/24", strict=False)
        hosts = [h for h in net.hosts() if h != self.instrument]
        self.app_address = hosts[9]
        self.far_address, self.app_far_address = list(FOREIGN_NET.hosts())
        self.links = ("vt-app", "vt-sim", "vt-far", "vt-app-far")
        self.processes = []
        self.net = PrivateNet()
        self.display = None
        self.app_user = []  # a prefix that runs the program as another user
        self.app_env = {}  # more of the program's environment
        self._bus = None  # the holder of the system bus's mount namespace

    # --- building and tearing down -------------------------------------------------

    def __enter__(self):
        try:
            self.up()
        except BaseException:
            self.down()
            raise
        return self

    def __exit__(self, kind, *exc):
        left = self.down()
        if left and kind is None:
            raise AssertionError(f"processes left in the lab's namespaces: {left}")

    def up(self):
        if self.wine_prefix and not shutil.which("wine"):
            raise Skip("wine is not installed (./build.sh installs it)")
        for tool in ("ip", "unshare", "nsenter", "Xvfb", "openbox", "xdotool", "xprop", "import", "convert",
                     "tesseract"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (./build.sh installs it)")
        if ipaddress.ip_address(self.instrument) in FOREIGN_NET:
            raise Skip("the instrument address lies in the lab's foreign subnet")
        try:
            for ns in (self.ns_app, self.ns_sim, self.ns_far):
                self.net.add(ns)
        except Unavailable as why:
            raise Skip(str(why))
        a, s, f, g = self.links
        self.net.link((self.ns_app, a, self.app_address), (self.ns_sim, s, self.instrument), 24)
        self.net.link((self.ns_app, g, self.app_far_address), (self.ns_far, f, self.far_address),
                      30)
        if self.wine_prefix:
            # Wine's sockets live in its server, which must start in the
            # program's namespace: none may be left from elsewhere.
            self.stop_wineserver()
        self._start_display()

    def _start_display(self):
        self.display = start_xvfb(lambda cmd: self.spawn(cmd, "xvfb.log"), first=90)
        self.spawn(["openbox", "--sm-disable"], "openbox.log")
        wait_until(lambda: sh("xdotool", "search", "--name", ".", check=False,
                              env=self.env()).returncode == 0, 3)

    def down(self):
        """Ends what the lab started; returns what was still running in its
        namespaces after that, which it then kills."""
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes.clear()
        if self.wine_prefix:
            self.stop_wineserver()
        if self._bus:
            self._bus.kill()
            self._bus.wait()
        return self.net.close()

    # --- processes -------------------------------------------------------------------

    def env(self):
        env = dict(os.environ)
        env.pop("QT_QPA_PLATFORM", None)
        env.update({"DISPLAY": self.display or "", "XDG_RUNTIME_DIR": str(self.workdir),
                    # No session bus: without an address, libdbus would start one
                    # through X11 (dbus-launch --autolaunch), which outlives the lab.
                    "DBUS_SESSION_BUS_ADDRESS": f"unix:path={self.workdir}/no-session-bus"})
        if self.wine_prefix:
            env.update({"WINEPREFIX": self.wine_prefix, "WINEDEBUG": "-all"})
            env.pop("WINEPATH", None)  # the program finds its DLLs beside it
        return env

    def stop_wineserver(self):
        # One the units left outside, and one of the lab's own: as an
        # ordinary user, the namespaces' processes are another uid to Wine.
        for enter in ([], self.net.enter()):
            stop_wineserver(self.env(), enter)

    def run(self, *cmd, ns, **kw):
        return self.net.run(*cmd, ns=ns, **kw)

    def spawn(self, cmd, log_name, netns=None, env=None, on_bus=False, piped=False):
        """`cmd` in network namespace `netns`, and with on_bus in the system
        bus's mount namespace; its output goes to `log_name`, through a pipe
        where `piped` (rtkit-daemon may write no file)."""
        # The program talks to its compiled-in instrument address at once: it
        # runs only inside a namespace of this lab.
        if self.app_bin in cmd and netns not in self.net.names():
            raise RuntimeError("refusing to start the program outside the lab's namespaces")
        if netns or on_bus:
            enter = self.net.enter(netns) or ["nsenter", "--"]
            if on_bus:
                enter = enter[:1] + [f"--mount=/proc/{self._bus.pid}/ns/mnt"] + enter[1:]
            cmd = enter + list(cmd)
        log = open(self.workdir / log_name, "wb", buffering=0 if piped else -1)
        process = subprocess.Popen(cmd, stdout=subprocess.PIPE if piped else log,
                                   stderr=subprocess.STDOUT, env=env or self.env(),
                                   stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        if piped:
            threading.Thread(target=lambda: log.writelines(process.stdout), daemon=True).start()
        self.processes.append(process)
        return process

    def start_sim(self, *options, name="sim"):
        log = SimLog(self.workdir / f"{name}.csv")
        process = self.spawn([self.sim_bin, "--address", str(self.instrument), "--port",
                              str(PORT), "--log", str(log.path), "--seconds", "600", *options],
                             f"{name}.out", netns=self.ns_sim)
        if not wait_until(lambda: b"listening" in (self.workdir / f"{name}.out").read_bytes()
                          or process.poll() is not None, 10) or process.poll() is not None:
            raise AssertionError(f"vantrel-sim did not start: "
                                 f"{(self.workdir / f'{name}.out').read_text()}")
        return process, log

    def start_app(self, name="app"):
        return self.spawn(self.app_user + self.app_cmd, f"{name}.out", netns=self.ns_app,
                          env=dict(self.env(), **self.app_env), on_bus=self._bus is not None)

    def as_ordinary_user(self):
        """The program runs as an ordinary user, nobody where the lab runs as
        root (app_user is the prefix that makes it so), with a runtime
        folder of its own, which is returned."""
        runtime = self.workdir / "runtime-user"
        runtime.mkdir(mode=0o700, exist_ok=True)
        self.app_env["XDG_RUNTIME_DIR"] = str(runtime)
        if os.geteuid() == 0:
            os.chown(runtime, NOBODY, NOBODY)
            self.workdir.chmod(0o711)
            self.app_user = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                             "--clear-groups", "--"]
        return runtime

    def start_system_bus(self):
        """A system bus with polkit and rtkit, as a desktop has, in a mount
        namespace where tmpfs hides the machine's /run and polkit's rules,
        and a rule that lets nobody ask rtkit. The program joins it."""
        if os.geteuid() != 0:
            raise Skip("a system bus of the lab's own needs root, and the lab runs as an "
                       "ordinary user")
        for tool in ("dbus-daemon", "dbus-send", POLKITD, RTKITD):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (./build.sh installs it)")
        own = os.readlink("/proc/self/ns/mnt")
        self._bus = hold(["unshare", "--mount", "--propagation", "private"],
                         lambda pid: os.readlink(f"/proc/{pid}/ns/mnt") != own)
        inside = ["nsenter", f"--mount=/proc/{self._bus.pid}/ns/mnt", "--"]
        for folder in ("/run", "/etc/polkit-1/rules.d"):
            sh(*inside, "mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", folder)
        sh(*inside, "sh", "-c", "mkdir /run/dbus && cat > /etc/polkit-1/rules.d/50-lab.rules",
           input=POLKIT_RULE)
        self.spawn(["dbus-daemon", "--system", "--nofork", "--nopidfile"], "dbus.out",
                   on_bus=True)
        if not wait_until(lambda: sh(*inside, "test", "-S", "/run/dbus/system_bus_socket",
                                     check=False).returncode == 0, 10):
            raise AssertionError("the lab's system bus did not start")
        self.spawn([POLKITD, "--no-debug"], "polkitd.out", on_bus=True)
        self.spawn([RTKITD], "rtkit.out", on_bus=True, piped=True)
        has_rtkit = [*inside, "dbus-send", "--system", "--print-reply",
                     "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.RealtimeKit1"]
        if not wait_until(lambda: "true" in sh(*has_rtkit, check=False).stdout, 10):
            raise AssertionError("rtkit did not come onto the lab's system bus")

    def app_output(self, name="app"):
        return (self.workdir / f"{name}.out").read_text(errors="replace")

    # --- the display -----------------------------------------------------------------

    def xdotool(self, *args, check=True):
        return sh("xdotool", *args, check=check, env=self.env())

    def find_window(self, title, timeout=15):
        def search():
            result = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$", check=False)
            ids = result.stdout.split()
            return ids[0] if ids else None
        window = wait_until(search, timeout, 0.1)
        if not window:
            raise AssertionError(f"no window titled {title!r} appeared")
        # The search may match WM_NAME alone; title bars and task bars show
        # _NET_WM_NAME, which has to read the same.
        shown = self.caption(window)
        if shown != title:
            raise AssertionError(f"the desktop shows the caption {shown!r}, not {title!r}")
        return window

    def caption(self, window):
        """The window's _NET_WM_NAME, as a window manager reads it."""
        out = sh("xprop", "-id", window, "_NET_WM_NAME", env=self.env()).stdout
        _, _, value = out.partition(" = ")
        return json.loads(value) if value.startswith('"') else None

    def window_exists(self, window):
        return self.xdotool("getwindowname", window, check=False).returncode == 0

    # Input goes through the X server's test extension to the focused
    # window, as a mouse's or keyboard's would; the window manager sees it too.
    def to_window(self, window, *args):
        self.xdotool("windowactivate", "--sync", window, check=False)
        self.xdotool(*args)

    def click(self, window, x, y):
        self.to_window(window, "mousemove", "--window", window, str(x), str(y), "click", "1")

    def keys(self, window, *keys):
        self.to_window(window, "key", "--delay", "50", *keys)

    def type_text(self, window, text):
        self.to_window(window, "type", "--delay", "80", text)

    def screenshot(self, window, path, frame=False):
        """The window's client area, or with frame=True its title bar and
        border as the window manager draws them."""
        sh("import", *(["-frame"] if frame else []), "-window", window, str(path),
           env=self.env())
        return path

    def read_text(self, image, rect, chars="0123456789?"):
        """OCR of one line, of these characters (None: any): rect is
        (x, y, width, height) in window pixels."""
        x, y, w, h = rect
        crop = self.workdir / f"ocr-{x}-{y}.png"
        sh("convert", str(image), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-colorspace", "gray",
           "-resize", "400%", "-threshold", "55%", "-bordercolor", "white", "-border", "20",
           str(crop))
        whitelist = ["-c", f"tessedit_char_whitelist={chars}"] if chars else []
        result = sh("tesseract", str(crop), "-", "--psm", "7", *whitelist, check=False)
        return result.stdout.strip()

    # --- the network -----------------------------------------------------------------

    def send(self, netns, source, to, payload=None, count=None, seconds=60):
        """Datagrams from `source` in `netns` to the program's port at `to`:
        `count` of `payload`, or 64 random bytes as fast as one sender can
        for `seconds`. Returns how many were sent."""
        code = ("import os,socket,time\n"
                "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                f"s.bind(('{source}',0))\n"
                f"p,to,n,limit={payload or os.urandom(64)!r},('{to}',{PORT}),0,{count or 10**12}\n"
                f"end=time.monotonic()+{seconds}\n"
                "while time.monotonic()<end and n<limit:\n"
                "    for _ in range(min(500,limit-n)):\n"
                "        try: s.sendto(p,to); n+=1\n"
                "        except OSError: pass\n"
                "print(n)\n")
        return int(self.run("python3", "-c", code, ns=netns, timeout=seconds + 30).stdout)

    def port_is_free_in_app(self):
        code = ("import socket\n"
                "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                f"s.bind(('0.0.0.0',{PORT}))\n")
        return self.run("python3", "-c", code, ns=self.ns_app, check=False).returncode == 0


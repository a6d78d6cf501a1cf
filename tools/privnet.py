"""Private networks for the demo and the end-to-end lab: network namespaces
that see nothing of the machine's own network, joined by veth links.

As root the namespaces are plain network namespaces. As an ordinary user
they are made inside a user namespace of their own, in which that user is
root (`unshare --user --map-root-user`), so no privilege is needed where
the kernel allows unprivileged user namespaces (Debian does by default).

Each namespace is held open by a `sleep` that dies with the process that
made it; a namespace goes, with its links, when its last process ends, so
nothing outlives the caller, even one that is killed."""
import ctypes
import os
import signal
import subprocess
import time
from pathlib import Path

PR_SET_PDEATHSIG = 1


class Unavailable(Exception):
    """No private network can be made here; the text says why."""


def die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def built_instrument(build):
    """The instrument address built into the program in `build`, which the
    private network has to carry."""
    for line in (Path(build) / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("VANTREL_INSTRUMENT:INTERNAL="):
            return line.split("=", 1)[1]
    raise Unavailable(f"{build} holds no configured build")


def _net_of(pid):
    return os.readlink(f"/proc/{pid}/ns/net")


def hold(cmd, ready):
    """Runs `cmd` + sleep, which dies with this process, and returns it
    once `ready(its pid)` holds: a namespace made by `cmd` is then held."""
    holder = subprocess.Popen(cmd + ["sleep", "infinity"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              preexec_fn=die_with_parent)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and holder.poll() is None:
        try:
            if ready(holder.pid):
                return holder
        except OSError:  # not yet readable while the holder is starting
            pass
        time.sleep(0.01)
    holder.kill()
    raise Unavailable(holder.communicate()[1].decode(errors="replace").strip()
                      or "the namespace did not come up")


class PrivateNet:
    def __init__(self):
        self.privileged = os.geteuid() == 0
        self._user = None      # the holder of the user namespace (not root)
        self._holders = {}     # namespace name -> holder process

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def add(self, name):
        """A new namespace with only its loopback, which is up."""
        if not self.privileged and self._user is None:
            own_user = os.readlink("/proc/self/ns/user")
            try:
                self._user = hold(["unshare", "--user", "--map-root-user"],
                                        lambda pid: os.readlink(f"/proc/{pid}/ns/user")
                                        != own_user)
            except Unavailable as why:
                raise Unavailable(f"cannot make a user namespace ({why}); user namespaces "
                                  "may be turned off here, and root can do without them")
        own_net = _net_of("self")
        try:
            self._holders[name] = hold(self.enter() + ["unshare", "--net"],
                                             lambda pid: _net_of(pid) != own_net)
        except Unavailable as why:
            raise Unavailable(f"cannot make a network namespace: {why}")
        self.run("ip", "link", "set", "lo", "up", ns=name)

    def enter(self, ns=None):
        """The command prefix that runs a program in namespace `ns`, or with
        ns None, in the user namespace alone (as whom the namespaces' own
        processes run)."""
        cmd = ["nsenter"]
        if self._user is not None:
            cmd += [f"--user=/proc/{self._user.pid}/ns/user", "--preserve-credentials"]
        if ns is not None:
            cmd.append(f"--net=/proc/{self._holders[ns].pid}/ns/net")
        return cmd + ["--"] if len(cmd) > 1 else []

    def names(self):
        return list(self._holders)

    def pid(self, ns):
        return self._holders[ns].pid

    def run(self, *cmd, ns=None, check=True, **kw):
        return subprocess.run(self.enter(ns) + list(cmd), check=check, capture_output=True,
                              text=True, **kw)

    def link(self, one, other, prefix):
        """A veth cable between two namespaces: `one` and `other` are
        (namespace, device name, address); both ends get `prefix`."""
        (ns1, dev1, _), (ns2, dev2, _) = one, other
        # Made from inside the first namespace, where the caller may add
        # links, with its peer moved straight into the second.
        self.run("ip", "link", "add", dev1, "type", "veth", "peer", "name", dev2, "netns",
                 str(self.pid(ns2)), ns=ns1)
        for ns, dev, address in (one, other):
            self.run("ip", "addr", "add", f"{address}/{prefix}", "dev", dev, ns=ns)
            self.run("ip", "link", "set", dev, "up", ns=ns)

    def close(self):
        """Ends the namespaces, and first whatever was started in them and is
        still running, which it returns by name."""
        nets = {_net_of(h.pid) for h in self._holders.values() if h.poll() is None}
        holders = {h.pid for h in self._holders.values()}
        left = []
        for proc in Path("/proc").iterdir():
            if not proc.name.isdigit() or int(proc.name) in holders:
                continue
            try:
                if os.readlink(proc / "ns" / "net") in nets:
                    left.append((proc / "cmdline").read_bytes().split(b"\0")[0].decode())
                    os.kill(int(proc.name), signal.SIGKILL)
            except OSError:  # gone, or another user's
                pass
        holders = list(self._holders.values()) + ([self._user] if self._user else [])
        for holder in holders:
            holder.kill()
            holder.wait()
        self._holders.clear()
        self._user = None
        return left

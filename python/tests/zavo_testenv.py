"""Private network namespace and simulator subprocess, shared by the
binding's tests and its benchmark.

`enter_private_netns()` must run before the process starts threads that
use the network: afterwards multicast never leaves this process's own
loopback.
"""

import ctypes
import fcntl
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

CLONE_NEWNET = 0x40000000
CLONE_NEWUSER = 0x10000000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1
IFF_RUNNING = 0x40


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


_in_netns = False


def enter_private_netns():
    global _in_netns
    if _in_netns:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        first = os.strerror(ctypes.get_errno())
        uid, gid = os.getuid(), os.getgid()
        if libc.unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0:
            raise RuntimeError(
                "a private network namespace is needed for multicast and "
                f"could not make one: unshare(CLONE_NEWNET): {first}; "
                f"unshare(CLONE_NEWUSER|CLONE_NEWNET): {os.strerror(ctypes.get_errno())}")
        # Map ourselves to root inside, so that lo may be brought up.
        _write("/proc/self/setgroups", "deny")
        _write("/proc/self/uid_map", f"0 {uid} 1")
        _write("/proc/self/gid_map", f"0 {gid} 1")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifr = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s.fileno(), SIOCGIFFLAGS, ifr))[1]
        fcntl.ioctl(s.fileno(), SIOCSIFFLAGS,
                    struct.pack("16sH14x", b"lo", flags | IFF_UP | IFF_RUNNING))
    _in_netns = True


def wait_for(cond, seconds):
    """Polls `cond` until it holds or `seconds` pass; its last value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def find_tool(name, env_var):
    """A program of this repository: from `env_var`, the build tree, or PATH."""
    env = os.environ.get(env_var)
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    sub = {"zavo_sim": "sim", "zavo_record": "record"}.get(name, name)
    path = os.path.join(here, "..", "..", "build", "tools", sub, name)
    return path if os.path.exists(path) else shutil.which(name)


def _listening(port):
    """True when a TCP socket of this network namespace listens on
    127.0.0.1:`port` (or any address), read from /proc without connecting."""
    want = {f"0100007F:{port:04X}", f"00000000:{port:04X}"}
    with open("/proc/self/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] in want and fields[3] == "0A":  # 0A: LISTEN
                return True
    return False


class Simulator:
    """zavo_sim running in this process's namespace, listening on
    127.0.0.1:`port`, publishing on 239.255.6.1 (struct `port`+1, raw
    `port`+2)."""

    def __init__(self, port=6600, args=()):
        self.port = port
        self.struct_group = f"239.255.6.1:{port + 1}"
        self.raw_group = f"239.255.6.1:{port + 2}"
        self.server = f"127.0.0.1:{port}"
        exe = find_tool("zavo_sim", "ZAVO_SIM")
        if not exe:
            raise RuntimeError("zavo_sim not found: build it or set ZAVO_SIM")
        self._log = tempfile.NamedTemporaryFile(prefix="zavo_sim_", suffix=".log")
        # The group, the local interface 127.0.0.1 and time-to-live 0 are the
        # simulator's defaults.
        cmd = [exe, "--listen", self.server, "--port", str(port + 1),
               "--raw-port", str(port + 2), *args]
        self.proc = subprocess.Popen(cmd, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        # Ready once its control port listens (the namespace holds no other
        # listener); its own log wording is not something to depend on.
        while not _listening(port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"zavo_sim did not start: {self.output()}")
            time.sleep(0.02)

    def output(self):
        with open(self._log.name) as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()



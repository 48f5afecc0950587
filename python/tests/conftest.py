"""Test set-up: a private network namespace for the whole test process, and
the simulator as a subprocess inside it.

The namespace is made at import, before pytest or the library starts any
thread: multicast then never leaves this process's own loopback.
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

import pytest

CLONE_NEWNET = 0x40000000
CLONE_NEWUSER = 0x10000000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1
IFF_RUNNING = 0x40


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _enter_private_netns():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        first = os.strerror(ctypes.get_errno())
        uid, gid = os.getuid(), os.getgid()
        if libc.unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0:
            raise RuntimeError(
                "the binding's tests need a private network namespace for multicast and "
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


try:
    _enter_private_netns()
except (OSError, RuntimeError) as e:
    raise RuntimeError(f"cannot run the binding's tests: {e}") from None


def _find_sim():
    env = os.environ.get("ZAVO_SIM")
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "..", "build", "tools", "sim", "zavo_sim")
    return path if os.path.exists(path) else shutil.which("zavo_sim")


class Simulator:
    """zavo_sim running in this process's namespace, listening on
    127.0.0.1:`port`, publishing on 239.255.6.1 (struct `port`+1, raw
    `port`+2)."""

    def __init__(self, port=6600, args=()):
        self.port = port
        self.struct_group = f"239.255.6.1:{port + 1}"
        self.raw_group = f"239.255.6.1:{port + 2}"
        self.server = f"127.0.0.1:{port}"
        exe = _find_sim()
        if not exe:
            raise RuntimeError("zavo_sim not found: build it or set ZAVO_SIM")
        self._log = tempfile.NamedTemporaryFile(prefix="zavo_sim_", suffix=".log")
        cmd = [exe, "--listen", self.server, "--port", str(port + 1),
               "--raw-port", str(port + 2), *args]
        self.proc = subprocess.Popen(cmd, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while "listening on" not in self.output():
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


# The shared simulator's market, which the value checks rebuild.
SIM_SEED = 7
SIM_RAW_LEN = (24, 3000)


@pytest.fixture(scope="session")
def sim():
    s = Simulator(6600, ["--mode", "both", "--rate", "3000", "--raw-rate", "200",
                         "--seed", str(SIM_SEED),
                         "--raw-len", f"{SIM_RAW_LEN[0]}:{SIM_RAW_LEN[1]}"])
    yield s
    s.stop()


@pytest.fixture
def session(sim):
    import zavo
    with zavo.Session(server=sim.server, group=sim.struct_group) as s:
        yield s

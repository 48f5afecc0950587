"""Bounded queue, Ctrl-C, closing from anywhere, and no leaks."""

import gc
import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

import zavo


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_a_full_queue_drops_counts_and_warns(sim):
    with zavo.Session(server=sim.server, group=sim.struct_group, queue_size=100) as s:
        assert wait_until(lambda: s.stats["dropped"] > 0, 10)
        st = s.stats
        assert st["queued"] == 100
        with pytest.warns(zavo.QueueFullWarning, match="records dropped"):
            batch = s.read(timeout=0)
        assert sum(len(a) for a in batch.values()) == 100
        received = sum(st["records"].values())
        assert received >= 100 + st["dropped"]
        # Room again: records flow, and the drop is reported only once.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            s.read(timeout=1, max_records=10)


def test_ctrl_c_interrupts_a_waiting_read(sim):
    with zavo.Session(server=sim.server, group=sim.struct_group) as s:
        s.update_subscription("remove", "*")  # nothing more will come
        s.read(timeout=0.2)
        s.read(timeout=0)
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        t0 = time.monotonic()
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                s.read(timeout=30)
        finally:
            timer.cancel()
        assert time.monotonic() - t0 < 2
        # The session is intact after the interruption.
        s.update_subscription("all")
        assert sum(len(a) for a in s.read(timeout=5).values()) > 0


@pytest.mark.parametrize("flowing", [True, False])
def test_close_from_another_thread_while_reading(sim, flowing):
    s = zavo.Session(server=sim.server, group=sim.struct_group)
    if not flowing:
        s.update_subscription("remove", "*")
    outcome = {}
    started = threading.Event()

    def reader():
        started.set()
        n = 0
        try:
            while True:
                n += sum(len(a) for a in s.read(timeout=30).values())
        except zavo.ClosedError:
            outcome["closed"] = n
        except BaseException as e:  # reported below
            outcome["error"] = e

    t = threading.Thread(target=reader)
    t.start()
    started.wait(5)
    time.sleep(0.2)  # let the reader get into a read (nothing depends on it)
    t0 = time.monotonic()
    s.close()
    t.join(5)
    assert not t.is_alive() and "closed" in outcome, outcome
    assert time.monotonic() - t0 < 5
    if flowing:
        assert outcome["closed"] > 0
    s.close()  # again: nothing happens
    assert s.closed
    with pytest.raises(zavo.ClosedError):
        s.read(timeout=1)
    assert list(s.records(timeout=1)) == []


def test_two_threads_close_at_once(sim):
    s = zavo.Session(server=sim.server, group=sim.struct_group)
    barrier = threading.Barrier(3)

    def closer():
        barrier.wait()
        s.close()

    threads = [threading.Thread(target=closer) for _ in range(2)]
    for t in threads:
        t.start()
    barrier.wait()
    s.close()
    for t in threads:
        t.join(10)
        assert not t.is_alive()


def resources():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def test_open_close_cycles_leak_no_threads_or_descriptors(sim):
    # The first session starts what the library keeps for the process (its
    # logger thread and log file); the baseline is taken after it.
    with zavo.Session(server=sim.server, group=sim.struct_group) as s:
        s.read(timeout=1)
    gc.collect()
    base = resources()
    for i in range(100):
        how = i % 4
        if how == 0:
            with zavo.Session(server=sim.server, group=sim.struct_group) as s:
                s.read(timeout=0.05)
        elif how == 1:
            s = zavo.Session(server=sim.server, group=sim.struct_group)
            s.read(timeout=0)
            s.close()
        elif how == 2:
            s = zavo.Session(server=sim.server, group=sim.struct_group)
            del s  # garbage collection closes it
        else:
            with zavo.RawSession(server=sim.server, group=sim.raw_group) as r:
                r.read(timeout=0.05)
    gc.collect()
    # The helper that opened the last session may still be ending.
    assert wait_until(lambda: resources() == base, 5), (resources(), base)


def test_interpreter_exit_closes_open_sessions(sim):
    # A session left open, and a daemon thread blocked in a read without a
    # time limit: the interpreter still exits, promptly and cleanly. (The
    # second one is raw: two sockets of one host cannot bind the same group
    # and port.)
    script = f"""
import threading, zavo
s = zavo.Session(server="{sim.server}", group="{sim.struct_group}")
s.update_subscription("remove", "*")
def reader():
    try:
        while True:
            s.read(timeout=None)
    except zavo.ClosedError:
        pass
threading.Thread(target=reader, daemon=True).start()
leaked = zavo.RawSession(server="{sim.server}", group="{sim.raw_group}")
print("opened", flush=True)
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(zavo.__file__)))
    t0 = time.monotonic()
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert "opened" in out.stdout
    assert time.monotonic() - t0 < 15

"""Test set-up: a private network namespace for the whole test process, and
the simulator as a subprocess inside it.

The namespace is made at import, before pytest or the library starts any
thread: multicast then never leaves this process's own loopback.
"""

import pytest

from zavo_testenv import Simulator, enter_private_netns

try:
    enter_private_netns()
except (OSError, RuntimeError) as e:
    raise RuntimeError(f"cannot run the binding's tests: {e}") from None

# The shared simulator's market, which the value checks rebuild.
SIM_SEED = 7
SIM_RAW_LEN = (24, 3000)


@pytest.fixture(scope="session")
def sim():
    # The value checks follow the synthetic generator's rules (prices
    # stepped from the last price, message time equal to record time), so
    # the matching engines stay off here; the book tests cover those.
    s = Simulator(6600, ["--mode", "both", "--book-model", "off", "--rate", "3000", "--raw-rate", "200",
                         "--seed", str(SIM_SEED),
                         "--raw-len", f"{SIM_RAW_LEN[0]}:{SIM_RAW_LEN[1]}"])
    yield s
    s.stop()


@pytest.fixture
def session(sim):
    import zavo
    with zavo.Session(server=sim.server, group=sim.struct_group) as s:
        yield s

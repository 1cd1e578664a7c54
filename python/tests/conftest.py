import pytest

from kelvo.testing import Simulator

pytest_plugins = ["kelvo.testing"]


@pytest.fixture(scope="module")
def sim():
    """One TCP simulator for the tests of a file that leave its state alone."""
    with Simulator() as simulator:
        yield simulator


@pytest.fixture
def dev(sim):
    with sim.connect(user="admin", password="admin") as device:
        yield device

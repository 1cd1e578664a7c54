import pytest

pytest_plugins = ["kelvo.testing"]


@pytest.fixture(scope="module")
def sim():
    """One TCP simulator for the tests of a file that leave its state alone."""
    from kelvo.testing import Simulator

    with Simulator() as simulator:
        yield simulator


@pytest.fixture
def dev(sim):
    with sim.connect(user="admin", password="admin") as device:
        yield device

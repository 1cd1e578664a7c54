"""Devices used from threads: the GIL is free while a call waits on the link,
and one object used from several threads takes the calls one after the other."""

import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import kelvo


def test_a_waiting_call_lets_other_threads_run(kelvo_sim_factory):
    silent = kelvo_sim_factory(faults=["silent"])
    answering = kelvo_sim_factory()
    waiting = silent.connect(timeout=10.0)
    entered = threading.Event()

    def wait_for_silence():
        entered.set()
        with pytest.raises(kelvo.KelvoError):
            waiting.read(0x1004, 0, "i4")

    thread = threading.Thread(target=wait_for_silence)
    thread.start()
    entered.wait()
    # With the GIL held by the waiting call this read could only start after
    # its time-out.
    with answering.connect() as dev:
        assert dev.read(0x1004, 0, "i4") == -123456
    assert thread.is_alive()
    silent.stop()  # the link closes: the waiting read ends
    thread.join()


def test_one_device_shared_by_threads(dev):
    def work(_):
        return [dev.read(0x1004, 0, "i4") for _ in range(100)]

    with ThreadPoolExecutor(4) as pool:
        for values in pool.map(work, range(4)):
            assert values == [-123456] * 100

"""kelvo.testing: the simulator on each link, with faults and a state file."""

import itertools

import pytest

import kelvo

STATE = """<kelvo-sim><parameters>
  <parameter index="0x4000" type="r8" value="0.5"/>
</parameters></kelvo-sim>"""


def test_the_fixture_and_devices_on_consecutive_addresses(kelvo_sim, kelvo_sim_factory):
    with kelvo_sim.connect() as dev:
        assert dev.par[0x1005, 0, "u4"] == 3000000000
    sim = kelvo_sim_factory(devices=3)
    assert len(set(sim.addresses)) == 3 and sim.addresses[0] == sim.address
    with sim.connect(device=3) as dev:
        dev.write(0x1004, 0, "i4", 3)
    with sim.connect(device=1) as dev:  # a state of its own
        assert dev.read(0x1004, 0, "i4") == -123456


def test_tls_and_a_state_file(kelvo_sim_factory):
    sim = kelvo_sim_factory(tls=True, state=STATE)
    with sim.connect("tls") as dev:
        assert dev.read(0x4000, 0, "r8") == 0.5
        assert dev.SSLCertNotAfter > dev.SSLCertNotBefore > 0


def test_faults_given_at_start(kelvo_sim_factory):
    sim = kelvo_sim_factory(faults=["device-error:0x0B000002"], fault_at=2, fault_count=1)
    with sim.connect() as dev:
        dev.read(0x1004, 0, "i4")
        with pytest.raises(kelvo.DeviceError, match="0x0B000002"):
            dev.read(0x1004, 0, "i4")
        dev.read(0x1004, 0, "i4")


def test_serial_link_and_push_data(kelvo_sim_factory):
    sim = kelvo_sim_factory(serial=True)
    with sim.connect("serial") as dev:
        assert dev.read(0x1001, 0, "u1") == 200
        stream = dev.push_data(chunk=64)
        data = b"".join(itertools.islice(stream, 8))
        stream.close()  # stops the stream
        assert dev.read(0x1001, 0, "u1") == 200
    # The device counts up 00 01 02 ...: every byte follows the one before.
    assert len(data) == 512
    assert all((b - a) % 256 == 1 for a, b in zip(data, data[1:]))

"""The Pythonic surface, the members by interface name, devices used from
threads, kelvo.testing's simulator on each link (faults, a state file) and the
package as cmake --install leaves it."""

import itertools
import os
import subprocess
import sys
import threading
import xml.etree.ElementTree as ElementTree
from concurrent.futures import ThreadPoolExecutor

import pytest

import kelvo

ERRORLOG_DESCRIPTIONS = os.path.join(os.path.dirname(__file__), "../../tools/kelvo-sim/errorlog")

STATE = """<kelvo-sim><parameters>
  <parameter index="0x4000" type="r8" value="0.5"/>
</parameters></kelvo-sim>"""


def test_interface_members_by_name(dev):
    dev.TimeOut = 2500
    assert dev.get("timeout") == dev.get_TimeOut() == dev.TimeOut == 2500
    dev.put("TimeOut", 3000)
    assert dev.TimeOut == 3000
    assert dev.get_Par(0x1004, 0, 3) == -123456
    dev.put_ParFloat(0x1006, 0, 2.5)  # a float argument of the table's own type
    assert dev.get_ParFloat(0x1006, 0) == 2.5
    assert dev.invoke("GetAllUsers") == "admin\t"
    assert dev.Protocol == "Kelvo" and dev.EEPROMAccess is True
    assert "IDeviceLink: get Par(ipa: int, subI: int, type: int) -> Any" in kelvo.members()


def test_device_commands_and_users(dev):
    dev.save()
    dev.reset_error(0)
    assert dev.ping(2000) == {1: "kelvo-sim", 2: 100001, 3: True, 4: 36.5}
    dev.create_user("bob", "pw")
    dev.set_permissions("bob", 3, [0, 5, 63])
    assert dev.permissions("bob") == (3, 1 | 1 << 5 | 1 << 63)
    assert dev.permissions("bob").bits == [0, 5, 63]
    dev.set_password("bob", "new")
    assert dev.users() == ["admin", "bob"]
    dev.delete_user("bob")
    assert dev.users() == ["admin"]


def test_error_log_as_element_tree(dev, tmp_path):
    tree, path = dev.error_log(0, ERRORLOG_DESCRIPTIONS, tmp_path / "entry.xml")
    assert path == str(tmp_path / "entry.xml")
    assert isinstance(tree, ElementTree.ElementTree)
    assert ElementTree.tostring(tree.getroot()) == ElementTree.tostring(
        ElementTree.parse(path).getroot()
    )
    with pytest.raises(kelvo.ArgumentError) as missing:
        dev.error_log(0, tmp_path)
    assert missing.value.error_code == 14


def test_login_keywords_and_passwords(kelvo_sim_factory):
    sim = kelvo_sim_factory(require_login=True)
    text = kelvo.connection_text(host=sim.address, user="admin", password="admin", timeout=2)
    assert text.startswith("Kelvo:255,2000,0,admin,") and text.endswith("/17221,5000")
    with kelvo.connect(text) as dev:
        assert dev.read(0x3000, 1, "str") == "protected"
    scrambled = kelvo.encrypt_password("secret")
    assert len(scrambled) == 12 and kelvo.decrypt_password(scrambled) == "secret"
    assert kelvo.decrypt_password("abc") == "?"


def test_scan_from_an_address_that_is_not_local():
    with pytest.raises(kelvo.LinkError, match="cannot broadcast from 192.0.2.1"):
        kelvo.scan("192.0.2.1", timeout=0)
    with pytest.raises(kelvo.ArgumentError):
        kelvo.scan("127.0.0.1", timeout=1.5)


def test_a_waiting_call_lets_other_threads_run(kelvo_sim_factory):
    silent = kelvo_sim_factory(faults=["silent"])
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
    with kelvo_sim_factory().connect() as dev:
        assert dev.read(0x1004, 0, "i4") == -123456
    assert thread.is_alive()
    silent.stop()  # the link closes: the waiting read ends
    thread.join()


def test_one_device_shared_by_threads_takes_the_calls_in_turn(dev):
    with ThreadPoolExecutor(4) as pool:
        reads = pool.map(lambda _: [dev.read(0x1004, 0, "i4") for _ in range(100)], range(4))
        assert list(reads) == [[-123456] * 100] * 4


def test_import_and_read_from_an_installed_tree(sim, tmp_path):
    """python3 -c "import kelvo; ..." reads a parameter from the tree (every
    other test imports the build tree's package)."""
    package = os.path.dirname(os.path.dirname(kelvo.__file__))
    build = os.environ.get("KELVO_BUILD_DIR", os.path.dirname(package))
    subprocess.run(
        [os.environ.get("KELVO_CMAKE", "cmake"), "--install", build,
         "--prefix", str(tmp_path), "--component", "python"],
        check=True, stdout=subprocess.DEVNULL,
    )
    path = str(next(tmp_path.glob("lib/python3*/dist-packages")))
    read = "import kelvo, sys; print(kelvo.__file__, kelvo.connect(sys.argv[1]).read(4100,0,'i4'))"
    run = subprocess.run([sys.executable, "-c", read, sim.text()], cwd=tmp_path, check=True,
                         env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True)
    where, value = run.stdout.split()
    assert where.startswith(path) and value == "-123456"


def test_the_fixture_and_devices_on_consecutive_addresses(kelvo_sim, kelvo_sim_factory):
    with kelvo_sim.connect() as dev:
        assert dev.par[0x1005, 0, "u4"] == 3000000000
    sim = kelvo_sim_factory(devices=3)
    assert len(set(sim.addresses)) == 3 and sim.addresses[0] == sim.address
    with sim.connect(device=3) as dev:
        dev.write(0x1004, 0, "i4", 3)
    with sim.connect(device=1) as dev:  # a state of its own
        assert dev.read(0x1004, 0, "i4") == -123456


def test_tls_a_state_file_and_faults_given_at_start(kelvo_sim_factory):
    sim = kelvo_sim_factory(tls=True, state=STATE, faults=["device-error:0x0B000002"],
                            fault_at=2, fault_count=1)
    with sim.connect("tls") as dev:
        assert dev.read(0x4000, 0, "r8") == 0.5
        with pytest.raises(kelvo.DeviceError, match="0x0B000002"):
            dev.read(0x4000, 0, "r8")
        assert dev.read(0x4000, 0, "r8") == 0.5
        assert dev.SSLCertNotAfter > dev.SSLCertNotBefore > 0


def test_serial_link_and_push_data(kelvo_sim_factory):
    sim = kelvo_sim_factory(serial=True)
    with sim.connect("serial", timeout=0.2) as dev:
        assert dev.read(0x1001, 0, "u1") == 200
        stream = dev.push_data(chunk=64)
        data = b"".join(itertools.islice(stream, 8))
        stream.close()  # stops the stream
        assert dev.read(0x1001, 0, "u1") == 200
        # A quiet stream is a time-out, with the code as its result.
        with pytest.raises(kelvo.KelvoTimeoutError) as quiet:
            dev.ReadPushData(None, 16)
        assert (quiet.value.error_code, quiet.value.hresult) == (7, 7)
        with pytest.raises(kelvo.KelvoTimeoutError):
            next(dev.push_data(chunk=1 << 20))
    # The device counts up 00 01 02 ...: every byte follows the one before.
    assert len(data) == 512
    assert all((b - a) % 256 == 1 for a, b in zip(data, data[1:]))

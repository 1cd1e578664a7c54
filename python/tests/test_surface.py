"""The Pythonic surface and the members by interface name."""

import os
import xml.etree.ElementTree as ElementTree

import pytest

import kelvo

ERRORLOG_DESCRIPTIONS = os.path.join(os.path.dirname(__file__), "../../tools/kelvo-sim/errorlog")


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

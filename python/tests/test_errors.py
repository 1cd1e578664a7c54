"""Failures as exceptions: the class, the codes and the message text."""

import pytest

import kelvo
from kelvo.testing import _free_address

E_FAIL = 0x80004005


@pytest.mark.parametrize(
    "fault,cls,code",
    [
        ("silent", kelvo.KelvoTimeoutError, 7),
        ("wrong-counter", kelvo.LinkError, 4),
        ("wrong-status", kelvo.LinkError, 5),
        ("device-error:0x0B000002", kelvo.DeviceError, 1),
    ],
)
def test_a_failed_read_raises_by_its_error_code(sim, fault, cls, code):
    with sim.connect(timeout=0.3) as dev:
        sim.set_faults(fault, count=1)
        with pytest.raises(cls) as failed:
            dev.read(0x1004, 0, "i4")
        error = failed.value
        assert (error.error_code, error.hresult, error.operation) == (code, E_FAIL, "get Par")
        assert error.message and error.message in str(error)
        assert dev.read(0x1004, 0, "i4") == -123456  # the next read works
    assert error.device_status == (0x0B000002 if code == 1 else None)
    assert isinstance(error, TimeoutError) == (code == 7)


def test_device_status_and_its_text(dev):
    with pytest.raises(kelvo.DeviceError) as failed:
        dev.read(0x7777, 0, "i4")
    assert failed.value.device_status == 0x0B000001
    assert failed.value.message == "The parameter does not exist on the device"
    assert "device error 0x0B000001" in str(failed.value)


def test_failures_without_an_error_code():
    dev = kelvo.Device()
    with pytest.raises(kelvo.LinkError) as unconnected:
        dev.save()
    assert unconnected.value.error_code == 6
    with pytest.raises(kelvo.NotSupportedError) as stub:
        dev.ReadMemory64(0, 4)
    assert (stub.value.error_code, stub.value.hresult) == (None, 0x80004001)
    with pytest.raises(kelvo.ArgumentError) as text:
        dev.Init("TCPIP:10.0.0.7")
    assert text.value.hresult == 0x80040503


def test_connect_failures(sim):
    with pytest.raises(kelvo.ConnectError, match=r"connecting to Kelvo:.*,\*\*\*#TCPIP"):
        kelvo.connect(host=_free_address([17221]), user="u", password="p", connect_timeout=0.5)
    with pytest.raises(kelvo.DeviceError) as login:
        sim.connect(user="admin", password="wrong")
    assert login.value.device_status == 0x15000003
    for keywords in ({}, {"host": "a:b"}, {"serial": 0}, {"host": "h", "timeout": 66},
                     {"host": "h", "user": "u"}, {"host": "h", "user": "u", "password": "\u0100"}):
        with pytest.raises(kelvo.ArgumentError):
            kelvo.connect(**keywords)


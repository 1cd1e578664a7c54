"""kelvo: drives and motion controllers from Python, through the Kelvo component.

    import kelvo
    with kelvo.connect("TCPIP:10.0.0.7/17221,3000") as dev:
        print(dev.read(0x1004, 0, "i4"))

connect() and Device give a Pythonic surface (read, write, par[...], save,
ping, users, permissions, error_log, read_block, push_data ...) and every
operation of the component's interface by its name (dev.Save_Command(),
dev.get("TimeOut")). Failures raise kelvo.KelvoError and its subclasses.
kelvo.testing starts the device simulator for tests without hardware.
"""

from ._kelvo import members as _members
from .device import (
    PARAMETER_TYPES,
    Device,
    ErrorLog,
    Permissions,
    connect,
    connection_text,
    decrypt_password,
    encrypt_password,
)
from .discovery import scan
from .errors import (
    ArgumentError,
    ConnectError,
    DeviceError,
    KelvoError,
    KelvoTimeoutError,
    LinkError,
    NotSupportedError,
)

__all__ = [
    "PARAMETER_TYPES",
    "ArgumentError",
    "ConnectError",
    "Device",
    "DeviceError",
    "ErrorLog",
    "KelvoError",
    "KelvoTimeoutError",
    "LinkError",
    "NotSupportedError",
    "Permissions",
    "connect",
    "connection_text",
    "decrypt_password",
    "encrypt_password",
    "members",
    "scan",
]


def members() -> list[str]:
    """Every member of the interface table as "IKelvo: get Par(ipa, subI, type) -> Any"."""
    lines = []
    for name, kind, _, interface, *_ in _members():
        method = {"get": "get_", "put": "put_"}.get(kind, "") + name
        doc = (getattr(Device, method).__doc__ or "").strip().splitlines()
        lines.append(f"{interface}: {doc[0] if doc else method}")
    return lines

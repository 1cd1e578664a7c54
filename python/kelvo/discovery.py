"""Finding devices on the local network by a UDP broadcast."""

from __future__ import annotations

from typing import Any

from . import _kelvo
from .errors import ArgumentError, LinkError

# Item types as the project's devices (and kelvo-sim) use them; others are
# named "item<type>".
_ITEM_NAMES = {
    1: "ip",
    2: "netmask",
    3: "gateway",
    5: "node",
    6: "name",
    7: "serial",
    8: "firmware",
    9: "mac",
    10: "time",
}
_NUMBERS = {5, 8, 10, 11}


def scan(source: str, timeout: int = 2) -> list[dict[str, Any]]:
    """Broadcasts a discovery request from the local IPv4 address `source`
    (port 17220) and listens `timeout` whole seconds. One dict per answer, in
    the order they came: "address" (the sender), the items by name ("ip",
    "netmask", "gateway", "node", "name", "serial", "firmware", "mac"; other
    types as "item<type>") and "items", every (type, text) as the device sent it.
    """
    if not isinstance(source, str):
        raise ArgumentError("ScanUDP", f"source must be an IPv4 address text, not {source!r}")
    if isinstance(timeout, bool) or not isinstance(timeout, int) or not 0 <= timeout < 2**31:
        raise ArgumentError("ScanUDP", f"timeout must be whole seconds, not {timeout!r}")
    answers = _kelvo.scan(source, timeout)
    if answers is None:
        raise LinkError(
            "ScanUDP",
            f"cannot broadcast from {source}:17220 (no local IPv4 address of that name, "
            "or the port is in use)",
        )
    found = []
    for sender, items in answers:
        device: dict[str, Any] = {"address": sender}
        for type_, text in items:
            name = _ITEM_NAMES.get(type_, f"item{type_}")
            device[name] = int(text) if type_ in _NUMBERS and text.isdigit() else text
        device["items"] = items
        found.append(device)
    return found

"""Device: one Kelvo object, one connection to one device."""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple

from . import _kelvo
from ._interface import INDEX, InterfaceMembers
from .errors import ArgumentError, KelvoError

#: Parameter type codes by name (the component's automation types); "auto"
#: reads the type from the value length (2, 4 or 8 bytes).
PARAMETER_TYPES: dict[str, int] = {
    "auto": 0,
    "i1": 16,
    "u1": 17,
    "i2": 2,
    "u2": 18,
    "i4": 3,
    "u4": 19,
    "i8": 20,
    "u8": 21,
    "r4": 4,
    "r8": 5,
    "str": 8,
}

# The Python types write() takes per type code.
_VALUE_TYPES: dict[int, type | tuple[type, ...]] = {
    code: int for code in (16, 17, 2, 18, 3, 19, 20, 21)
}
_VALUE_TYPES.update({4: (int, float), 5: (int, float), 8: str})
_E_FAIL = 0x80004005

_TCP_PORT = 17221
_TLS_PORT = 17222
_SEPARATORS = ":,#/"


def _type_code(type_: str | int) -> int:
    if isinstance(type_, str):
        code = PARAMETER_TYPES.get(type_.lower())
        if code is None:
            raise ArgumentError("type", f"{type_!r} is none of {', '.join(PARAMETER_TYPES)}")
        return code
    if isinstance(type_, int) and not isinstance(type_, bool):
        return type_
    raise ArgumentError("type", f"a type name or code expected, not {type_!r}")


def _milliseconds(seconds: float, what: str, limit: int) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise ArgumentError("connect", f"{what} must be seconds, not {seconds!r}")
    ms = round(seconds * 1000)
    if not 1 <= ms <= limit:
        raise ArgumentError("connect", f"{what} must be 0.001 to {limit / 1000:g} seconds")
    return ms


def _plain(text: str, what: str) -> str:
    if not isinstance(text, str) or not text or any(c in text for c in _SEPARATORS):
        raise ArgumentError("connect", f"{what} {text!r} must be text without ':,#/'")
    return text


def connection_text(
    text: str | None = None,
    *,
    host: str | None = None,
    tls: bool = False,
    serial: int | str | None = None,
    user: str | None = None,
    password: str | None = None,
    timeout: float = 10.0,
    connect_timeout: float = 5.0,
    node: int = 0,
) -> str:
    """The connection text for Init, given as it is or built from keywords.

    host (with tls) or serial (a COM number 1 to 256, or "COM3"); timeout: the
    answer time-out in seconds (up to 65.535); connect_timeout: for TCP/IP;
    node: the device's node number; user and password: the device login (the
    password goes into the text scrambled).
    """
    if text is not None:
        if host is not None or serial is not None or user is not None or password is not None:
            raise ArgumentError("connect", "give a connection text or keywords, not both")
        if not isinstance(text, str):
            raise ArgumentError("connect", f"the connection text must be str, not {text!r}")
        return text
    if (host is None) == (serial is None):
        raise ArgumentError("connect", "give host= (TCP/IP) or serial= (a COM port)")
    if (user is None) != (password is None):
        raise ArgumentError("connect", "give user= and password= together")
    if isinstance(node, bool) or not isinstance(node, int) or not 0 <= node <= 255:
        raise ArgumentError("connect", f"node must be 0 to 255, not {node!r}")
    device = f"Kelvo:255,{_milliseconds(timeout, 'timeout', 65535)},{node}"
    if user is not None:
        scrambled = encrypt_password(password) if isinstance(password, str) else None
        if scrambled is None or decrypt_password(scrambled) != password:
            raise ArgumentError(
                "connect",
                "the password must be text of characters up to U+00C4 to travel in a "
                "connection text",
            )
        device += f",{_plain(user, 'user')},{scrambled}"
    if host is not None:
        ms = _milliseconds(connect_timeout, "connect_timeout", 2**31 - 1)
        port = _TLS_PORT if tls else _TCP_PORT
        return f"{device}#TCPIP:{_plain(host, 'host')}/{port},{ms}" + (",SSL" if tls else "")
    number = serial
    if isinstance(serial, str) and serial.upper().startswith("COM") and serial[3:].isdigit():
        number = int(serial[3:])
    if isinstance(number, bool) or not isinstance(number, int) or not 1 <= number <= 256:
        raise ArgumentError("connect", f"serial must be a COM number 1 to 256, not {serial!r}")
    return f"{device}#COM:{number}"


def _masked(text: str) -> str:
    """The connection text without its scrambled password."""
    device, hash_, transport = text.partition("#")
    pieces = device.split(",")
    if hash_ and len(pieces) >= 5:
        pieces[-1] = "***"
    return ",".join(pieces) + hash_ + transport


class Permissions(NamedTuple):
    """A user's role and 64 permission bits (bit i: permission i)."""

    role: int
    mask: int

    @property
    def bits(self) -> list[int]:
        return [i for i in range(64) if self.mask >> i & 1]


class ErrorLog(NamedTuple):
    """A decoded error-log entry: the XML document and the file it was written to."""

    tree: ElementTree.ElementTree
    path: str


class Parameters:
    """dev.par[index, sub] reads (type from the value length);
    dev.par[index, sub, "i4"] reads as i4; dev.par[index, sub, "i4"] = v writes."""

    __slots__ = ("_device",)

    def __init__(self, device: Device) -> None:
        self._device = device

    @staticmethod
    def _key(key: Any, write: bool) -> tuple[int, int, str | int]:
        if isinstance(key, tuple) and len(key) == 3:
            return key
        if isinstance(key, tuple) and len(key) == 2 and not write:
            return (key[0], key[1], "auto")
        if write:
            raise ArgumentError("par", "write with dev.par[index, sub, type] = value")
        raise ArgumentError("par", "read with dev.par[index, sub] or dev.par[index, sub, type]")

    def __getitem__(self, key: Any) -> Any:
        return self._device.read(*self._key(key, False))

    def __setitem__(self, key: Any, value: Any) -> None:
        index, sub, type_ = self._key(key, True)
        self._device.write(index, sub, type_, value)


class Device(InterfaceMembers):
    """One Kelvo object: one connection to one device.

    dev = kelvo.connect("TCPIP:10.0.0.7/17221,3000")     # Init now
    with kelvo.connect(host="10.0.0.7", user="admin", password="admin") as dev:
        dev.read(0x1004, 0, "i4"); dev.write(0x1004, 0, "i4", -5)
        dev.par[0x1004, 0]; dev.save(); dev.ping()

    Every operation of the interface is also here by its interface name
    (dev.Save_Command(), dev.get_Par(0x1004, 0, 3), dev.TimeOut = 2000,
    dev.get("TimeOut"), dev.invoke("Ping", 1000)). A failure raises a
    kelvo.KelvoError. One object is used by one thread at a time (calls from
    several threads are taken one after the other); other threads run while
    an operation waits on the link.
    """

    def __init__(self, text: str | None = None, **keywords: Any) -> None:
        self._native = _kelvo.Device()
        self._call = self._native.bound_call()
        self._text = connection_text(text, **keywords) if text or keywords else None
        self._open = False

    def __repr__(self) -> str:
        where = _masked(self._text) if self._text else "no connection text"
        return f"<kelvo.Device {where}{' open' if self._open else ''}>"

    # ---- Connection ----

    def open(self, text: str | None = None, **keywords: Any) -> Device:
        """Connects (Init) with the text or keywords given here or at creation."""
        if text or keywords:
            self._text = connection_text(text, **keywords)
        if self._text is None:
            raise ArgumentError("Init", "no connection text: give one or host=/serial=")
        try:
            self.Init(self._text)
        except KelvoError as error:
            error.args = (f"{error.args[0]} (connecting to {_masked(self._text)})",)
            raise
        self._open = True
        return self

    def close(self) -> None:
        """Logs out and closes the link (Close); the object can open again."""
        self._open = False
        self.Close()

    def __enter__(self) -> Device:
        if not self._open:
            self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- Any member by its interface name ----

    def _index(self, kind: str, name: str) -> int:
        index = INDEX.get((kind, name.lower())) if isinstance(name, str) else None
        if index is None:
            raise ArgumentError(name, f"no {kind} member of that name (see kelvo.members())")
        return index

    def get(self, name: str, *args: Any) -> Any:
        """Gets a property by its interface name: dev.get("TimeOut")."""
        return self._call(self._index("get", name), args)

    def put(self, name: str, *args: Any) -> None:
        """Puts a property: dev.put("TimeOut", 2000); the value comes last."""
        self._call(self._index("put", name), args)

    def invoke(self, name: str, *args: Any) -> Any:
        """Calls a method by its interface name: dev.invoke("Ping", 1000)."""
        return self._call(self._index("method", name), args)

    # ---- Parameters ----

    def read(self, index: int, sub: int = 0, type: str | int = "auto") -> Any:
        """Reads a parameter: int, float or str as its type says."""
        try:  # the hot path: a type name as written
            code = PARAMETER_TYPES[type]
        except (KeyError, TypeError):
            code = _type_code(type)
        return self._call(_GET_PAR, (index, sub, code))

    def write(self, index: int, sub: int, type: str | int, value: Any) -> None:
        """Writes a parameter of the given type ("i4", "r8", "str", ...): an
        int for the integer types, an int or float for r4 and r8, a str for
        str (the component would convert text to numbers; this does not)."""
        code = _type_code(type)
        want = _VALUE_TYPES.get(code, object)
        if not isinstance(value, want) or (want is int and isinstance(value, bool)):
            names = {int: "int", str: "str"}.get(want, "int or float")
            raise ArgumentError("put Par", f"a {type} value must be {names}, not {value!r}")
        try:
            self._call(_PUT_PAR, (index, sub, code, value))
        except KelvoError as error:
            # The conversion to the type failed: E_FAIL without an error code.
            if error.error_code is None and error.hresult == _E_FAIL:
                raise ArgumentError("put Par", f"{value!r} is out of range for {type}") from None
            raise

    @property
    def par(self) -> Parameters:
        """Parameters by index: dev.par[0x1004, 0], dev.par[0x1004, 0, "i4"] = 5."""
        return Parameters(self)

    # ---- Device commands ----

    def save(self) -> None:
        """Stores the parameters in the device's permanent memory."""
        self.Save_Command()

    def reset(self) -> None:
        self.Reset_Command()

    def restore(self, filter: int = 0) -> None:
        self.Restore_Command(filter)

    def reset_error(self, axis: int = 0) -> None:
        """Resets the error of an axis."""
        self.ResetError(axis)

    def ping(self, blink_ms: int = 1000) -> dict[int, Any]:
        """Blinks the device and returns its items: {key: value}."""
        text = self.Ping(blink_ms)
        items = _json_object(_kelvo.ping_json(text))
        if items is None:
            raise KelvoError("Ping", f"the answer is not in the usual form: {text!r}")
        return {int(key): value for key, value in items.items()}

    def error_log(
        self, index: int, description_dir: str | os.PathLike, path: str | os.PathLike | None = None
    ) -> ErrorLog:
        """Downloads error-log entry `index` and decodes it with the descriptions
        in description_dir into the XML file `path` (a new temporary file when
        None); returns the parsed document and the path."""
        if path is None:
            handle, path = tempfile.mkstemp(prefix="kelvo-errorlog-", suffix=".xml")
            os.close(handle)
        self.ReadErrorLog(index, os.fspath(path), os.fspath(description_dir))
        return ErrorLog(ElementTree.parse(path), os.fspath(path))

    # ---- Users and permissions ----

    def users(self) -> list[str]:
        """The user names on the device."""
        return self.GetAllUsers().split("\t")[:-1]

    def create_user(self, name: str, password: str) -> None:
        self.CreateUser(name, password)

    def delete_user(self, name: str) -> None:
        self.DeleteUser(name)

    def change_password(self, old: str, new: str) -> None:
        """Changes the password of the logged-in user."""
        self.ChangePasswordUser(old, new)

    def set_password(self, user: str, new: str) -> None:
        """Sets another user's password (needs the user-administration right)."""
        self.ChangePasswordAdmin(user, new)

    def permissions(self, user: str) -> Permissions:
        values = self.GetPermissionsAndRole(user)
        mask = sum(1 << i for i, on in enumerate(values[1:65]) if on)
        return Permissions(values[0], mask)

    def set_permissions(self, user: str, role: int, bits: int | Iterable[int]) -> None:
        """Sets role and permissions: bits as a 64-bit mask or the bit numbers."""
        if isinstance(bits, int):
            if not 0 <= bits < 1 << 64:
                raise ArgumentError("SetPermissionsAndRole", "the mask must fit 64 bits")
            mask = bits
        else:
            mask = 0
            for bit in bits:
                if not isinstance(bit, int) or not 0 <= bit < 64:
                    raise ArgumentError("SetPermissionsAndRole", f"bit {bit!r} is not 0 to 63")
                mask |= 1 << bit
        self.SetPermissionsAndRole(user, role, [bool(mask >> i & 1) for i in range(64)])

    # ---- Data exchange ----

    def read_block(
        self, rt: int, db_type: int, index: int, sub: int, offset: int, length: int
    ) -> bytes:
        """Reads `length` bytes (at most 200) of a data block from `offset`."""
        return self.ReadDataBlock(rt, db_type, index, sub, offset, length)

    def write_block(
        self, rt: int, db_type: int, index: int, sub: int, offset: int, data: bytes
    ) -> None:
        self.WriteDataBlock(rt, db_type, index, sub, offset, len(data), data)

    def push_data(
        self, stream: int = 0, command: int = 2, value: Any = None, chunk: int = 256
    ) -> Iterator[bytes]:
        """Starts a push-data stream and yields its bytes in chunks of `chunk`
        bytes (serial links only). A chunk that does not come within the
        time-out raises KelvoTimeoutError. Closing the generator (or leaving the
        loop) sends the stop command (stream command 1)."""
        self.PushDataCommand(stream, command, value)
        try:
            while True:
                data, _ = self.ReadPushData(None, chunk)
                yield data
        except BaseException:
            with contextlib.suppress(KelvoError):
                self.PushDataCommand(stream, 1, None)
            raise


def _json_object(text: str) -> dict[str, Any] | None:
    import json

    value = json.loads(text)
    return value if isinstance(value, dict) else None


_GET_PAR = INDEX[("get", "par")]
_PUT_PAR = INDEX[("put", "par")]

_stateless_lock = threading.Lock()
_stateless_device: Device | None = None


def _stateless() -> Device:
    """An object for the operations that use no connection."""
    global _stateless_device
    with _stateless_lock:
        if _stateless_device is None:
            _stateless_device = Device()
        return _stateless_device


def encrypt_password(password: str) -> str:
    """The scrambled form of a password (as connection texts carry it)."""
    return _stateless().EncryptPassword(password)


def decrypt_password(scrambled: str) -> str:
    """The password of a scrambled form ("?" for an empty or odd-length text)."""
    return _stateless().DecryptPassword(scrambled)


def connect(text: str | None = None, **keywords: Any) -> Device:
    """A Device connected now (Init): kelvo.connect("TCPIP:10.0.0.7/17221,3000"),
    kelvo.connect(host="10.0.0.7", tls=True, user="admin", password="secret",
    timeout=3.0) or kelvo.connect(serial=3). Use it in a with block to close
    the connection at its end; see connection_text() for the keywords."""
    if text is None and not keywords:
        raise ArgumentError("connect", "give a connection text or host=/serial=")
    return Device(text, **keywords).open()

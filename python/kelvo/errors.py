"""Exceptions of the kelvo package.

Every failed operation raises a KelvoError. Which subclass depends on the error
code the operation left (the component's ErrorCode) or, without one, on its
status result (hresult):

    KelvoError                    any failure; the base to catch
    +-- DeviceError               code 1: the device refused; see device_status
    +-- KelvoTimeoutError         code 7: no answer in time (also a TimeoutError)
    +-- LinkError                 codes 4, 5, 6, 8, 11, 12, 13: the link or the
    |   |                         answer failed (6: not connected)
    |   +-- ConnectError          codes 15, 16 and Init's open failures
    +-- ArgumentError             bad arguments (also TypeError and ValueError):
    |                             refused by the package, codes 3, 9, 10, 14,
    |                             E_INVALIDARG, 0x80040503 (connection text) ...
    +-- NotSupportedError         E_NOTIMPL (also a NotImplementedError)

Attributes: operation (the interface name, e.g. "get Par"), error_code (None
when the operation stored none), hresult (unsigned 32 bits, None for
arguments the package refused itself), device_status (the device's own code
with error_code 1, else None) and message (the message file's text for the
code, empty when it has none).
"""

from __future__ import annotations

E_NOTIMPL = 0x80004001
E_INVALIDARG = 0x80070057
E_POINTER = 0x80004003
KELVO_E_ADAPTER = 0x80040500
KELVO_E_CONVERSION = 0x80040501
KELVO_E_OPEN = 0x80040502
KELVO_E_CONNECTION_TEXT = 0x80040503
KELVO_E_PERMISSIONS = 0x80040509
DISP_E_BADPARAMCOUNT = 0x8002000E
DISP_E_TYPEMISMATCH = 0x80020005
DISP_E_OVERFLOW = 0x8002000A


class KelvoError(Exception):
    """A failed operation of the Kelvo component."""

    def __init__(
        self,
        operation: str,
        text: str,
        *,
        error_code: int | None = None,
        hresult: int | None = None,
        device_status: int | None = None,
        message: str = "",
    ) -> None:
        super().__init__(f"{operation}: {text}")
        self.operation = operation
        self.error_code = error_code
        self.hresult = hresult
        self.device_status = device_status
        self.message = message


class DeviceError(KelvoError):
    """The device answered with its error status (error code 1)."""


class KelvoTimeoutError(KelvoError, TimeoutError):
    """No answer within the time-out (error code 7)."""


class LinkError(KelvoError):
    """The link or the device's answer failed."""


class ConnectError(LinkError):
    """The transport did not open."""


class ArgumentError(KelvoError, TypeError, ValueError):
    """An argument the package or the component refused."""


class NotSupportedError(KelvoError, NotImplementedError):
    """The operation is not implemented by the component (E_NOTIMPL)."""


_BY_CODE: dict[int, type[KelvoError]] = {1: DeviceError, 7: KelvoTimeoutError}
_BY_CODE.update({code: LinkError for code in (4, 5, 6, 8, 11, 12, 13)})
_BY_CODE.update({code: ConnectError for code in (15, 16)})
_BY_CODE.update({code: ArgumentError for code in (3, 9, 10, 14)})

_BY_HRESULT: dict[int, type[KelvoError]] = {
    E_NOTIMPL: NotSupportedError,
    KELVO_E_ADAPTER: LinkError,
    KELVO_E_OPEN: ConnectError,
}
_BY_HRESULT.update(
    {
        hr: ArgumentError
        for hr in (
            E_INVALIDARG,
            E_POINTER,
            KELVO_E_CONVERSION,
            KELVO_E_CONNECTION_TEXT,
            KELVO_E_PERMISSIONS,
            DISP_E_BADPARAMCOUNT,
            DISP_E_TYPEMISMATCH,
            DISP_E_OVERFLOW,
        )
    }
)


def failure(
    operation: str,
    hresult: int,
    error_code: int | None,
    device_status: int | None,
    message: str,
) -> KelvoError:
    """The exception for a failed call (the native module raises it)."""
    cls = _BY_CODE.get(error_code, _BY_HRESULT.get(hresult, KelvoError))
    if error_code is None:
        text = f"failed (hresult 0x{hresult:08X})"
    elif error_code == 1:
        text = f"device error 0x{device_status:08X}"
    else:
        text = f"error {error_code}"
    if message:
        text += f": {message}"
    return cls(
        operation,
        text,
        error_code=error_code,
        hresult=hresult,
        device_status=device_status,
        message=message,
    )


def argument_error(operation: str, text: str) -> ArgumentError:
    """An argument the package refuses before calling the component."""
    return ArgumentError(operation, text)


def result_error(operation: str, text: str) -> KelvoError:
    """A result the package cannot give as a Python value."""
    return KelvoError(operation, text)

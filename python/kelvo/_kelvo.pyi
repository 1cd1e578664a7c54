# The native module: the Kelvo object and the interface table it serves.
from typing import Any, Callable

class Device:
    """One Kelvo object: one connection to one device."""

    def __init__(self) -> None: ...
    def call(self, index: int, args: tuple[Any, ...]) -> Any:
        """Calls member `index` of members() with a tuple of Python values."""
    def bound_call(self) -> Callable[[int, tuple[Any, ...]], Any]:
        """call() of this device as a builtin function (the faster way in)."""

# (name, kind "method"|"get"|"put", dispatch id, interface, argument types,
#  result type, buffers as (buffer, length, filled)) per row, in interface order.
def members() -> list[
    tuple[str, str, int, str, tuple[int, ...], int, tuple[tuple[int, int, bool], ...]]
]: ...
def type_name(vt: int) -> str: ...
def scan(source: str, seconds: int) -> list[tuple[str, list[tuple[int, str]]]] | None: ...
def ping_json(text: str) -> str: ...

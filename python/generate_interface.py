"""Writes kelvo/_interface.py: one typed method per row of the interface table.

Run by the build after the native module: the rows come from the module itself
(members()), the argument names from the interface header. A new operation in
the table and the header appears in Python with the next build.

    generate_interface.py NATIVE_MODULE INTERFACE_HEADER OUTPUT
"""

from __future__ import annotations

import importlib
import keyword
import re
import sys
import types
from pathlib import Path

VT_BYREF = 0x4000
VT_UI1 = 17
VT_EMPTY = 0


def load_native(path: str):
    # An empty package "kelvo" over the module's folder: the native module is
    # imported alone, before the package's own Python files exist.
    package = types.ModuleType("kelvo")
    package.__path__ = [str(Path(path).parent)]
    sys.modules["kelvo"] = package
    return importlib.import_module("kelvo._kelvo")


def header_names(header: str) -> dict[str, list[str]]:
    """Parameter names of every interface method: {"get_Par": ["ipa", ...]}."""
    names = {}
    text = Path(header).read_text()
    for match in re.finditer(r"virtual\s+HRESULT\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;", text):
        params = [p.strip() for p in match.group(2).split(",") if p.strip()]
        names[match.group(1)] = [re.findall(r"\w+", p)[-1] for p in params]
    return names


def python_name(name: str) -> str:
    return name + "_" if keyword.iskeyword(name) else name


class Row:
    def __init__(self, index, native, names, fields):
        (self.name, self.kind, self.id, self.interface, self.args, self.result, buffers) = fields
        self.index = index
        self.buffers = {b[0]: (b[1], b[2]) for b in buffers}
        self.method = {"get": "get_", "put": "put_"}.get(self.kind, "") + self.name
        declared = names.get(self.method)
        if declared is None or len(declared) < len(self.args):
            raise SystemExit(f"{self.method}: no declaration with its arguments in the header")
        self.params = [python_name(n) for n in declared[: len(self.args)]]
        self.type = native.type_name

    def is_out(self, i: int) -> bool:
        vt = self.args[i]
        return bool(vt & VT_BYREF) and (i not in self.buffers or self.buffers[i][1])

    def annotation(self, i: int) -> str:
        vt = self.args[i]
        if vt == VT_BYREF | VT_UI1:
            return "bytes | None" if self.buffers[i][1] else "bytes"
        text = self.type(vt & ~VT_BYREF)
        if vt & VT_BYREF or text == "str":
            text += " | None"
        return text

    def outputs(self) -> list[tuple[str, str]]:
        out = []
        if self.result != VT_EMPTY:
            out.append(("result", self.type(self.result)))
        for i, vt in enumerate(self.args):
            if self.is_out(i):
                out.append((self.params[i], "bytes" if vt == VT_BYREF | VT_UI1 else self.type(vt)))
        return out

    def returns(self) -> str:
        out = [t for _, t in self.outputs()]
        if not out:
            return "None"
        return out[0] if len(out) == 1 else "tuple[" + ", ".join(out) + "]"

    def signature(self) -> str:
        # Trailing arguments the call writes may be left out.
        optional = len(self.args)
        while optional > 0 and self.is_out(optional - 1):
            optional -= 1
        params = []
        for i, name in enumerate(self.params):
            params.append(f"{name}: {self.annotation(i)}" + (" = None" if i >= optional else ""))
        return ", ".join(["self"] + params + (["/"] if params else []))

    def doc(self) -> str:
        title = {"get": "get ", "put": "put "}.get(self.kind, "") + self.name
        args = ", ".join(f"{n}: {self.annotation(i)}" for i, n in enumerate(self.params))
        lines = [f"{title}({args}) -> {self.returns()}", ""]
        lines.append(f"{self.interface} member, dispatch id 0x{self.id:08X}.")
        for i, name in enumerate(self.params):
            if i in self.buffers:
                length, filled = self.buffers[i]
                size = self.params[length] if length < len(self.params) else "0"
                lines.append(
                    f"{name}: {'filled by the call' if filled else 'sent'}, {size} bytes"
                    + (" (None: a new buffer)" if filled else "")
                )
            elif self.args[i] & VT_BYREF:
                lines.append(f"{name}: passed by reference (None: 0), returned after the call")
        if len(self.outputs()) > 1:
            lines.append("Returns (" + ", ".join(n for n, _ in self.outputs()) + ").")
        return "\n".join("        " + line if line else "" for line in lines).lstrip()

    def code(self) -> str:
        args = ", ".join(self.params) + ("," if len(self.params) == 1 else "")
        return (
            f"    def {self.method}({self.signature()}) -> {self.returns()}:\n"
            f'        """{self.doc()}\n        """\n'
            f"        return self._call({self.index}, ({args}))\n"
        )


def properties(rows: list[Row]) -> str:
    puts = {r.name: r for r in rows if r.kind == "put" and len(r.args) == 1}
    out = []
    for r in rows:
        if r.kind != "get" or r.args:
            continue
        out.append(
            f"    @property\n    def {r.name}(self) -> {r.returns()}:\n"
            f'        """{r.name} ({r.interface} property; dispatch id 0x{r.id:08X})."""\n'
            f"        return self._call({r.index}, ())\n"
        )
        put = puts.get(r.name)
        if put:
            out.append(
                f"    @{r.name}.setter\n"
                f"    def {r.name}(self, value: {put.annotation(0)}) -> None:\n"
                f"        self._call({put.index}, (value,))\n"
            )
    return "\n".join(out)


def main(native_path: str, header: str, output: str) -> None:
    native = load_native(native_path)
    names = header_names(header)
    rows = [Row(i, native, names, fields) for i, fields in enumerate(native.members())]
    lookup = ",\n".join(f"    ({r.kind!r}, {r.name.lower()!r}): {r.index}" for r in rows)
    text = (
        "# Generated by python/generate_interface.py from the interface table of the\n"
        "# native module and include/kelvo/kelvo.h. Do not edit: rebuild.\n"
        "from __future__ import annotations\n\n"
        "from typing import Any, Callable\n\n\n"
        "class InterfaceMembers:\n"
        '    """Every operation and property of the interface table, by its name.\n\n'
        "    Methods keep the interface names (Save_Command, ReadDataBlock, ...);\n"
        "    property accessors are get_NAME and put_NAME, and the properties that\n"
        "    take no index are Python properties too (dev.TimeOut = 2000).\n"
        '    """\n\n'
        "    _call: Callable[[int, tuple[Any, ...]], Any]\n\n"
        + "\n".join(r.code() for r in rows)
        + "\n"
        + properties(rows)
        + "\n\n# (kind, lower-case name) -> row of the interface table.\n"
        + "INDEX: dict[tuple[str, str], int] = {\n"
        + lookup
        + ",\n}\n"
    )
    Path(output).write_text(text)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])

"""Python values to and from every parameter type and argument type."""

import pytest

import kelvo

# type, built-in value of the simulator's parameter, a value to write, values
# out of the type's range.
TYPES = [
    ("i1", 0x1000, -5, (-128, 127), (-129, 128)),
    ("u1", 0x1001, 200, (0, 255), (-1, 256)),
    ("i2", 0x1002, -1234, (-32768, 32767), (-32769, 32768)),
    ("u2", 0x1003, 54321, (0, 65535), (-1, 65536)),
    ("i4", 0x1004, -123456, (-(2**31), 2**31 - 1), (-(2**31) - 1, 2**31)),
    ("u4", 0x1005, 3000000000, (0, 2**32 - 1), (-1, 2**32)),
    ("i8", 0x1008, -5000000000, (-(2**63), 2**63 - 1), (-(2**63) - 1, 2**63)),
    ("u8", 0x1009, 10**19, (0, 2**64 - 1), (-1, 2**64)),
    ("r4", 0x1006, 1.5, (-0.25, 2.0**127), (1e39,)),
    ("r8", 0x1007, -2.25, (1e308, -5e-324), ()),
    ("str", 0x100A, "Kelvo simulated drive", ("café ÿ", "x" * 255), ()),
]


@pytest.mark.parametrize("name,index,builtin,good,bad", TYPES, ids=[t[0] for t in TYPES])
def test_every_type_reads_writes_and_refuses_out_of_range(dev, name, index, builtin, good, bad):
    value = dev.read(index, 0, name)
    assert value == builtin and type(value) is type(builtin)
    assert dev.par[index, 0, kelvo.PARAMETER_TYPES[name]] == builtin
    for v in good:
        dev.par[index, 0, name] = v
        assert dev.read(index, 0, name) == v
    for v in bad:
        with pytest.raises(kelvo.ArgumentError, match="out of range"):
            dev.write(index, 0, name, v)
    dev.write(index, 0, name, builtin)


def test_auto_type_follows_the_value_length(dev):
    assert dev.par[0x1002, 0] == -1234
    assert dev.par[0x1004, 0] == -123456
    assert dev.par[0x1008, 0] == -5000000000
    with pytest.raises(kelvo.ArgumentError) as refused:  # one byte: no automatic type
        dev.par[0x1000, 0]
    assert refused.value.error_code == 3


LOOPED = []
LOOPED.append(LOOPED)  # a list that holds itself


@pytest.mark.parametrize(
    "call,match",
    [
        (lambda d: d.read("0x1004"), "must be int, not str"),
        (lambda d: d.write(0x1004, 0, "i4", 1.5), "must be int, not 1.5"),
        (lambda d: d.put_Par(0x1004, 0, 3, 1.5j), "cannot be passed as a variant"),
        (lambda d: d.read(0x1004, 0, "float"), "none of"),
        (lambda d: d.get("Par", 0x1004, 0), "takes 3 arguments, 2 given"),
        (lambda d: d.ReadDataBlock(0, 0, 0, 0, 0, 4, b"12"), "holds 2 bytes"),
        (lambda d: d.ReadPushData(None, 2**31), "must be 0 to"),
        (lambda d: d.WriteDataBlock(1, 2, 3, 4, 0, 2, None), "needs the bytes"),
        (lambda d: d.par[0x1004], "dev.par"),
        (lambda d: d.get("NoSuchThing"), "no get member"),
        (lambda d: d.PacketVARIANT(1, LOOPED, 0, 0), "deeper"),
    ],
)
def test_bad_arguments_raise_before_anything_is_sent(dev, call, match):
    with pytest.raises(kelvo.ArgumentError, match=match):
        call(dev)
    assert dev.read(0x1004, 0, "i4") == -123456  # still usable


def test_variants_arrays_and_buffers_in_and_out(dev):
    # A list goes as an array of variants, bytes as a byte array.
    assert dev.PacketVARIANT(1, [1, "2", 3], 3, 0x2011) == bytes(3)
    assert dev.PacketVARIANT(1, b"\x01\x02", 2, 0) == [0, 0]
    data = bytes(range(10, 30))
    dev.write_block(1, 2, 3, 4, 8, data)
    assert dev.read_block(1, 2, 3, 4, 8, len(data)) == data
    assert dev.ReadDataBlock(1, 2, 3, 4, 8, 2) == data[:2]  # the buffer left out
    assert dev.permissions("admin") == kelvo.Permissions(1, 2**64 - 1)


@pytest.mark.parametrize("args", [(), (object(),) * 8, (None,) * 8, (0,) * 8, (-1,) * 8])
def test_any_member_with_any_arguments_raises_or_answers(args):
    # An unconnected object: every member of the table, arguments of every
    # count and kind; no crash, only results or KelvoError / TypeError.
    dev = kelvo.Device()
    for index, (name, kind, *_rest) in enumerate(kelvo._kelvo.members()):
        if name == "Config":  # a window
            continue
        for count in range(len(args) + 1):
            try:
                dev._call(index, args[:count])
            except (kelvo.KelvoError, TypeError):
                pass

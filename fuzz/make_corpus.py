#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small valid inputs, one file
each, into fuzz/corpus/<target>/. Run it again after changing an input layout
of a target; inputs the fuzzers found are kept as they are (other names)."""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def text(s):
    b = s.encode("latin-1")
    assert len(b) < 128
    return u8(len(b)) + b


def crc16(data, crc=0xFFFF):
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def frame(status, data=b"", counter=0):
    return u8(0) + u16(counter) + u8(2 + len(data)) + u16(status) + data


def answers(*frames):
    return b"".join(u16(len(f)) + f for f in frames)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- operations

TCP = 2 | 4          # answers, frame counter written by the transport
SERIAL = 1 | 2 | 4 | 8  # the same on a serial link with a correct envelope
TYPES = {"empty": 0, "i1": 1, "ui1": 2, "i2": 3, "ui2": 4, "i4": 5, "ui4": 6, "r4": 7,
         "r8": 8, "i8": 9, "ui8": 10, "bstr": 11}


def op(index, args, device, flags=TCP, flags2=0):
    return u8(index) + u8(flags) + u8(flags2) + u8(len(args)) + args + device


def operations():
    t = "operations"
    read_ok = lambda value: frame(0x0210, b"\0\0\0" + u8(len(value)) + value)
    for mode, flags in (("tcp", TCP), ("serial", SERIAL)):
        write(t, f"get_par_i4_{mode}", op(0, u8(TYPES["i4"]) + u32(100) + u32(1),
                                         answers(read_ok(u32(0x12345678))), flags))
        write(t, f"put_par_r8_{mode}", op(1, u8(TYPES["r8"]) + u32(7) + u32(0) + u8(TYPES["r8"]) +
                                         u64(0x400921FB54442D18), answers(frame(0x0220)), flags))
        write(t, f"save_{mode}", op(3, u8(0), answers(frame(0x30E0)), flags))
        write(t, f"ping_{mode}", op(15, u16(2000), answers(frame(
            0x0110, u8(2) + u8(1) + u32(0x00030004) + u8(4) + u32(5) +
            u8(2) + u32(0x00070009) + u8(3) + b"abc")), flags))
    write(t, "get_par_bstr", op(0, u8(TYPES["bstr"]) + u32(3) + u32(0), answers(read_ok(b"name\0"))))
    write(t, "get_par_empty_i8", op(0, u8(TYPES["empty"]) + u32(3) + u32(0), answers(read_ok(u64(-2)))))
    write(t, "get_par_relogin", op(0, u8(TYPES["ui2"]) + u32(9) + u32(0), answers(
        frame(0x0211, b"\0\0\0\4" + u32(0x15000002)), frame(0x3010, u8(2) + b"fz"),
        read_ok(u16(77))), TCP | 32))
    write(t, "get_par_device_error", op(0, u8(TYPES["i2"]) + u32(9) + u32(0),
                                        answers(frame(0x0211, b"\0\0\0\4" + u32(0x0A000001)))))
    write(t, "put_par_bstr", op(1, u8(TYPES["bstr"]) + u32(7) + u32(0) + u8(TYPES["bstr"]) +
                                u64(0) + u16(5) + text("hello"), answers(frame(0x0220))))
    write(t, "put_par_bstr_255", op(1, u8(TYPES["bstr"]) + u32(7) + u32(0) + u8(TYPES["bstr"]) +
                                    u64(0) + u16(255) + text("abc"), answers(frame(0x0220))))
    write(t, "put_par_ram_i2_from_bstr", op(1, u8(TYPES["i2"]) + u32(7) + u32(0) + u8(TYPES["bstr"]) +
                                            u64(0) + u16(5) + text(" -12 "), answers(frame(0x0320)),
                                            TCP | 16))
    write(t, "typed_get_float", op(2, u8(1) + u16(5) + u8(0) + u32(0) + u16(5) + u8(0),
                                   answers(read_ok(u32(0x3F800000)))))
    write(t, "typed_put_word", op(2, u8(7) + u16(5) + u8(0) + u32(0xBEEF), answers(frame(0x0220))))
    write(t, "reset", op(3, u8(1), answers(frame(0x0410, u8(0x5A)))))
    write(t, "restore", op(3, u8(2) + u32(0x1234), answers(frame(0x0420, u8(0)))))
    write(t, "delete_error_log_error", op(3, u8(3), answers(frame(0x0431, u8(4) + u32(0x0B000001)))))
    write(t, "reset_error", op(3, u8(4) + u8(3), answers(frame(0x04C0))))
    record = u32(1) + u32(0x99) + u16(0x1234) + b"ab\0\0" + b"\x11" * 10
    write(t, "read_error_log", op(4, u16(0x0102) + u8(0), answers(
        frame(0x04B0, u16(0x0102) + b"\xEE" + u8(1) + u8(10) + record[:10]),
        frame(0x04B0, u16(0x0102) + b"\xEE" + u8(0) + u8(len(record) - 10) + record[10:]))))
    block = lambda rt, length: u8(rt) + u8(1) + u16(2) + u32(3) + u32(4) + u8(length)
    write(t, "read_data_block", op(5, block(0, 4), answers(frame(0x1030, u32(4) + b"\x09\x08\x07\x06"))))
    write(t, "write_data_block", op(6, block(0, 3) + b"xyz", answers(frame(0x1040))))
    write(t, "write_data_block_error", op(6, block(0, 0), answers(frame(0x0221, b"\4" + u32(0x0B000001)))))
    write(t, "safe_data_write", op(7, u8(0) + bytes(range(40)), answers(frame(0x5010))))
    write(t, "safe_data_read", op(8, b"", answers(frame(0x5020, bytes(range(0x80, 0xA8))))))
    write(t, "read_safe_object", op(9, u16(0x2000) + u8(1), answers(frame(0x5030, b"\xFF" * 4 + u32(300)))))
    write(t, "read_ssc_buffer", op(10, u32(16) + u8(3), answers(frame(0x1010, b"\3\xC1\xC2\xC3"))))
    write(t, "push_data_command", op(11, u8(1) + u32(2) + u8(5) + u64(7), answers(frame(0x1020, u8(9)))))
    write(t, "push_data_command_serial", op(11, u8(0) + u32(1) + u8(0) + u64(0), b"", SERIAL))
    write(t, "read_push_data_serial", op(12, u16(8), bytes(range(8)), 1))
    write(t, "get_all_users", op(13, u8(0) + text("") + text(""), answers(
        frame(0x30A0, u8(2) + text("admin") + text("op")))))
    write(t, "change_password_user", op(13, u8(1) + text("old") + text("new"),
                                        answers(frame(0x3020, text("fz"))), TCP | 32))
    write(t, "change_password_admin", op(13, u8(2) + text("bob") + text("pw"), answers(frame(0x3030, text("bob")))))
    write(t, "create_user", op(13, u8(3) + text("abc") + text("pw"), answers(frame(0x3040, text("abc")))))
    write(t, "delete_user", op(13, u8(4) + text("abc") + text(""), answers(frame(0x3050, text("abc")))))
    write(t, "get_permissions", op(13, u8(5) + text("op") + text(""), answers(
        frame(0x3060, text("op") + u8(3) + u32(0x80000001) + u32(1)))))
    write(t, "set_permissions", op(13, u8(6) + text("op") + text("") + u8(3) + u8(4) + u8(0) +
                                   b"\x03\x01\x02\x03", answers(frame(0x3070, text("op")))))
    write(t, "get_admin_key", op(14, u8(0), answers(frame(0x30B0, bytes(range(192))))))
    write(t, "reset_admin_password", op(14, u8(1) + text("0A1b2C"), answers(frame(0x30C0))))
    write(t, "create_certificate", op(14, u8(2) + u32(1700000000) + u32(1800000000), answers(frame(0x04A0))))
    write(t, "packet_variant", op(16, u16(5) + u8(1 | (1 << 2)) + u8(3) + u16(4) +
                                  u8(0) + u8(1) + u8(1) + u32(2) + u8(3) + text("3"), b""))
    write(t, "packet_bytes", op(16, u16(5) + u8(0 | (2 << 2)) + u8(2) + u16(2) + b"\1\2", b""))
    write(t, "certificate_date", op(17, u8(1) + u32(1700000000) + u8(0), b""))
    write(t, "init_login", op(18, text("admin") + text("secret") + u8(0) + u16(3000),
                              answers(frame(0x3010, text("admin")))))
    write(t, "close_logout", op(19, b"", answers(frame(0x3090, u8(0)))))


# ---------------------------------------------------------------- the other targets

def connection_text():
    t = "connection_text"
    seeds = {
        "com": (0, "COM:3"), "com_baud": (0, "COM:3,115200"), "com_zero": (0, "COM:0"),
        "com_257": (0, "COM:257"), "tcp_ssl": (0, "TCPIP:10.0.0.7/1234,3000,SSL"),
        "tcp_two_items": (0, "TCPIP:10.0.0.7/1234"), "device_com": (0, "Kelvo:7,2000,3#COM:1"),
        "three_pieces": (0, "A#B#C"), "ignored_third": (0, "Kelvo:1,500,2#COM:4#x"),
        "login": (0, "Kelvo:255,10000,0,admin,5A7C#TCPIP:host/17221,5000"),
        "remembered": (1, "COM:3"), "sock": (0, "SOCK:name_COM,3"),
        "host_not_found": (4, "TCPIP:nowhere/1,100"), "refused": (12, "TCPIP:host/1,100"),
    }
    for name, (flags, s) in seeds.items():
        write(t, name, u8(flags) + s.encode("latin-1"))
    write(t, "utf16", u8(2) + "Kelvo:1,2,3,\u00e9\u20ac,41#COM:2".encode("utf-16-le"))


def message_file():
    t = "message_file"
    with open(os.path.join(HERE, "..", "data", "Kelvo.ERR"), "rb") as f:
        write(t, "kelvo_err", f.read())
    write(t, "same_key", b"[ERR]\n0x1500000E,first\n352321550,second\n")
    write(t, "quoted_comma", b"[ERR]\n1,\"text, with comma\"\n*x,star\n010,octal\n")
    write(t, "no_last_line_feed", b"[ERR]\n1,one\n2,two")
    write(t, "before_section", b"1,one\n[ERR]\n")
    write(t, "crlf_and_sections", b"[A]\r\n1,a\r\n\r\n[ERR]\r\n-5,minus\r\n[A]\n2,b\n")
    write(t, "longest_line", b"[ERR]\n1," + b"x" * 252 + b"\n")
    write(t, "too_long_line", b"[ERR]\n1," + b"x" * 253 + b"\n")
    write(t, "bad_section", b"[ERR\n1,x\n")
    write(t, "cp1252", b"[ERR]\n99999999999,\x80\xe4\xff\n")
    write(t, "quotes", b"[ERR]\n1,\"open\n2,close\"\n3,\"\"\"\n4,\"\n*,star\n")
    write(t, "no_comma", b"[ERR]\n1,one\nno comma\n2,two\n")
    write(t, "keys", b"[ERR]\n 7x,seven\n0xFFFFFFFF,big\n-99999999999,small\nabc,zero\n")
    write(t, "sections", b"[]\n1,none\n[err]\n1,lower\n")
    write(t, "empty", b"")


def error_log():
    t = "error_log"

    def desc(fields):
        xml = '<?xml version="1.0"?>\n<Record>\n <Group name="g">\n'
        for offset, typ in fields:
            xml += f"  <Element><Offset>{offset}</Offset><DataType>{typ}</DataType></Element>\n"
        return (xml + " </Group>\n</Record>\n").encode()

    def seed(flags, d, frame_size, record):
        return u8(flags) + u16(len(d)) + d + u8(frame_size) + record

    rec = lambda version, fields: u32(version) + u32(0x99) + fields
    all_types = [(0, "char"), (0, "unsignedChar"), (0, "boolean"), (0, "short"),
                 (0, "unsignedShort"), (0, "int"), (0, "unsignedInt"), (0, "float"),
                 (0, "long"), (0, "unsignedLong"), (0, "double"), (0, "string 8")]
    write(t, "all_types", seed(0, desc(all_types), 255, rec(26, b"\xfe\xff\xff\xffab\0\x7f")))
    write(t, "all_types_serial_frames", seed(1, desc(all_types), 5, rec(26, b"\x00\x00\xc0\x7fxyz\0")))
    write(t, "one_field", seed(0, desc([(0, "unsignedShort"), (2, "char")]), 255, rec(7, b"\x34\x12\xfe")))
    write(t, "bad_offset", seed(0, desc([(4, "int")]), 255, rec(7, b"\1\2\3\4")))
    write(t, "unknown_type", seed(0, desc([(0, "word")]), 255, rec(7, b"\1\2")))
    write(t, "no_fields", seed(0, b"<Record><Other/></Record>", 255, rec(7, b"")))
    write(t, "nested_text", seed(2, b"<R><Group><Element a='1'><Offset> 1<!--c--> </Offset><DataType>"
                                 b"<![CDATA[string 3]]></DataType></Element></Group></R>", 3,
                                 rec(7, b"\0\xc3\xa9x")))
    write(t, "short_record", seed(0, desc([]), 255, b"\1\0"))


def scan_answer():
    t = "scan_answer"

    def item(typ, value):
        return struct.pack(">HH", typ, len(value)) + value

    full = (item(1, b"\xc0\xa8\x01\x14") + item(2, b"\xff\xff\xff\0") + item(3, b"\xc0\xa8\1\1") +
            item(4, b"\x08\x08\x08\x08") + item(5, b"\1") + item(6, b"drive-1\0") +
            item(7, b"ser123") + item(8, u32(42)) + item(9, b"\0\x11\x22\x33\x44\x55") +
            item(10, u32(1700000000)) + item(11, b"\3") + item(99, b"zz"))
    write(t, "all_items", b"\2" + u8(12) + b"\0\0" + full)
    write(t, "cut_value", b"\2\2\0\0" + item(6, b"name") [:6])
    write(t, "short_values", b"\2\3\0\0" + item(1, b"\1\2") + item(9, b"\1") + item(8, b""))
    write(t, "request", b"\1\1\0\0" + item(10, u32(5)))
    write(t, "negative_count", b"\2\xff\0\0" + item(5, b"\1"))
    write(t, "long_text", b"\2\1\0\0" + item(7, b"t" * 150))


def ping_answer():
    t = "ping_answer"

    def item(key, typ, value):
        return u8(key) + u32(typ) + u8(len(value)) + value

    items = [item(1, 0x00000000, b""), item(2, 0x00000001, b"\1"), item(3, 0x00010002, b"\xff"),
             item(4, 0x00020003, u16(-2)), item(5, 0x00030004, u32(-5)), item(6, 0x00040005, b"\xfe"),
             item(7, 0x00050006, u16(65000)), item(8, 0x00060007, u32(4000000000)),
             item(9, 0x00070009, b"text\0more"), item(10, 0x0007FFFF, b"t2"),
             item(11, 0x0008FFFF, u32(7)), item(12, 0x00100015, u64(-9)),
             item(13, 0x0011001B, u64(2**63)), item(14, 0x00120008, u32(0x3FC00000)),
             item(15, 0xFFFF0011, u64(0x7FEFFFFFFFFFFFFF)), item(16, 0xFFFF0100, b""),
             item(17, 0xFFFF0101, b""), item(18, 0xFFFFFFFF, b"x"), item(19, 0x12345678, b"\1")]
    answer = frame(0x0110, u8(len(items)) + b"".join(items))
    write(t, "all_types", u8(0) + u16(3000) + answer)
    write(t, "all_types_serial", u8(1) + u16(500) + answer)
    write(t, "no_items", u8(0) + u16(20000) + frame(0x0110, u8(0)))
    write(t, "short_value", u8(5) + u16(1000) + frame(0x0110, u8(1) + item(1, 0x00030004, b"\5")))
    write(t, "device_error", u8(1) + u16(1000) + frame(0x0111, u8(4) + u32(0x0C000001)))


def decrypt_password():
    t = "decrypt_password"
    for name, s in {"empty": "", "odd": "A", "one": "5A", "word": "8D8C8B", "blanks": " 1+2",
                    "not_hex": "zz", "lower": "a5b6"}.items():
        write(t, name, u8(0) + s.encode("latin-1"))
    write(t, "wide", u8(1) + "\u00e9\u20ac1A".encode("utf-16-le"))


def variant_change_type():
    t = "variant_change_type"
    targets = ["i1", "ui1", "i2", "ui2", "i4", "ui4", "i8", "ui8", "r4", "r8", "bool", "bstr",
               "int", "uint", "empty", "null", "cy", "date", "error", "decimal"]
    seeds = [("i4", 0, "12.7"), ("i1", 0, "2.5"), ("i1", 0, " -128 "), ("ui1", 0, "-0.4"),
             ("bool", 1, "TRUE"), ("bool", 0, "false"), ("i4", 0, "1e10"), ("r4", 0, "3.4028236e38"),
             ("i2", 0, "x"), ("ui8", 0, "18446744073709551615"), ("i8", 2, "-9223372036854775808"),
             ("r8", 4, "0.1"), ("bstr", 0, "text"), ("uint", 0, "+4294967295"), ("r8", 0, "1e-320")]
    for i, (name, flags, s) in enumerate(seeds):
        write(t, f"{i:02d}_{name}", u8(targets.index(name)) + u8(flags) + s.encode("latin-1"))
    write(t, "utf16", u8(targets.index("r8")) + u8(8) + "\u00a0 1.5".encode("utf-16-le"))


def invoke():
    t = "invoke"
    declared = 0x80
    i4, bstr, r8 = 6, 18, 13

    def num(v):
        return u8(declared) + u64(v)

    def txt(s, type_byte=declared):
        return u8(type_byte) + u8(0) + u8(len(s)) + s.encode("latin-1")

    method, get, put, named = 1, 2, 4, 32
    read_answer = frame(0x0210, u16(0x1004) + u8(0) + u8(4) + u32(123456))
    write(t, "get_par", u32(0x60020015) + u8(get) + u8(0) + num(0x1004) + num(0) + num(3)
          + answers(read_answer))
    write(t, "put_par_named", u32(0x60020015) + u8(put | named) + u8(0) + num(0x1004) + num(0)
          + num(3) + u8(declared | i4) + u64(77) + answers(frame(0x0220)))
    write(t, "put_par_real", u32(0x60020015) + u8(put | named) + u8(0) + num(0x1004) + num(0)
          + num(3) + u8(declared | r8) + u64(0x4045000000000000) + answers(frame(0x0220)))
    write(t, "put_timeout", u32(0x60020008) + u8(put | named) + u8(0) + num(500))
    write(t, "get_error_string", u32(0x6002000C) + u8(get) + u8(0))
    write(t, "encrypt_password", u32(0x10) + u8(method) + u8(0) + txt("secret"))
    write(t, "permissions", u32(0x0A) + u8(method) + u8(0) + txt("admin"))
    write(t, "save", u32(0x15) + u8(method) + u8(0) + answers(frame(0x30E0)))
    write(t, "safe_data_write", u32(0x16) + u8(method) + u8(0) + u8(declared) + u8(4) + b"\1\2\3\4")
    write(t, "mismatch", u32(0x60020015) + u8(get) + u8(0) + txt("x", bstr) + num(0) + num(3))
    write(t, "by_reference", u32(0x60020015) + u8(get) + u8(0x83) + u8(0x40 | i4) + u8(0x40 | bstr)
          + u8(0x40 | 21))
    write(t, "unknown_member", u32(0x12345678) + u8(method | get) + u8(0x82) + u8(i4) + u64(1)
          + u8(bstr) + u8(1))


def main():
    operations()
    connection_text()
    message_file()
    error_log()
    scan_answer()
    ping_answer()
    decrypt_password()
    variant_change_type()
    invoke()
    return 0


if __name__ == "__main__":
    sys.exit(main())

// Parameter read and write and the typed accessors, byte for byte against the
// scripted transport, in TCP and in serial mode.
#include "operations/answers.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace kelvo::test {
namespace {

constexpr std::uint32_t kLoginRequired = 0x15000002;

// Read answer: 3 filler bytes, the value length and the value; write answers:
// the header alone, or the 8 error bytes (code in 4-7); login answer: the user
// name echoed.
Bytes ReadAnswer(std::uint16_t counter, const Bytes& value, std::uint16_t status = 0x0210) {
    return AnswerFrame(counter, status,
                       Concat({0, 0, 0, static_cast<std::uint8_t>(value.size())}, value));
}
Bytes ReadDeviceError(std::uint16_t counter, std::uint32_t code) {
    return AnswerFrame(counter, 0x0211, Concat({0, 0, 0, 4}, Le32(code)));
}
Bytes WriteDeviceError(std::uint16_t counter, std::uint32_t code) {
    return AnswerFrame(counter, 0x0221, Concat({0xAA, 0xBB, 0xCC, 0x04}, Le32(code)));
}
Bytes LoginAnswer(std::uint16_t counter, const std::string& user) {
    return AnswerFrame(counter, 0x3010, Counted(user));
}

// The value of a VARIANT as "type:value" text, for table comparisons.
std::string Text(const VARIANT& v) {
    const std::pair<VARTYPE, const char*> names[] = {
        {VT_I1, "i1"}, {VT_UI1, "ui1"}, {VT_I2, "i2"},   {VT_UI2, "ui2"},
        {VT_I4, "i4"}, {VT_UI4, "ui4"}, {VT_R4, "r4"},   {VT_R8, "r8"},
        {VT_I8, "i8"}, {VT_UI8, "ui8"}, {VT_BSTR, "str"}};
    Variant text;
    for (const auto& [vt, name] : names) {
        if (v.vt == vt && SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR)))
            return name + (":" + Utf16ToUtf8(BstrView(text.bstrVal)));
    }
    return "vt " + std::to_string(v.vt);
}

// Real values to write.
VARIANT Real(double value) {
    return VariantOf(VT_R8, std::bit_cast<std::int64_t>(value));
}

// ---- Requests and answers ----

// get_Par rendered as "type:value"; a failure leaves the VARIANT empty.
Call Read(LONG ipa, LONG sub, SHORT type, bool eeprom = true) {
    return [=](CKelvo* k, std::string& result) {
        k->eepromAccess = eeprom;
        Variant v;
        const HRESULT hr = k->get_Par(ipa, sub, type, &v);
        if (FAILED(hr)) {
            EXPECT_EQ(v.vt, VT_EMPTY);
            return hr;
        }
        result = Text(v);
        return hr;
    };
}
Call Write(LONG ipa, SHORT type, VARIANT value, bool eeprom = true) {
    return [=](CKelvo* k) {
        k->eepromAccess = eeprom;
        return k->put_Par(ipa, 7, type, value);
    };
}

// A read of index 0x1234 subindex 7 answered with `value`: 3 filler bytes and
// the value length before it. A success leaves the last error code.
ExchangeRow ReadRow(const char* name, SHORT type, const Bytes& value, const char* expected) {
    const Bytes answer = Concat({0, 0, 0, static_cast<std::uint8_t>(value.size())}, value);
    ExchangeRow row{name, Read(0x1234, 7, type), "21 00 00 05 01 02 34 12 07", answer, expected};
    row.trace = {"CKelvo::get_Par (ipa 4660 subidx 7 type " + std::to_string(type) + ")"};
    row.errorCode = 9;
    return row;
}
ExchangeRow WriteRow(const char* name, Call call, std::string request, Links links = Links::Both) {
    return {name, call, request, {}, "", {}, links, 9};
}

// The index goes out as its low 16 bits, the subindex as its low byte; a write
// refuses an index above 65535 (see the refusals) but sends a negative one.
// A string's length byte is the frame's too, so it wraps above 249 bytes.
// clang-format off
const ExchangeRow kExchanges[] = {
    ReadRow("I1", VT_I1, {0xFF, 0x01}, "i1:-1"),
    ReadRow("UI1", VT_UI1, {0xFF}, "ui1:255"),
    ReadRow("I2KeepsTwoOfFour", VT_I2, {0x34, 0x12, 0x56, 0x78}, "i2:4660"),
    ReadRow("I2Negative", VT_I2, {0xFE, 0xFF}, "i2:-2"),
    ReadRow("UI2", VT_UI2, {0xFF, 0xFF}, "ui2:65535"),
    ReadRow("I4FromTwoBytes", VT_I4, {0x34, 0x12}, "i4:4660"),
    ReadRow("I4", VT_I4, {0xFF, 0xFF, 0xFF, 0xFF}, "i4:-1"),
    ReadRow("UI4", VT_UI4, {0xFF, 0xFF, 0xFF, 0xFF}, "ui4:4294967295"),
    ReadRow("R4", VT_R4, F32(1.5f), "r4:1.5"),
    ReadRow("R8", VT_R8, F64(-2.25), "r8:-2.25"),
    ReadRow("I8", VT_I8, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "i8:-2"),
    ReadRow("UI8", VT_UI8, {0, 0, 0, 0, 0, 0, 0, 0x80}, "ui8:9223372036854775808"),
    ReadRow("UI8FromOneByte", VT_UI8, {0x07}, "ui8:7"),
    ReadRow("EmptyValueReadsZero", VT_UI4, {}, "ui4:0"),
    ReadRow("AutoTwo", VT_EMPTY, {0x01, 0x80}, "i2:-32767"),
    ReadRow("AutoFour", VT_EMPTY, {0x78, 0x56, 0x34, 0x12}, "i4:305419896"),
    ReadRow("AutoEight", VT_EMPTY, {1, 0, 0, 0, 1, 0, 0, 0}, "i8:4294967297"),
    ReadRow("String", VT_BSTR, {'a', 'b', 'c'}, "str:abc"),
    ReadRow("StringEndsAtZero", VT_BSTR, {'a', 0, 'c'}, "str:a"),
    ReadRow("StringEmpty", VT_BSTR, {}, "str:"),
    ReadRow("StringAnsiCodePage", VT_BSTR, {'c', 'a', 'f', 0xE9}, "str:caf\xC3\xA9"),
    {"ReadRam", Read(0x1234, 7, VT_I2, false), "21 00 00 05 01 03 34 12 07",
     {0, 0, 0, 2, 1, 0}, "i2:1", {}, Links::Both, 9},
    {"ReadIndexLowBits", Read(0x12345, 0x1FF, VT_UI1), "21 00 00 05 01 02 45 23 ff",
     {0, 0, 0, 1, 1}, "ui1:1", {"CKelvo::get_Par (ipa 74565 subidx 511 type 17)"}, Links::Both, 9},
    WriteRow("WriteIndex65535", [](CKelvo* k) { return k->put_ParDWord(65535, 0, 1); },
     "21 00 00 0a 02 02 ff ff 00 04 01 00 00 00"),
    WriteRow("WriteIndexNegative", [](CKelvo* k) { return k->put_ParDWord(-1, 0, 1); },
     "21 00 00 0a 02 02 ff ff 00 04 01 00 00 00"),
    WriteRow("WriteIndex0", [](CKelvo* k) { return k->put_ParDWord(0, 0, 1); },
     "21 00 00 0a 02 02 00 00 00 04 01 00 00 00"),
    WriteRow("String249", Write(1, VT_BSTR, Str(std::u16string(249, u'x').c_str())),
     "21 00 00 ff 02 02 01 00 07 f9" + Repeated(" 78", 249)),
    WriteRow("String250", Write(1, VT_BSTR, Str(std::u16string(250, u'x').c_str())),
     "21 00 00 00 02 02 01 00 07 fa" + Repeated(" 78", 250)),
    WriteRow("String255", Write(1, VT_BSTR, Str(std::u16string(255, u'x').c_str())),
     "21 00 00 05 02 02 01 00 07 ff" + Repeated(" 78", 255)),
    // The typed setters send their type without conversion; a word is cut to 16 bits.
    WriteRow("Word", [](CKelvo* k) { return k->put_ParWord(1, 0, 0x12345); },
     "21 00 00 08 02 02 01 00 00 02 45 23"),
    WriteRow("WordNegative", [](CKelvo* k) { return k->put_ParWord(1, 0, -1); },
     "21 00 00 08 02 02 01 00 00 02 ff ff"),
    WriteRow("Int", [](CKelvo* k) { return k->put_ParInt(1, 0, -2); },
     "21 00 00 08 02 02 01 00 00 02 fe ff"),
    WriteRow("DWord", [](CKelvo* k) { return k->put_ParDWord(1, 0, -1); },
     "21 00 00 0a 02 02 01 00 00 04 ff ff ff ff"),
    WriteRow("Float", [](CKelvo* k) { return k->put_ParFloat(1, 0, 1.5f); },
     "21 00 00 0a 02 02 01 00 00 04 00 00 c0 3f"),
};
// clang-format on

TEST(Parameters, RequestIsExactAndTheValueConverted) {
    ExpectExchanges(kExchanges);
}

// ---- Re-login ----

// A refusal for want of a login logs in with the stored credentials once and
// repeats the request once; the code of the first answer stays.
TEST(Relogin, LogsInOnceAndRepeatsOnce) {
    const std::string login = "00 01 00 0d 01 30 03 62 6f 62 06 73 65 63 72 65 74";
    const std::string read = "00 00 00 05 01 02 05 00 02", readAgain = "00 02 00 05 01 02 05 00 02";
    // Written with the type inferred from the value, or converted from the caller's text.
    const Call put = [](CKelvo* k) {
        return k->put_Par(5, 2, VT_EMPTY, VariantOf(VT_UI2, 0xBEEF));
    };
    const Call putText = [](CKelvo* k) { return k->put_Par(5, 2, VT_I4, Str(u"12")); };
    const std::string write = "00 00 00 08 02 02 05 00 02 02 ef be";
    const std::string writeText = "00 00 00 0a 02 02 05 00 02 04 0c 00 00 00";
    const Bytes refusal = ReadDeviceError(0, kLoginRequired),
                writeRefusal = WriteDeviceError(0, kLoginRequired);
    struct Case {
        const char* name;
        Call call;
        std::vector<Bytes> answers;
        HRESULT hr;
        int code;
        std::vector<std::string> writes;
        std::string result = "";
        std::vector<std::string> trace = {}; // empty: not compared
    };
    // clang-format off
    const Case cases[] = {
        {"read", Read(5, 2, VT_I2), {refusal, LoginAnswer(1, "bob"), ReadAnswer(2, {0x2A, 0})},
         S_OK, 1, {read, login, readAgain}, "i2:42",
         {"CKelvo::get_Par (ipa 5 subidx 2 type 2)", "CKelvo::get_Par fail 8 (352321538)",
          "CKelvo::Login (bob secret)", "CKelvo::get_Par (ipa 5 subidx 2 type 2)"}},
        {"read refused again", Read(5, 2, VT_I2),
         {refusal, LoginAnswer(1, "bob"), ReadDeviceError(2, kLoginRequired),
          LoginAnswer(3, "bob")},
         E_FAIL, 1, {read, login, readAgain}},
        {"login fails", Read(5, 2, VT_I2), {refusal, LoginAnswer(1, "eve")},
         E_FAIL, 11, {read, login}},  // wrong user echoed
        {"write", put, {writeRefusal, LoginAnswer(1, "bob"), AnswerFrame(2, 0x0220)},
         S_OK, 1, {write, login, "00 02" + write.substr(5)}},
        {"write refused again", putText,
         {writeRefusal, LoginAnswer(1, "bob"), WriteDeviceError(2, kLoginRequired)},
         E_FAIL, 1, {writeText, login, "00 02" + writeText.substr(5)}},
    };
    // clang-format on
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ConnectedKelvo c;
        c.kelvo->userName = u"bob";
        c.kelvo->password = u"secret";
        for (const Bytes& answer : tc.answers)
            c.transport->Answer(answer);
        TraceCapture trace;
        std::string result;
        EXPECT_EQ(tc.call(c.kelvo, result), tc.hr);
        EXPECT_EQ(result, tc.result);
        EXPECT_EQ(c.kelvo->errorCode, tc.code);
        EXPECT_EQ(c.kelvo->deviceStatus, kLoginRequired);
        std::vector<std::string> writes;
        for (const Bytes& w : c.transport->writes)
            writes.push_back(Hex(w));
        EXPECT_EQ(writes, tc.writes);
        EXPECT_EQ(c.transport->Count("Lock"), c.transport->Count("Unlock"));
        EXPECT_EQ(c.transport->lockDepth, 0);
        if (!tc.trace.empty()) {
            EXPECT_EQ(trace.lines, tc.trace);
        }
    }
}

// ---- Write ----

struct WriteTypeCase {
    const char* name;
    VARIANT value; // holds no resource but an Owned text
    SHORT type;
    const char* valueBytes; // value length byte and value, hex
};

const WriteTypeCase kWriteTypes[] = {
    {"TextTwelveAsI4", Str(u"12"), VT_I4, "04 0c 00 00 00"},
    {"I1", VariantOf(VT_I1, -2), VT_I1, "01 fe"},
    {"UI1FromI4", VariantOf(VT_I4, 200), VT_UI1, "01 c8"},
    {"I2", VariantOf(VT_I2, -2), VT_I2, "02 fe ff"},
    {"UI2", VariantOf(VT_UI2, 0xBEEF), VT_UI2, "02 ef be"},
    {"I4", VariantOf(VT_I4, 0x12345678), VT_I4, "04 78 56 34 12"},
    {"UI4", VariantOf(VT_UI4, 0xFFFFFFFF), VT_UI4, "04 ff ff ff ff"},
    {"R4FromText", Str(u"1.5"), VT_R4, "04 00 00 c0 3f"},
    {"R8", Real(-2.25), VT_R8, "08 00 00 00 00 00 00 02 c0"},
    {"I8", VariantOf(VT_I8, -2), VT_I8, "08 fe ff ff ff ff ff ff ff"},
    {"UI8", VariantOf(VT_UI8, 0x0102030405060708), VT_UI8, "08 08 07 06 05 04 03 02 01"},
    {"RealRoundsHalfToEven", Real(2.5), VT_I2, "02 02 00"},
    {"NumberAsString", VariantOf(VT_I4, -12), VT_BSTR, "03 2d 31 32"},
    {"String", Str(u"abc"), VT_BSTR, "03 61 62 63"},
    {"StringAnsiCodePage", Str(u"caf\u00e9"), VT_BSTR, "04 63 61 66 e9"},
    {"AutoFromI4", VariantOf(VT_I4, 1), VT_EMPTY, "04 01 00 00 00"},
    {"AutoFromString", Str(u"hi"), VT_EMPTY, "02 68 69"},
    {"AutoFromR4", VariantOf(VT_R4, std::bit_cast<std::uint32_t>(-1.0f)), VT_EMPTY,
     "04 00 00 80 bf"},
};

// EEPROM writes over TCP, RAM writes over a serial link.
TEST(Parameters, WriteConvertsAndSendsTheValueBytes) {
    std::vector<ExchangeRow> rows;
    for (const WriteTypeCase& tc : kWriteTypes) {
        const std::size_t length = FromHex(tc.valueBytes).size();
        for (bool eeprom : {true, false}) {
            char head[40];
            std::snprintf(head, sizeof head, "21 00 00 %02zx 02 %02x 34 12 07 ", 5 + length,
                          eeprom ? 2 : 3);
            rows.push_back(WriteRow(tc.name, Write(0x1234, tc.type, tc.value, eeprom),
                                    head + std::string(tc.valueBytes),
                                    eeprom ? Links::Tcp : Links::Serial));
        }
    }
    ExpectExchanges(rows);
}

RefusalRow PutRefusal(const char* name, LONG ipa, SHORT type, VARIANT value, int code,
                      const char* last = nullptr) {
    std::vector<std::string> trace{"CKelvo::put_Par (ipa " + std::to_string(ipa) +
                                   " subidx 7 type " + std::to_string(type) + ")"};
    if (last)
        trace.push_back(last);
    return {name, Write(ipa, type, value), E_FAIL, code, trace};
}

// Refused before the port is touched; the error code 42 is left as it was.
// clang-format off
const RefusalRow kRefusals[] = {
    PutRefusal("BoolWithType0", 1, VT_EMPTY, VariantOf(VT_BOOL, VARIANT_TRUE), 3),
    PutRefusal("BoolAsBool", 1, VT_BOOL, VariantOf(VT_BOOL, VARIANT_TRUE), 3),
    PutRefusal("NullWithType0", 1, VT_EMPTY, VariantOf(VT_NULL, 0), 3),
    PutRefusal("Index65536", 65536, VT_I4, VariantOf(VT_I4, 1), 9,
     "CKelvo::put_Par fail 7 (max ipa is 65535, used ipa is 65536)"),
    PutRefusal("StringOf256", 1, VT_BSTR, Str(std::u16string(256, u'y').c_str()), 10),
    PutRefusal("StringOf256BeforeIndex", 70000, VT_BSTR,
     Str(std::u16string(256, u'y').c_str()), 10),
    PutRefusal("EmptyString", 1, VT_BSTR, Str(u""), 3),
    PutRefusal("EmptyStringType0", 1, VT_EMPTY, Str(u""), 3),
    PutRefusal("NotANumber", 1, VT_I4, Str(u"abc"), 42),
    PutRefusal("Overflow", 1, VT_UI1, VariantOf(VT_I4, 300), 42),
    PutRefusal("UnknownType", 1, 999, VariantOf(VT_I4, 1), 42),
    {"ReadNoResult", [](CKelvo* k) { return k->get_Par(1, 0, VT_UI1, nullptr); },
     E_POINTER, 42, {}},
    {"IntNoResult", [](CKelvo* k) { return k->get_ParInt(1, 0, nullptr); }, E_POINTER, 42, {}},
};
// clang-format on

TEST(Parameters, RefusalTouchesNoPort) {
    ExpectRefusals(kRefusals);
}

// ---- Failures of the steps the parameter exchanges own ----
// The shared ones are the save's in tests/protocol, and the fault matrix runs
// every fault of kelvo-sim on every read of GetPar and PutPar.

const std::string kGet = "CKelvo::get_Par ", kPut = "CKelvo::put_Par ";
const Bytes kBadReadError = Flip(SerialWrap(5, ReadDeviceError(0, 0x0A000007)));
const Bytes kBadWriteError = Flip(SerialWrap(5, WriteDeviceError(0, 9)));

const Call kPutI4 = Write(2, VT_I4, VariantOf(VT_I4, 7));
// No re-login without both credentials, nor for the codes next to the one
// that asks for it.
Call Without(std::u16string CKelvo::*credential, Call call) {
    return [=](CKelvo* k) {
        (k->*credential).clear();
        return call(k);
    };
}

// The read stores the device code as soon as it arrives, the write only once
// the CRC trailer matched.
// clang-format off
const FailureRow kFailures[] = {
    {"ReadErrorCrcDiffers", true, Read(2, 1, VT_I4), Raw(kBadReadError),
     13, kGet + "fail 7 " + CrcPair(kBadReadError), 0x0A000007},
    {"ReadDeviceError", true, Read(2, 1, VT_I4), Reply(ReadDeviceError(0, 0x0A000001)),
     1, kGet + "fail 8 (167772161)", 0x0A000001},
    {"ReadAutoTypeThreeBytes", false, Read(2, 1, VT_EMPTY),
     Reply(ReadAnswer(0, {1, 2, 3})), 3, kGet + "fail 13 (numbytes 3)"},
    {"ReadAutoTypeNoBytes", true, Read(2, 1, VT_EMPTY),
     Reply(ReadAnswer(0, {})), 3, kGet + "fail 13 (numbytes 0)"},
    {"ReadTypeOutsideTable", false, Read(2, 1, VT_BOOL),
     Reply(ReadAnswer(0, {1})), 3, kGet + "fail 14 (type 11)"},
    {"ReadNegativeType", false, Read(2, 1, -1),
     Reply(ReadAnswer(0, {1})), 3, kGet + "fail 14 (type -1)"},
    {"WriteErrorCrcDiffers", true, kPutI4, Raw(kBadWriteError),
     13, kPut + "fail 9 " + CrcPair(kBadWriteError)},
    {"ReadRamAnsweredEeprom", false, Read(2, 1, VT_I2, false),
     Reply(ReadAnswer(0, {1, 0})), 5, kGet + "fail 9 (528)"},
    {"ReadEepromAnsweredRam", false, Read(2, 1, VT_I2),
     Reply(ReadAnswer(0, {1, 0}, 0x0310)), 5, kGet + "fail 9 (784)"},
    {"ReadLoginRequiredNoPassword", false, Without(&CKelvo::password, Read(2, 1, VT_I2)),
     Reply(ReadDeviceError(0, kLoginRequired)), 1, kGet + "fail 8 (352321538)", kLoginRequired},
    {"WriteLoginRequiredNoUser", false, Without(&CKelvo::userName, kPutI4),
     Reply(WriteDeviceError(0, kLoginRequired)), 1,
     kPut + "fail 10 (error code: 352321538)", kLoginRequired},
    {"ReadCodeBelowLogin", false, Read(2, 1, VT_I2),
     Reply(ReadDeviceError(0, 0x15000001)), 1, kGet + "fail 8 (352321537)", 0x15000001},
    {"WriteCodeAboveLogin", false, kPutI4, Reply(WriteDeviceError(0, 0x15000003)),
     1, kPut + "fail 10 (error code: 352321539)", 0x15000003},
    {"WriteDeviceError", true, kPutI4, Reply(WriteDeviceError(0, 0x0A000003)),
     1, kPut + "fail 10 (error code: 167772163)", 0x0A000003},
};
// clang-format on

TEST(ParameterFailure, SetsCodeTracesAndUnlocksOnce) {
    ExpectFailures(kFailures);
}

// A typed getter that fails gives 0 and leaves the code of the failure.
TEST(TypedAccessors, FailedGetterGivesZeroAndTheStatus) {
    ConnectedKelvo c;
    float f = 3.0f;
    LONG word = 9;
    EXPECT_EQ(c.kelvo->get_ParFloat(1, 0, &f), E_FAIL);
    EXPECT_EQ(f, 0.0f);
    EXPECT_EQ(c.kelvo->errorCode, 7);
    c.transport->FailNextLock();
    EXPECT_EQ(c.kelvo->get_ParWord(1, 0, &word), E_FAIL);
    EXPECT_EQ(word, 0);
    EXPECT_EQ(c.kelvo->errorCode, 6);
}

} // namespace
} // namespace kelvo::test

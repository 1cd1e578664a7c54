// Parameter read and write and the typed accessors, byte for byte against the
// scripted transport, in TCP and in serial mode.
#include "operations/answers.h"
#include "support/variant_of.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

constexpr std::uint16_t kReadOk = 0x0210;
constexpr std::uint16_t kReadError = 0x0211;
constexpr std::uint16_t kReadRamOk = 0x0310;
constexpr std::uint16_t kWriteOk = 0x0220;
constexpr std::uint16_t kWriteError = 0x0221;
constexpr std::uint16_t kWriteRamOk = 0x0320;
constexpr std::uint16_t kLoginOk = 0x3010;
constexpr std::uint32_t kLoginRequired = 0x15000002;

// Read answer: 10-byte header (3 filler bytes, value length) and the value.
Bytes ReadAnswer(std::uint16_t counter, const Bytes& value, std::uint16_t status = kReadOk) {
    return AnswerFrame(counter, status,
                       Concat({0, 0, 0, static_cast<std::uint8_t>(value.size())}, value));
}
Bytes ReadDeviceError(std::uint16_t counter, std::uint32_t code) {
    return AnswerFrame(counter, kReadError, Concat({0, 0, 0, 4}, Le32(code)));
}
// Write answers: the 6-byte header alone, or the 8 error bytes (code in 4-7).
Bytes WriteAnswer(std::uint16_t counter, std::uint16_t status = kWriteOk) {
    return AnswerFrame(counter, status);
}
Bytes WriteDeviceError(std::uint16_t counter, std::uint32_t code) {
    return AnswerFrame(counter, kWriteError, Concat({0xAA, 0xBB, 0xCC, 0x04}, Le32(code)));
}
// Login answer: 7-byte header with the data length, then the user name echoed.
Bytes LoginAnswer(std::uint16_t counter, const std::string& user) {
    Bytes data{static_cast<std::uint8_t>(user.size())};
    data.insert(data.end(), user.begin(), user.end());
    return AnswerFrame(counter, kLoginOk, data);
}

// The value of a VARIANT as "type:value" text, for table comparisons.
std::string Text(const VARIANT& v) {
    char buf[64];
    switch (v.vt) {
    case VT_I1:
        return "i1:" + std::to_string(static_cast<int>(static_cast<signed char>(v.cVal)));
    case VT_UI1:
        return "ui1:" + std::to_string(v.bVal);
    case VT_I2:
        return "i2:" + std::to_string(v.iVal);
    case VT_UI2:
        return "ui2:" + std::to_string(v.uiVal);
    case VT_I4:
        return "i4:" + std::to_string(v.lVal);
    case VT_UI4:
        return "ui4:" + std::to_string(v.ulVal);
    case VT_R4:
        std::snprintf(buf, sizeof buf, "r4:%g", static_cast<double>(v.fltVal));
        return buf;
    case VT_R8:
        std::snprintf(buf, sizeof buf, "r8:%g", v.dblVal);
        return buf;
    case VT_I8:
        return "i8:" + std::to_string(v.llVal);
    case VT_UI8:
        return "ui8:" + std::to_string(v.ullVal);
    case VT_BSTR:
        return "str:" + Utf16ToUtf8(BstrView(v.bstrVal));
    default:
        return "vt " + std::to_string(v.vt);
    }
}

// Values to write.
VARIANT Real(double value, VARTYPE vt = VT_R8) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    if (vt == VT_R4)
        v.fltVal = static_cast<float>(value);
    else
        v.dblVal = value;
    return v;
}

// A text kept alive to the end of the program, for VARIANTs made in tables.
Bstr& Owned(const char16_t* text) {
    static std::vector<std::unique_ptr<Bstr>> kept;
    kept.push_back(std::make_unique<Bstr>(text));
    return *kept.back();
}
VARIANT Str(const char16_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = Owned(text).get();
    return v;
}

// ---- Read: every type code ----

struct ReadTypeCase {
    const char* name;
    SHORT type;
    Bytes value;
    std::string expected;
};

const ReadTypeCase kReadTypes[] = {
    {"I1", VT_I1, {0xFF, 0x01}, "i1:-1"},
    {"UI1", VT_UI1, {0xFF}, "ui1:255"},
    {"I2KeepsTwoOfFour", VT_I2, {0x34, 0x12, 0x56, 0x78}, "i2:4660"},
    {"I2Negative", VT_I2, {0xFE, 0xFF}, "i2:-2"},
    {"UI2", VT_UI2, {0xFF, 0xFF}, "ui2:65535"},
    {"I4FromTwoBytes", VT_I4, {0x34, 0x12}, "i4:4660"},
    {"I4", VT_I4, {0xFF, 0xFF, 0xFF, 0xFF}, "i4:-1"},
    {"UI4", VT_UI4, {0xFF, 0xFF, 0xFF, 0xFF}, "ui4:4294967295"},
    {"R4", VT_R4, F32(1.5f), "r4:1.5"},
    {"R8", VT_R8, F64(-2.25), "r8:-2.25"},
    {"I8", VT_I8, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "i8:-2"},
    {"UI8", VT_UI8, {0, 0, 0, 0, 0, 0, 0, 0x80}, "ui8:9223372036854775808"},
    {"UI8FromOneByte", VT_UI8, {0x07}, "ui8:7"},
    {"EmptyValueReadsZero", VT_UI4, {}, "ui4:0"},
    {"AutoTwo", VT_EMPTY, {0x01, 0x80}, "i2:-32767"},
    {"AutoFour", VT_EMPTY, {0x78, 0x56, 0x34, 0x12}, "i4:305419896"},
    {"AutoEight", VT_EMPTY, {1, 0, 0, 0, 1, 0, 0, 0}, "i8:4294967297"},
    {"String", VT_BSTR, {'a', 'b', 'c'}, "str:abc"},
    {"StringEndsAtZero", VT_BSTR, {'a', 0, 'c'}, "str:a"},
    {"StringEmpty", VT_BSTR, {}, "str:"},
    {"StringAnsiCodePage", VT_BSTR, {'c', 'a', 'f', 0xE9}, "str:caf\xC3\xA9"},
};

TEST(ParameterRead, SendsTheRequestAndConvertsTheValue) {
    for (const ReadTypeCase& tc : kReadTypes) {
        SCOPED_TRACE(tc.name);
        for (bool serial : {false, true}) {
            SCOPED_TRACE(serial ? "serial" : "tcp");
            ConnectedKelvo c(serial, 5);
            c.kelvo->canNode = 3;
            c.kelvo->errorCode = 7; // a success leaves the last error code
            c.transport->Answer(c.Wire(ReadAnswer(0, tc.value)));
            Variant v;
            EXPECT_EQ(c.kelvo->get_Par(0x1234, 7, tc.type, &v), S_OK);
            EXPECT_EQ(Text(v), tc.expected);
            EXPECT_EQ(c.kelvo->errorCode, 7);
            EXPECT_EQ(Hex(c.transport->writes.at(0)),
                      Hex(c.Wire(FromHex("03 00 00 05 01 02 34 12 07"))));
            EXPECT_EQ(c.transport->Count("Unlock"), 1);
        }
    }
    ConnectedKelvo c;
    EXPECT_EQ(c.kelvo->get_Par(1, 0, VT_UI1, nullptr), E_POINTER);
    EXPECT_TRUE(c.transport->calls.empty());
}

TEST(ParameterRead, StatusWordsFollowEepromAccess) {
    const std::tuple<bool, std::uint16_t, bool> cases[] = {
        {true, kReadOk, true},
        {false, kReadRamOk, true},
        {false, kReadOk, false},
        {true, kReadRamOk, false},
    };
    for (const auto& [eeprom, answered, ok] : cases) {
        ConnectedKelvo c;
        c.kelvo->eepromAccess = eeprom;
        c.transport->Answer(ReadAnswer(0, {1, 0}, answered));
        TraceCapture trace;
        Variant v;
        EXPECT_EQ(c.kelvo->get_Par(1, 0, VT_I2, &v), ok ? S_OK : E_FAIL);
        EXPECT_EQ(Hex(c.transport->writes.at(0)).substr(12, 5), eeprom ? "01 02" : "01 03");
        if (!ok) {
            EXPECT_EQ(c.kelvo->errorCode, 5);
            EXPECT_EQ(trace.lines.back(),
                      "CKelvo::get_Par fail 9 (" + std::to_string(answered) + ")");
        }
    }
}

// ---- Re-login ----

// A refusal for want of a login logs in with the stored credentials once and
// repeats the request once; the code of the first answer stays.
TEST(Relogin, LogsInOnceAndRepeatsOnce) {
    const char* login = "00 01 00 0d 01 30 03 62 6f 62 06 73 65 63 72 65 74";
    const char* read = "00 00 00 05 01 02 05 00 02";
    const char* write = "00 00 00 08 02 02 05 00 02 02 ef be";
    Variant v;
    const auto get = [&v](CKelvo* k) { return k->get_Par(5, 2, VT_I2, &v); };
    // Written with the type inferred from the value, or converted from the caller's text.
    const auto put = [](CKelvo* k) {
        return k->put_Par(5, 2, VT_EMPTY, VariantOf(VT_UI2, 0xBEEF));
    };
    const auto putText = [](CKelvo* k) { return k->put_Par(5, 2, VT_I4, Str(u"12")); };
    struct Case {
        const char* name;
        std::function<HRESULT(CKelvo*)> call;
        std::vector<Bytes> answers;
        HRESULT hr;
        int code;
        std::vector<std::string> writes;
    };
    const Bytes refusal = ReadDeviceError(0, kLoginRequired);
    const Bytes writeRefusal = WriteDeviceError(0, kLoginRequired);
    // clang-format off
    const Case cases[] = {
        {"read", get, {refusal, LoginAnswer(1, "bob"), ReadAnswer(2, {0x2A, 0})}, S_OK, 1,
         {read, login, "00 02 00 05 01 02 05 00 02"}},
        {"read refused again", get, {refusal, LoginAnswer(1, "bob"), ReadDeviceError(2, kLoginRequired), LoginAnswer(3, "bob")},
         E_FAIL, 1, {read, login, "00 02 00 05 01 02 05 00 02"}},
        {"login fails", get, {refusal, LoginAnswer(1, "eve")}, E_FAIL, 11, {read, login}}, // wrong user echoed
        {"write", put, {writeRefusal, LoginAnswer(1, "bob"), WriteAnswer(2)}, S_OK, 1,
         {write, login, "00 02 00 08 02 02 05 00 02 02 ef be"}},
        {"write refused again", putText, {writeRefusal, LoginAnswer(1, "bob"), WriteDeviceError(2, kLoginRequired)}, E_FAIL, 1,
         {"00 00 00 0a 02 02 05 00 02 04 0c 00 00 00", login, "00 02 00 0a 02 02 05 00 02 04 0c 00 00 00"}},
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
        EXPECT_EQ(tc.call(c.kelvo), tc.hr);
        EXPECT_EQ(c.kelvo->errorCode, tc.code);
        EXPECT_EQ(c.kelvo->deviceStatus, kLoginRequired);
        std::vector<std::string> writes;
        for (const Bytes& w : c.transport->writes)
            writes.push_back(Hex(w));
        EXPECT_EQ(writes, tc.writes);
        EXPECT_EQ(c.transport->Count("Lock"), c.transport->Count("Unlock"));
        EXPECT_EQ(c.transport->lockDepth, 0);
        if (std::string(tc.name) == "read") {
            EXPECT_EQ(Text(v), "i2:42");
            EXPECT_THAT(trace.lines, ElementsAre("CKelvo::get_Par (ipa 5 subidx 2 type 2)",
                                                 "CKelvo::get_Par fail 8 (352321538)",
                                                 "CKelvo::Login (bob secret)",
                                                 "CKelvo::get_Par (ipa 5 subidx 2 type 2)"));
        }
    }
}

TEST(Relogin, NotWithoutBothCredentialsOrForOtherCodes) {
    const std::tuple<const char16_t*, const char16_t*, std::uint32_t> cases[] = {
        {u"bob", u"", kLoginRequired},
        {u"", u"secret", kLoginRequired},
        {u"bob", u"secret", 0x15000001},
        {u"bob", u"secret", 0x15000003},
    };
    for (const auto& [user, password, code] : cases) {
        ConnectedKelvo k;
        k.kelvo->userName = user;
        k.kelvo->password = password;
        k.transport->Answer(ReadDeviceError(0, code));
        k.transport->Answer(WriteDeviceError(1, code));
        Variant v;
        EXPECT_EQ(k.kelvo->get_Par(1, 0, VT_I2, &v), E_FAIL);
        EXPECT_EQ(k.kelvo->put_ParInt(1, 0, 3), E_FAIL);
        EXPECT_EQ(k.transport->writes.size(), 2u);
        EXPECT_EQ(k.kelvo->errorCode, 1);
        LONG status = 0;
        k.kelvo->get_DeviceStatus(&status);
        EXPECT_EQ(static_cast<std::uint32_t>(status), code);
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
    {"AutoFromR4", Real(-1.0, VT_R4), VT_EMPTY, "04 00 00 80 bf"},
};

// EEPROM writes over TCP, RAM writes over a serial link (address, CRC).
TEST(ParameterWrite, ConvertsAndSendsTheValueBytes) {
    for (const WriteTypeCase& tc : kWriteTypes) {
        SCOPED_TRACE(tc.name);
        for (bool eeprom : {true, false}) {
            ConnectedKelvo c(!eeprom, 5);
            c.kelvo->canNode = 3;
            c.kelvo->eepromAccess = eeprom;
            c.kelvo->errorCode = 4; // a success leaves the last error code
            c.transport->Answer(c.Wire(WriteAnswer(0, eeprom ? kWriteOk : kWriteRamOk)));
            EXPECT_EQ(c.kelvo->put_Par(0x1234, 7, tc.type, tc.value), S_OK);
            const Bytes value = FromHex(tc.valueBytes);
            const Bytes head{3,    0,
                             0,    static_cast<std::uint8_t>(5 + value.size()),
                             0x02, static_cast<std::uint8_t>(eeprom ? 0x02 : 0x03),
                             0x34, 0x12,
                             7};
            EXPECT_EQ(Hex(c.transport->writes.at(0)), Hex(c.Wire(Concat(head, value))));
            EXPECT_EQ(c.kelvo->errorCode, 4);
            EXPECT_EQ(c.transport->Count("Read 2"), eeprom ? 0 : 1); // the CRC trailer
            EXPECT_EQ(c.transport->Count("Unlock"), 1);
        }
    }
}

TEST(ParameterWrite, LongStringsWrapTheLengthOfTheRest) {
    // (length, byte 3)
    const std::pair<std::size_t, int> cases[] = {{249, 255}, {250, 0}, {255, 5}};
    for (auto [length, rest] : cases) {
        ConnectedKelvo c;
        c.transport->Answer(WriteAnswer(0));
        ASSERT_EQ(c.kelvo->put_Par(1, 0, VT_BSTR, Str(std::u16string(length, u'x').c_str())), S_OK);
        const Bytes& frame = c.transport->writes.at(0);
        EXPECT_EQ(frame.size(), length + 10);
        EXPECT_EQ(frame[3], rest);
        EXPECT_EQ(frame[9], length);
        EXPECT_EQ(frame.back(), 'x');
    }
}

TEST(ParameterWrite, RefusalsBeforeThePortIsTouched) {
    struct Case {
        const char* name;
        VARIANT value;
        LONG ipa;
        SHORT type;
        int code; // -1: errorCode unchanged
        const char* lastTrace;
    };
    VARIANT boolean = VariantOf(VT_BOOL, 0);
    boolean.boolVal = VARIANT_TRUE;
    const std::u16string text256(256, u'y');
    const Case cases[] = {
        {"bool with type 0", boolean, 1, VT_EMPTY, 3, nullptr},
        {"bool as bool", boolean, 1, VT_BOOL, 3, nullptr},
        {"null with type 0", VariantOf(VT_NULL, 0), 1, VT_EMPTY, 3, nullptr},
        {"ipa 65536", VariantOf(VT_I4, 1), 65536, VT_I4, 9,
         "CKelvo::put_Par fail 7 (max ipa is 65535, used ipa is 65536)"},
        {"string of 256", Str(text256.c_str()), 1, VT_BSTR, 10, nullptr},
        {"string of 256 before ipa", Str(text256.c_str()), 70000, VT_BSTR, 10, nullptr},
        {"empty string", Str(u""), 1, VT_BSTR, 3, nullptr},
        {"empty string type 0", Str(u""), 1, VT_EMPTY, 3, nullptr},
        {"not a number", Str(u"abc"), 1, VT_I4, -1, nullptr},
        {"overflow", VariantOf(VT_I4, 300), 1, VT_UI1, -1, nullptr},
        {"unknown type", VariantOf(VT_I4, 1), 1, 999, -1, nullptr},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 42;
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->put_Par(tc.ipa, 0, tc.type, tc.value), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, tc.code < 0 ? 42 : tc.code);
        EXPECT_TRUE(c.transport->calls.empty()) << c.transport->calls.front();
        EXPECT_EQ(c.kelvo->frameCount, 0);
        ASSERT_FALSE(trace.lines.empty());
        EXPECT_EQ(trace.lines.front(), "CKelvo::put_Par (ipa " + std::to_string(tc.ipa) +
                                           " subidx 0 type " + std::to_string(tc.type) + ")");
        EXPECT_EQ(trace.lines.size(), tc.lastTrace ? 2u : 1u);
        if (tc.lastTrace) {
            EXPECT_EQ(trace.lines.back(), tc.lastTrace);
        }
    }
}

// The index goes out as its low 16 bits, the subindex as its low byte; a write
// refuses an index above 65535 (see the refusals) but sends a negative one.
TEST(Parameters, IndexesGoOutAsTheirLowBits) {
    ConnectedKelvo c;
    c.transport->Answer(ReadAnswer(0, {1}));
    Variant v;
    EXPECT_EQ(c.kelvo->get_Par(0x12345, 0x1FF, VT_UI1, &v), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.at(0)), "00 00 00 05 01 02 45 23 ff");
    const std::pair<LONG, const char*> cases[] = {{65535, "ff ff"}, {-1, "ff ff"}, {0, "00 00"}};
    for (auto [ipa, sent] : cases) {
        ConnectedKelvo w;
        w.transport->Answer(WriteAnswer(0));
        EXPECT_EQ(w.kelvo->put_ParDWord(ipa, 0, 1), S_OK);
        EXPECT_EQ(Hex(w.transport->writes.at(0)).substr(18, 5), sent) << ipa;
    }
}

// ---- Failures of the steps the parameter exchanges own ----

const std::string kGet = "CKelvo::get_Par ", kPut = "CKelvo::put_Par ";
const Bytes kBadReadError = Flip(SerialWrap(5, ReadDeviceError(0, 0x0A000007)));
const Bytes kBadWriteError = Flip(SerialWrap(5, WriteDeviceError(0, 9)));

Call Get(SHORT type) {
    return [type](CKelvo* k) {
        Variant v;
        const HRESULT hr = k->get_Par(2, 1, type, &v);
        EXPECT_EQ(v.vt, VT_EMPTY);
        return hr;
    };
}
const Call kPutI4 = [](CKelvo* k) { return k->put_Par(2, 1, VT_I4, VariantOf(VT_I4, 7)); };

// The read stores the device code as soon as it arrives, the write only once
// the CRC trailer matched.
// clang-format off
const FailureRow kFailures[] = {
    {"ReadErrorCrcDiffers", true, Get(VT_I4), Raw(kBadReadError), 13, kGet + "fail 7 " + CrcPair(kBadReadError), 0x0A000007},
    {"ReadDeviceError", true, Get(VT_I4), Reply(ReadDeviceError(0, 0x0A000001)), 1, kGet + "fail 8 (167772161)", 0x0A000001},
    {"ReadAutoTypeThreeBytes", false, Get(VT_EMPTY), Reply(ReadAnswer(0, {1, 2, 3})), 3, kGet + "fail 13 (numbytes 3)"},
    {"ReadAutoTypeNoBytes", true, Get(VT_EMPTY), Reply(ReadAnswer(0, {})), 3, kGet + "fail 13 (numbytes 0)"},
    {"ReadTypeOutsideTable", false, Get(VT_BOOL), Reply(ReadAnswer(0, {1})), 3, kGet + "fail 14 (type 11)"},
    {"ReadNegativeType", false, Get(-1), Reply(ReadAnswer(0, {1})), 3, kGet + "fail 14 (type -1)"},
    {"WriteErrorCrcDiffers", true, kPutI4, Raw(kBadWriteError), 13, kPut + "fail 9 " + CrcPair(kBadWriteError)},
    {"WriteDeviceError", true, kPutI4, Reply(WriteDeviceError(0, 0x0A000003)), 1, kPut + "fail 10 (error code: 167772163)", 0x0A000003},
};
// clang-format on

// The steps the parameter exchanges own; the shared ones are the save's in
// tests/protocol, and the fault matrix runs every fault of kelvo-sim on every
// read of GetPar and PutPar over TCP and serial.
TEST(ParameterFailure, SetsCodeTracesAndUnlocksOnce) {
    ExpectFailures(kFailures);
}

// ---- Typed accessors ----

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
    EXPECT_EQ(c.kelvo->get_ParInt(1, 0, nullptr), E_POINTER);
}

TEST(TypedAccessors, SettersSendTheirTypeWithoutConversion) {
    using Call = std::function<HRESULT(CKelvo&)>;
    const std::pair<Call, const char*> cases[] = {
        {[](CKelvo& k) { return k.put_ParWord(1, 0, 0x12345); }, "02 45 23"}, // cut to 16 bits
        {[](CKelvo& k) { return k.put_ParWord(1, 0, -1); }, "02 ff ff"},
        {[](CKelvo& k) { return k.put_ParInt(1, 0, -2); }, "02 fe ff"},
        {[](CKelvo& k) { return k.put_ParDWord(1, 0, -1); }, "04 ff ff ff ff"},
        {[](CKelvo& k) { return k.put_ParFloat(1, 0, 1.5f); }, "04 00 00 c0 3f"},
    };
    for (const auto& [call, valueBytes] : cases) {
        SCOPED_TRACE(valueBytes);
        ConnectedKelvo c;
        c.transport->Answer(WriteAnswer(0));
        EXPECT_EQ(call(*c.kelvo), S_OK);
        EXPECT_EQ(Hex(c.transport->writes.at(0)).substr(27), valueBytes);
    }
}

} // namespace
} // namespace kelvo::test

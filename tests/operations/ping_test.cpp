// Ping: the blink limits, the item rendering of every type code and the
// numbered failures, on the scripted transport in TCP and serial mode.
#include "operations/answers.h"
#include "operations/ping.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

// Item header and value as the device sends them.
Bytes Item(std::uint8_t key, std::uint32_t type, const Bytes& value) {
    Bytes b{key, 0, 0, 0, 0, static_cast<std::uint8_t>(value.size())};
    stle_u32(&b[1], type);
    return Concat(b, value);
}

Bytes Items(std::uint8_t count, const Bytes& items = {}) {
    return Concat({count}, items);
}

std::string Render(std::uint8_t key, std::uint32_t type, const Bytes& value,
                   bool* known = nullptr) {
    std::string text;
    const bool k = RenderPingItem(key, type, value, text);
    if (known)
        *known = k;
    return text;
}

TEST(PingRender, EveryTypeCode) {
    const std::tuple<std::uint32_t, Bytes, const char*> cases[] = {
        {0x00000000, {1, 2}, R"("3":"?")"},
        {0x00000001, {0x02}, R"("3":true)"},
        {0x00000001, {0x00}, R"("3":false)"},
        {0x00010002, {0xFF}, R"("3":-1)"},
        {0x00020003, {0x00, 0x80}, R"("3":-32768)"},
        {0x00030004, {0xFE, 0xFF, 0xFF, 0xFF}, R"("3":-2)"},
        {0x00040005, {0xFF}, R"("3":255)"},
        {0x00050006, {0xFF, 0xFF}, R"("3":65535)"},
        {0x00060007, {0xFF, 0xFF, 0xFF, 0xFF}, R"("3":4294967295)"},
        {0x00070009, {0x41, 0x42}, R"("3":"AB")"},
        {0x00070009, {0x41, 0x22, 0x42}, R"("3":"A"B")"}, // copied, no escaping
        {0x0007FFFF, {0x43}, R"("3":"C")"},
        {0x0008FFFF, {0x00, 0x00, 0x00, 0x80}, R"("3":-2147483648)"},
        {0x00100015, Bytes(8, 0xFF), R"("3":-1)"},
        {0x0011001B, Bytes(8, 0xFF), R"("3":18446744073709551615)"},
        {0x00120008, F32(1.5f), R"("3":1.500000)"},
        {0xFFFF0011, F64(-2.25), R"("3":-2.250000)"},
        {0xFFFF0100, {}, R"("3":"?")"},
        {0xFFFF0101, {}, R"("3":"?")"},
        {0xFFFFFFFF, {0x78}, R"("3":"x")"},
        // Decisions: short values read zero-filled, texts end at a zero byte.
        {0x00030004, {0x05}, R"("3":5)"},
        {0x00100015, {}, R"("3":0)"},
        {0x00120008, {}, R"("3":0.000000)"},
        {0x00070009, {0x41, 0x00, 0x42}, R"("3":"A")"},
        {0x00070009, {}, R"("3":"")"},
        // Unknown type codes write null.
        {0x00000002, {1, 2, 3, 4}, R"("3":null)"},
        {0x00070008, {1, 2, 3, 4}, R"("3":null)"},
        {0x12345678, {1, 2, 3, 4}, R"("3":null)"},
    };
    for (const auto& [type, value, text] : cases) {
        bool known = false;
        EXPECT_EQ(Render(3, type, value, &known), text) << std::hex << type;
        EXPECT_EQ(known, std::string(text) != R"("3":null)") << std::hex << type;
    }
    EXPECT_EQ(Render(255, 1, {1}), R"("255":true)");
}

TEST(PingRender, LargestDoubleIsWhole) {
    const std::string text = Render(1, 0xFFFF0011, F64(-1.7976931348623157e308));
    EXPECT_EQ(text.substr(0, 6), "\"1\":-1");
    EXPECT_EQ(text.substr(text.size() - 7), ".000000");
    EXPECT_EQ(text.size(), 4u + 1 + 309 + 7);
}

TEST(PingLimits, BlinkTimeIsLimited) {
    const std::pair<SHORT, std::uint16_t> cases[] = {
        {0, 1000},      {-5, 1000},     {999, 1000},    {1000, 1000},   {4321, 4321},
        {10000, 10000}, {10001, 10000}, {32767, 10000}, {-32768, 1000},
    };
    for (auto [requested, sent] : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, kPingSuccess, Items(0)));
        Bstr result;
        EXPECT_EQ(c.kelvo->Ping(requested, result.out()), S_OK);
        EXPECT_EQ(ldle_u16(&c.transport->writes.at(0)[6]), sent) << requested;
    }
}

TEST(Ping, RequestAndEmptyAnswer) {
    ConnectedKelvo c;
    c.kelvo->canNode = 0x21;
    c.kelvo->frameCount = 0x0203;
    c.transport->Answer(AnswerFrame(0x0203, kPingSuccess, Items(0)));
    Bstr result;
    EXPECT_EQ(c.kelvo->Ping(2000, result.out()), S_OK);
    EXPECT_EQ(Utf16ToUtf8(result.view()), "{  }");
    EXPECT_EQ(Hex(c.transport->writes.at(0)), "21 03 02 04 01 01 d0 07");
    EXPECT_EQ(c.kelvo->errorCode, 0);
}

// A short value is read zero-filled, never from the bytes of an earlier item.
TEST(Ping, ItemsInOrderWithUnknownTypeTraced) {
    ConnectedKelvo c;
    c.kelvo->errorCode = 9;
    const Bytes items[] = {Item(1, 0x00000001, {2}),
                           Item(7, 0x00000002, {1, 2}),
                           Item(7, 0x00040005, {0xFF}),
                           Item(9, 0x00070009, {0xE9, 0x22}),
                           Item(1, 0x00030004, {0x11, 0x22, 0x33, 0x44}),
                           Item(2, 0x00030004, {0x01})};
    Bytes all;
    for (const Bytes& item : items)
        all = Concat(all, item);
    c.transport->Answer(AnswerFrame(0, kPingSuccess, Items(6, all)));
    TraceCapture trace;
    Bstr result;
    EXPECT_EQ(c.kelvo->Ping(0, result.out()), S_OK);
    // Windows-1252 E9 is U+00E9.
    EXPECT_EQ(Utf16ToUtf8(result.view()),
              "{ \"1\":true, \"7\":null, \"7\":255, \"9\":\"\xC3\xA9\"\", "
              "\"1\":1144201745, \"2\":1 }");
    EXPECT_THAT(
        trace.lines,
        ::testing::ElementsAre("CKelvo::Ping", "CKelvo::Ping fail 8: unknown datablock type 7 2"));
    EXPECT_EQ(c.kelvo->errorCode, 0);
    EXPECT_EQ(c.transport->Count("Read 6"), 6);
}

struct FailureCase {
    const char* name;
    bool serial;
    Script script;
    int code;
    std::string lastTrace; // "": only the entry line is traced
    std::uint32_t deviceStatus = 0;
};

const Bytes kRefused = AnswerFrame(0, kPingError, {4, 0x02, 0x00, 0x00, 0x15});
const Bytes kBadSuccess =
    Flip(SerialWrap(3, AnswerFrame(0, kPingSuccess, Items(1, Item(1, 1, {1})))), 1, 0x80);
const Bytes kBadError =
    Flip(SerialWrap(3, AnswerFrame(0, kPingError, {4, 0x78, 0x56, 0x34, 0x12})), 1, 0x01);

// clang-format off
const FailureCase kFailures[] = {
    {"SuccessCrcMismatch", true, Raw(kBadSuccess), 13, "CKelvo::Ping CRC fail 9 " + CrcPair(kBadSuccess)},
    // The device code is stored even when the CRC then fails.
    {"ErrorCrcMismatch", true, Raw(kBadError), 13, "CKelvo::Ping CRC fail 12 " + CrcPair(kBadError), 0x12345678},
    {"DeviceError", false, Reply(kRefused), 1, "CKelvo::Ping fail 14 (error code: 352321538)", 0x15000002},
};
// clang-format on

// The steps Ping owns; the shared ones (lock, send, echo, header, counter) are
// the save's in tests/protocol, and the fault matrix runs every fault of
// kelvo-sim on every read of a ping over TCP and serial.
TEST(PingFailure, SetsCodeTracesAndUnlocksOnce) {
    for (const FailureCase& fc : kFailures) {
        SCOPED_TRACE(fc.name);
        ConnectedKelvo c(fc.serial, fc.serial ? 3 : 255);
        fc.script(c);
        BSTR result = nullptr;
        ExpectFailure(
            c, [&] { return c.kelvo->Ping(1000, &result); }, fc.code, "CKelvo::Ping", fc.lastTrace);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(c.kelvo->deviceStatus, fc.deviceStatus);
    }
}

} // namespace
} // namespace kelvo::test

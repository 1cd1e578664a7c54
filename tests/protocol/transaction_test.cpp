// The standard transaction, driven through Save_Command on the scripted
// transport in TCP and in serial mode.
#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/connected_kelvo.h"
#include "support/trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

constexpr std::uint16_t kSaveOk = 12512;
constexpr std::uint16_t kSaveError = 12513;

struct Outcome {
    SHORT errorCode;
    LONG success;
    LONG errTimeOut;
    LONG deviceStatus;
    std::string errorString;
};

Outcome Read(CKelvo* k) {
    Outcome o{};
    k->get_ErrorCode(&o.errorCode);
    k->get_Success(&o.success);
    k->get_ErrTimeOut(&o.errTimeOut);
    k->get_DeviceStatus(&o.deviceStatus);
    Bstr text;
    k->get_ErrorString(text.out());
    o.errorString = Utf16ToUtf8(text.view());
    return o;
}

TEST(SaveCommand, TcpRequestIsSixBytes) {
    ConnectedKelvo c;
    c.kelvo->canNode = 0x11;
    c.transport->Answer(AnswerFrame(0, kSaveOk));
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
    ASSERT_EQ(c.transport->writes.size(), 1u);
    EXPECT_EQ(Hex(c.transport->writes[0]), "11 00 00 02 0e 30");
    EXPECT_THAT(c.transport->calls, ElementsAre("Lock", "Reset", "Write 11 00 00 02 0e 30", "Flush",
                                                "Read 6 10000", "Unlock"));
}

TEST(SaveCommand, SerialRequestCarriesAddressAndCrc) {
    ConnectedKelvo c(true, 5);
    c.transport->Answer(c.Wire(AnswerFrame(0, kSaveOk)));
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
    ASSERT_EQ(c.transport->writes.size(), 1u);
    const Bytes& wire = c.transport->writes[0];
    ASSERT_EQ(wire.size(), 9u);
    EXPECT_EQ(Hex(Bytes(wire.begin(), wire.begin() + 7)), "05 00 00 00 02 0e 30");
    const std::uint16_t crc = Crc16(wire.data(), 7, 0xFFFF);
    EXPECT_EQ(wire[7], crc & 0xFF);
    EXPECT_EQ(wire[8], crc >> 8);
    // address echo, header, CRC trailer
    EXPECT_EQ(c.transport->Count("Read 1"), 1);
    EXPECT_EQ(c.transport->Count("Read 6"), 1);
    EXPECT_EQ(c.transport->Count("Read 2"), 1);
    EXPECT_EQ(c.kelvo->errorCode, 0);
}

TEST(SaveCommand, FrameCounterWrapsAfter1023) {
    ConnectedKelvo c;
    for (int i = 0; i < 1025; ++i)
        c.transport->Answer(AnswerFrame(static_cast<std::uint16_t>(i % 1024), kSaveOk));
    for (int i = 0; i < 1025; ++i)
        ASSERT_EQ(c.kelvo->Save_Command(), S_OK) << "request " << i + 1;
    EXPECT_EQ(ldle_u16(&c.transport->writes[1023][1]), 1023);
    EXPECT_EQ(ldle_u16(&c.transport->writes[1024][1]), 0);
}

TEST(SaveCommand, CounterAdvancesAlsoWhenTheLockIsRefused) {
    ConnectedKelvo c;
    c.transport->FailNextLock();
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    c.transport->Answer(AnswerFrame(1, kSaveOk));
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
    EXPECT_EQ(ldle_u16(&c.transport->writes[0][1]), 1);
}

struct FailureCase {
    const char* name;
    bool serial;
    std::uint8_t address;
    std::function<void(ConnectedKelvo&)> script;
    SHORT code;
    const char* lastTrace; // null: only the entry line is traced
};

Bytes DeviceError(std::uint32_t code) {
    Bytes b{4, 0, 0, 0, 0};
    stle_u32(&b[1], code);
    return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const FailureCase kFailures[] = {
    {"LockRefused", false, 255, [](ConnectedKelvo& c) { c.transport->FailNextLock(); }, 6, nullptr},
    {"SendFails", false, 255, [](ConnectedKelvo& c) { c.transport->FailNextWrite(); }, 8, nullptr},
    {"HeaderTimeout", false, 255, [](ConnectedKelvo&) {}, 7,
     "CKelvo::Save_Command fail 3 (tmo 10000 len 6)"},
    {"ShortHeader", false, 255,
     [](ConnectedKelvo& c) {
         c.transport->AnswerThenTimeout({0, 0, 0});
     },
     7, "CKelvo::Save_Command fail 3 (tmo 10000 len 6)"},
    {"WrongCounter", false, 255,
     [](ConnectedKelvo& c) { c.transport->Answer(AnswerFrame(7, kSaveOk)); }, 4,
     "CKelvo::Save_Command fail 4 (frameCount received: 7, frameCount sent: 0)"},
    {"DeviceError", false, 255,
     [](ConnectedKelvo& c) {
         c.transport->Answer(Concat(AnswerFrame(0, kSaveError), DeviceError(0x15000002)));
     },
     1, "CKelvo::Save_Command FAILED (error code: 352321538)"},
    {"ErrorAnswerTimeout", false, 255,
     [](ConnectedKelvo& c) { c.transport->AnswerThenTimeout(AnswerFrame(0, kSaveError, {4})); }, 7,
     "CKelvo::Save_Command read error timeout (tmo 10000 len 5)"},
    {"UnexpectedStatus", false, 255,
     [](ConnectedKelvo& c) { c.transport->Answer(AnswerFrame(0, 0x1234)); }, 5,
     "CKelvo::Save_Command fail 12 (4660)"},
    {"SerialEchoTimeout", true, 5, [](ConnectedKelvo&) {}, 7,
     "CKelvo::Save_Command read serial address fail (tmo 10000 len 1)"},
    {"SerialWrongEcho", true, 5,
     [](ConnectedKelvo& c) { c.transport->Answer(SerialWrap(6, AnswerFrame(0, kSaveOk))); }, 12,
     "CKelvo::Save_Command read serial address fail (request addr: 5, response addr: 6)"},
    {"SerialBadCrc", true, 5,
     [](ConnectedKelvo& c) {
         Bytes b = SerialWrap(5, AnswerFrame(0, kSaveOk));
         b.back() ^= 0xFF;
         c.transport->Answer(b);
     },
     13, nullptr /* checked below */},
    {"SerialCrcTimeout", true, 5,
     [](ConnectedKelvo& c) {
         c.transport->AnswerThenTimeout(Concat({5}, AnswerFrame(0, kSaveOk)));
     },
     7, "CKelvo::Save_Command CRC timeout fail 7 (tmo 10000 len 2)"},
    {"SerialDeviceErrorBadCrc", true, 5,
     [](ConnectedKelvo& c) {
         Bytes b = SerialWrap(5, Concat(AnswerFrame(0, kSaveError), DeviceError(0x12345678)));
         b.back() ^= 0x01;
         c.transport->Answer(b);
     },
     13, nullptr},
    {"SerialWrongCounter", true, 255,
     [](ConnectedKelvo& c) { c.transport->Answer(SerialWrap(9, AnswerFrame(3, kSaveOk))); }, 4,
     "CKelvo::Save_Command fail 4 (frameCount received: 3, frameCount sent: 0)"},
};

class SaveFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SaveFailure, SetsCodeTracesAndUnlocksOnce) {
    const FailureCase& fc = GetParam();
    ConnectedKelvo c(fc.serial, fc.address);
    c.kelvo->messages[static_cast<std::uint32_t>(fc.code)] = u"text of the code";
    c.kelvo->messages[0x15000002] = u"login required";
    fc.script(c);
    TraceCapture trace;

    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);

    const Outcome o = Read(c.kelvo);
    EXPECT_EQ(o.errorCode, fc.code);
    EXPECT_EQ(o.success, 0);
    EXPECT_EQ(o.errTimeOut, fc.code == 7 ? 1 : 0);
    EXPECT_EQ(o.errorString, fc.code == 1 ? "login required" : "text of the code");
    const bool locked = fc.code != 6;
    EXPECT_EQ(c.transport->Count("Unlock"), locked ? 1 : 0);
    EXPECT_EQ(c.transport->Count("Flush"), fc.code == 6 || fc.code == 8 ? 0 : 1);
    ASSERT_FALSE(trace.lines.empty());
    EXPECT_EQ(trace.lines.front(), "CKelvo::Save_Command");
    if (fc.lastTrace) {
        EXPECT_EQ(trace.lines.back(), fc.lastTrace);
    }
    if (fc.code == 6 || fc.code == 8) {
        EXPECT_EQ(trace.lines.size(), 1u);
    }
    for (std::uint32_t cat : trace.categories)
        EXPECT_EQ(cat, 2u);
}

INSTANTIATE_TEST_SUITE_P(Transaction, SaveFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SaveCommand, CrcMismatchTraceNamesBothValues) {
    ConnectedKelvo c(true, 5);
    Bytes b = SerialWrap(5, AnswerFrame(0, kSaveOk));
    const std::uint16_t good = ldle_u16(&b[b.size() - 2]);
    b[b.size() - 2] ^= 0x01;
    c.transport->Answer(b);
    TraceCapture trace;
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    EXPECT_EQ(trace.lines.back(),
              "CKelvo::Save_Command CRC fail 7 (calculated CRC: " + std::to_string(good) +
                  ",  response CRC: " + std::to_string(good ^ 0x01) + ")");
}

TEST(SaveCommand, DeviceStatusKeptUntilNextErrorAnswer) {
    ConnectedKelvo c;
    c.transport->Answer(Concat(AnswerFrame(0, kSaveError), DeviceError(0xABCD0001)));
    c.transport->Answer(AnswerFrame(1, kSaveOk));
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
    LONG status = 0;
    c.kelvo->get_DeviceStatus(&status);
    EXPECT_EQ(static_cast<std::uint32_t>(status), 0xABCD0001u);
    EXPECT_EQ(c.kelvo->errorCode, 0);
}

TEST(SaveCommand, SerialDeviceErrorWithBadCrcLeavesDeviceStatus) {
    ConnectedKelvo c(true, 5);
    c.kelvo->deviceStatus = 77;
    Bytes b = SerialWrap(5, Concat(AnswerFrame(0, kSaveError), DeviceError(0x12345678)));
    b.back() ^= 0x01;
    c.transport->Answer(b);
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 13);
    EXPECT_EQ(c.kelvo->deviceStatus, 77u);
}

TEST(SaveCommand, AddressBroadcastAcceptsAnyEcho) {
    ConnectedKelvo c(true, 255);
    c.transport->Answer(SerialWrap(0x42, AnswerFrame(0, kSaveOk)));
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
}

TEST(SaveCommand, NegativeTimeOutWaitsItsLow16BitsUnsigned) {
    ConnectedKelvo c;
    c.kelvo->put_TimeOut(-1);
    TraceCapture trace;
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    EXPECT_EQ(c.transport->Count("Read 6 65535"), 1);
    // The trace prints the 32-bit field.
    EXPECT_EQ(trace.lines.back(), "CKelvo::Save_Command fail 3 (tmo -1 len 6)");
}

TEST(SaveCommand, LeftoverInputIsDroppedBeforeTheRequest) {
    ConnectedKelvo c;
    c.transport->Deliver({0xEE, 0xEE, 0xEE});
    c.transport->Answer(AnswerFrame(0, kSaveOk));
    EXPECT_EQ(c.kelvo->Save_Command(), S_OK);
}

TEST(SaveCommand, WithoutAdapterTracesOnlyTheEntry) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    TraceCapture trace;
    EXPECT_EQ(k->Save_Command(), E_FAIL);
    EXPECT_EQ(k->errorCode, 6);
    EXPECT_THAT(trace.lines, ElementsAre("CKelvo::Save_Command"));
    k->Release();
}

} // namespace
} // namespace kelvo::test

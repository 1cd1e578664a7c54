// The standard transaction, driven through Save_Command on the scripted
// transport in TCP and in serial mode: every shared step once. The request
// bytes of the save are CommandRequest's in tests/operations.
#include "operations/answers.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

constexpr std::uint16_t kSaveOk = 12512;
constexpr std::uint16_t kSaveError = 12513;

// A refused lock uses up its counter value too; input left over from before a
// request is dropped. The device status of an error answer stays through the
// successes after it, which clear the code. (A serial broadcast taking any echo:
// the SerialWrongCounter failure row.)
TEST(SaveCommand, FrameCounterWrapsAfter1023AndDeviceStatusStays) {
    ConnectedKelvo c;
    c.transport->FailNextLock();
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    c.transport->Deliver({0xEE, 0xEE, 0xEE});
    c.transport->Answer(Concat(AnswerFrame(1, kSaveError), DeviceError(0xABCD0001)));
    EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);
    for (int i = 2; i <= 1025; ++i)
        c.transport->Answer(AnswerFrame(static_cast<std::uint16_t>(i % 1024), kSaveOk));
    for (int i = 2; i <= 1025; ++i)
        ASSERT_EQ(c.kelvo->Save_Command(), S_OK) << "request " << i + 1;
    EXPECT_EQ(ldle_u16(&c.transport->writes[0][1]), 1);
    EXPECT_EQ(ldle_u16(&c.transport->writes[1022][1]), 1023);
    EXPECT_EQ(ldle_u16(&c.transport->writes[1023][1]), 0);
    LONG status = 0;
    c.kelvo->get_DeviceStatus(&status);
    EXPECT_EQ(std::pair(static_cast<std::uint32_t>(status), c.kelvo->errorCode),
              std::pair(0xABCD0001u, 0));
}

TEST(SaveCommand, FailureSetsCodeTracesAndUnlocksOnce) {
    const Bytes saveError = AnswerFrame(0, kSaveError);
    const Bytes badCrc = Flip(SerialWrap(5, AnswerFrame(0, kSaveOk)));
    const Script silent = [](ConnectedKelvo&) {};
    struct Case {
        const char* name;
        bool serial;
        std::uint8_t address;
        Script script;
        SHORT code;
        std::string lastTrace; // empty: not checked
        std::string read = ""; // a read the transport saw, "Read <length> <time-out>"
    } cases[] = {
        // clang-format off
        {"NoAdapter", false, 255, [](ConnectedKelvo& c) { c.kelvo->portAdapter.reset(); }, 6, ""},
        {"LockRefused", false, 255, [](ConnectedKelvo& c) { c.transport->FailNextLock(); }, 6, ""},
        {"SendFails", false, 255, [](ConnectedKelvo& c) { c.transport->FailNextWrite(); }, 8, ""},
        // A negative time-out waits its low 16 bits; the trace prints the 32-bit field.
        {"NegativeTimeOut", false, 255, [](ConnectedKelvo& c) { c.kelvo->put_TimeOut(-1); }, 7,
         "CKelvo::Save_Command fail 3 (tmo -1 len 6)", "Read 6 65535"},
        {"ShortHeader", false, 255, ReplyCut({0, 0, 0}), 7,
         "CKelvo::Save_Command fail 3 (tmo 10000 len 6)"},
        {"WrongCounter", false, 255, Raw(AnswerFrame(7, kSaveOk)), 4,
         "CKelvo::Save_Command fail 4 (frameCount received: 7, frameCount sent: 0)"},
        {"DeviceError", false, 255, Raw(Concat(saveError, DeviceError(0x15000002))), 1,
         "CKelvo::Save_Command FAILED (error code: 352321538)"},
        {"ErrorAnswerTimeout", false, 255, ReplyCut(AnswerFrame(0, kSaveError, {4})), 7,
         "CKelvo::Save_Command read error timeout (tmo 10000 len 5)"},
        {"UnexpectedStatus", false, 255, Raw(AnswerFrame(0, 0x1234)), 5,
         "CKelvo::Save_Command fail 12 (4660)"},
        {"SerialEchoTimeout", true, 5, silent, 7,
         "CKelvo::Save_Command read serial address fail (tmo 10000 len 1)"},
        {"SerialWrongEcho", true, 5, Raw(SerialWrap(6, AnswerFrame(0, kSaveOk))), 12,
         "CKelvo::Save_Command read serial address fail (request addr: 5, response addr: 6)"},
        {"SerialBadCrc", true, 5, Raw(badCrc), 13,
         "CKelvo::Save_Command CRC fail 7 " + CrcPair(badCrc)},
        {"SerialCrcTimeout", true, 5, ReplyCut(AnswerFrame(0, kSaveOk)), 7,
         "CKelvo::Save_Command CRC timeout fail 7 (tmo 10000 len 2)"},
        {"SerialDeviceErrorBadCrc", true, 5,
         Raw(Flip(SerialWrap(5, Concat(saveError, DeviceError(0x12345678))), 1, 0x01)), 13, ""},
        {"SerialWrongCounter", true, 255, Raw(SerialWrap(9, AnswerFrame(3, kSaveOk))), 4,
         "CKelvo::Save_Command fail 4 (frameCount received: 3, frameCount sent: 0)"},
        // clang-format on
    };
    for (const Case& fc : cases) {
        SCOPED_TRACE(fc.name);
        ConnectedKelvo c(fc.serial, fc.address);
        c.kelvo->deviceStatus = 77; // only a device error answer changes it
        c.kelvo->messages[static_cast<std::uint32_t>(fc.code)] = u"text of the code";
        c.kelvo->messages[0x15000002] = u"login required";
        fc.script(c);
        TraceCapture trace;

        EXPECT_EQ(c.kelvo->Save_Command(), E_FAIL);

        SHORT code = 0;
        LONG success = 1, errTimeOut = 0, status = 0;
        Bstr text;
        c.kelvo->get_ErrorCode(&code);
        c.kelvo->get_Success(&success);
        c.kelvo->get_ErrTimeOut(&errTimeOut);
        c.kelvo->get_DeviceStatus(&status);
        c.kelvo->get_ErrorString(text.out());
        EXPECT_EQ(std::tuple(code, success, errTimeOut), std::tuple(fc.code, 0, fc.code == 7));
        EXPECT_EQ(static_cast<std::uint32_t>(status), fc.code == 1 ? 0x15000002u : 77u);
        EXPECT_EQ(text.view(), fc.code == 1 ? u"login required" : u"text of the code");
        EXPECT_EQ(c.transport->Count("Unlock"), fc.code != 6 ? 1 : 0);
        const bool sent = fc.code != 6 && fc.code != 8;
        EXPECT_EQ(c.transport->Count("Flush"), sent ? 1 : 0);
        ASSERT_FALSE(trace.lines.empty());
        EXPECT_EQ(trace.lines.front(), "CKelvo::Save_Command");
        if (!fc.lastTrace.empty()) {
            EXPECT_EQ(trace.lines.back(), fc.lastTrace);
        }
        if (!sent) {
            EXPECT_EQ(trace.lines.size(), 1u);
        }
        if (!fc.read.empty()) {
            EXPECT_EQ(c.transport->Count(fc.read), 1);
        }
        for (std::uint32_t cat : trace.categories)
            EXPECT_EQ(cat, 2u);
    }
}

} // namespace
} // namespace kelvo::test

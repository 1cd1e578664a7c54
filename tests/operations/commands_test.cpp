// The five device commands on the scripted transport: their requests byte for
// byte, and the failures of the command exchange that reset, restore and the
// log deletion number themselves. The shared steps (lock, send, echo, header,
// counter, CRC) are the save's in tests/protocol; every command meets every
// fault of kelvo-sim in the fault matrix.
#include "operations/answers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kelvo::test {
namespace {

using Call = std::function<HRESULT(CKelvo*)>;

const Call kReset = [](CKelvo* k) { return k->Reset_Command(); };
const Call kRestore = [](CKelvo* k) { return k->Restore_Command(70000); };
const Call kDelete = [](CKelvo* k) { return k->DeleteErrorLog(); };
const Call kResetError = [](CKelvo* k) { return k->ResetError(1); };

TEST(CommandRequest, IsExactAndSucceeds) {
    struct Case {
        Call call;
        const char* entry;
        const char* request; // TCP frame, node 0x21, first counter
        Bytes answer;
    };
    // clang-format off
    const Case cases[] = {
        {[](CKelvo* k) { return k->Save_Command(); }, "CKelvo::Save_Command", "21 00 00 02 0e 30", AnswerFrame(0, 0x30E0)},
        {[](CKelvo* k) { return k->ResetError(3); }, "CKelvo::ResetError 3", "21 00 00 03 0c 04 03", AnswerFrame(0, 0x04C0)},
        {kReset, "CKelvo::Reset_Command", "21 00 00 02 01 04", AnswerFrame(0, 0x0410, {0x5A})},
        {[](CKelvo* k) { return k->Restore_Command(0x7FFF1234); }, "CKelvo::Restore_Command", "21 00 00 04 02 04 34 12", AnswerFrame(0, 0x0420, {0})},
        {[](CKelvo* k) { return k->Restore_Command(-2); }, "CKelvo::Restore_Command", "21 00 00 04 02 04 fe ff", AnswerFrame(0, 0x0420, {0})},
        {kDelete, "CKelvo::DeleteErroLog", "21 00 00 02 03 04", AnswerFrame(0, 0x0430)},
    };
    // clang-format on
    for (const Case& rc : cases) {
        SCOPED_TRACE(rc.request);
        for (bool serial : {false, true}) {
            ConnectedKelvo c(serial, 9);
            c.kelvo->canNode = 0x21;
            c.kelvo->errorCode = 9;
            c.transport->Answer(c.Wire(rc.answer));
            TraceCapture trace;
            EXPECT_EQ(rc.call(c.kelvo), S_OK);
            EXPECT_EQ(c.kelvo->errorCode, 0);
            EXPECT_EQ(trace.lines, std::vector<std::string>{rc.entry});
            EXPECT_EQ(Hex(c.transport->writes.at(0)), Hex(c.Wire(FromHex(rc.request))));
        }
    }
}

// Reset, restore and the log deletion read the device code themselves (after
// a length byte for the deletion); the axis error reset reads it after a
// length byte within the standard transaction.
TEST(CommandExchange, OwnStepsSetCodeAndTrace) {
    const Bytes resetError = AnswerFrame(0, 0x0411, {0, 0x0C, 0, 0, 0x0B});
    const Bytes deleteError = AnswerFrame(0, 0x0431, {4, 1, 0, 0, 0x0A});
    const Bytes resetErrorError = Concat(AnswerFrame(0, 0x04C1), DeviceError(0x100));
    const Bytes badResetOk = Flip(SerialWrap(5, AnswerFrame(0, 0x0410, {0})), 1, 0x40);
    const Bytes badDeleteError = Flip(SerialWrap(5, deleteError), 2, 0x01);
    const Bytes badResetErrorError = Flip(SerialWrap(5, resetErrorError), 1, 0x01);
    struct Case {
        const char* name;
        const Call& call;
        bool serial;
        Script script;
        int code;
        std::string last;
        std::uint32_t deviceStatus = 0;
    };
    const std::string reset = "CKelvo::Reset_Command fail ", del = "CKelvo::DeleteErrorLog fail ",
                      axis = "CKelvo::ResetError ";
    // clang-format off
    const Case cases[] = {
        {"ResetDeviceError", kReset, true, Reply(resetError), 1, reset + "10 (error code: 184549388)", 0x0B00000C},
        {"ResetUnexpectedStatus", kReset, false, Reply(AnswerFrame(0, 0x1234, {0})), 5, "CKelvo::Reset_Command fail (4660)"},
        {"ResetSuccessCrcMismatch", kReset, true, Raw(badResetOk), 13, reset + "6 " + CrcPair(badResetOk)},
        {"DeleteDeviceError", kDelete, false, Reply(deleteError), 1, del + "11 (error code: 167772161)", 0x0A000001},
        {"DeleteErrorCrcMismatch", kDelete, true, Raw(badDeleteError), 13, del + "10 " + CrcPair(badDeleteError), 0x0A000001},
        {"ResetErrorDeviceError", kResetError, false, Reply(resetErrorError), 1, axis + "fail 11 (error code: 256)", 0x100},
        {"ResetErrorCrcMismatch", kResetError, true, Raw(badResetErrorError), 13, axis + "CRC fail 9 " + CrcPair(badResetErrorError), 0x100},
    };
    // clang-format on
    for (const Case& fc : cases) {
        SCOPED_TRACE(fc.name);
        ConnectedKelvo c(fc.serial, 5);
        fc.script(c);
        ExpectFailure(
            c, [&] { return fc.call(c.kelvo); }, fc.code, "", fc.last);
        EXPECT_EQ(c.kelvo->deviceStatus, fc.deviceStatus);
    }
}

// A length byte other than 4: all L bytes are read and covered by the CRC;
// the first (at most 4) of them are the code.
TEST(LengthPrefixedDeviceError, KeepsAtMostFourBytesAndChecksAllReceived) {
    const std::pair<Bytes, std::uint32_t> cases[] = {
        {{}, 0}, {{0x34, 0x12}, 0x1234}, {{1, 2, 3, 4, 5, 6, 7}, 0x04030201}};
    for (const auto& [call, errorWord] : {std::pair{kResetError, 0x04C1}, {kDelete, 0x0431}}) {
        for (const auto& [code, status] : cases) {
            for (bool serial : {false, true}) {
                SCOPED_TRACE(std::to_string(errorWord) + " L=" + std::to_string(code.size()) +
                             (serial ? " serial" : " tcp"));
                ConnectedKelvo c(serial, 5);
                c.kelvo->deviceStatus = 0xFFFFFFFF;
                const Bytes data = Concat({static_cast<std::uint8_t>(code.size())}, code);
                c.transport->Answer(
                    c.Wire(AnswerFrame(0, static_cast<std::uint16_t>(errorWord), data)));
                EXPECT_EQ(call(c.kelvo), E_FAIL);
                EXPECT_EQ(c.kelvo->errorCode, 1);
                EXPECT_EQ(c.kelvo->deviceStatus, status);
            }
        }
    }
}

} // namespace
} // namespace kelvo::test

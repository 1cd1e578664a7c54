// The five device commands on the scripted transport: their requests byte for
// byte, and every numbered failure of the command exchange in TCP and serial
// mode.
#include "operations/answers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;
using Call = std::function<HRESULT(CKelvo*)>;

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* name;
    Call call;
    const char* entry;
    const char* request; // TCP frame, node 0x21, first counter
    Bytes answer;        // success answer (TCP form)
    int headerRead;
};

// clang-format off
const RequestCase kRequests[] = {
    {"Save", [](CKelvo* k) { return k->Save_Command(); }, "CKelvo::Save_Command",
     "21 00 00 02 0e 30", AnswerFrame(0, 0x30E0), 6},
    {"ResetError", [](CKelvo* k) { return k->ResetError(3); }, "CKelvo::ResetError 3",
     "21 00 00 03 0c 04 03", AnswerFrame(0, 0x04C0), 6},
    {"Reset", [](CKelvo* k) { return k->Reset_Command(); }, "CKelvo::Reset_Command",
     "21 00 00 02 01 04", AnswerFrame(0, 0x0410, {0x5A}), 7},
    {"Restore", [](CKelvo* k) { return k->Restore_Command(0x7FFF1234); }, "CKelvo::Restore_Command",
     "21 00 00 04 02 04 34 12", AnswerFrame(0, 0x0420, {0}), 7},
    {"RestoreNegativeFilter", [](CKelvo* k) { return k->Restore_Command(-2); }, "CKelvo::Restore_Command",
     "21 00 00 04 02 04 fe ff", AnswerFrame(0, 0x0420, {0}), 7},
    {"DeleteErrorLog", [](CKelvo* k) { return k->DeleteErrorLog(); }, "CKelvo::DeleteErroLog",
     "21 00 00 02 03 04", AnswerFrame(0, 0x0430), 6},
};
// clang-format on

TEST(CommandRequest, IsExactAndSucceedsInBothModes) {
    for (const RequestCase& rc : kRequests) {
        SCOPED_TRACE(rc.name);
        {
            ConnectedKelvo c;
            c.kelvo->canNode = 0x21;
            c.kelvo->errorCode = 9;
            c.transport->Answer(rc.answer);
            TraceCapture trace;
            EXPECT_EQ(rc.call(c.kelvo), S_OK);
            EXPECT_EQ(c.kelvo->errorCode, 0);
            EXPECT_THAT(trace.lines, ElementsAre(rc.entry));
            const std::string read = "Read " + std::to_string(rc.headerRead) + " 10000";
            EXPECT_THAT(c.transport->calls,
                        ElementsAre("Lock", "Reset", std::string("Write ") + rc.request, "Flush",
                                    read, "Unlock"));
        }
        // Serial: address and CRC around the frame; echo, header and CRC trailer read.
        ConnectedKelvo c(true, 9);
        c.kelvo->canNode = 0x21;
        c.transport->Answer(c.Wire(rc.answer));
        EXPECT_EQ(rc.call(c.kelvo), S_OK);
        EXPECT_EQ(Hex(c.transport->writes.at(0)), Hex(SerialWrap(9, FromHex(rc.request))));
        EXPECT_EQ(c.transport->Count("Read 1"), 1);
        EXPECT_EQ(c.transport->Count("Read " + std::to_string(rc.headerRead)), 1);
        EXPECT_EQ(c.transport->Count("Read 2"), 1);
        // The broadcast address accepts any echo.
        ConnectedKelvo broadcast(true, 255);
        broadcast.transport->Answer(SerialWrap(0x37, rc.answer));
        EXPECT_EQ(rc.call(broadcast.kelvo), S_OK);
    }
}

// ---------------------------------------------------------------- command exchange

// Reset, restore and the log deletion share the exchange; they differ in the
// header length, the length byte of the error answer and their texts.
struct ExchangeCommand {
    const char* name;
    Call call;
    std::string entry;
    std::string prefix;
    std::uint16_t success;
    int header;               // answer header bytes
    bool lengthByte;          // the error answer starts with a length byte
    std::string statusSuffix; // trace of an unexpected status word 0x1234
};

const ExchangeCommand kCommands[] = {
    {"Reset", [](CKelvo* k) { return k->Reset_Command(); }, "CKelvo::Reset_Command",
     "CKelvo::Reset_Command", 0x0410, 7, false, " fail (4660)"},
    {"Restore", [](CKelvo* k) { return k->Restore_Command(70000); }, "CKelvo::Restore_Command",
     "CKelvo::Restore_Command", 0x0420, 7, false, " fail 11 (4660)"},
    {"DeleteErrorLog", [](CKelvo* k) { return k->DeleteErrorLog(); }, "CKelvo::DeleteErroLog",
     "CKelvo::DeleteErrorLog", 0x0430, 6, true, " fail 12 (4660)"},
};
// ResetError runs the standard transaction with its own device error steps.
const ExchangeCommand kResetError{"ResetError",
                                  [](CKelvo* k) { return k->ResetError(1); },
                                  "CKelvo::ResetError 1",
                                  "CKelvo::ResetError",
                                  0x04C0,
                                  6,
                                  true,
                                  ""};

// The answer with `status` and the data after the status word; reset and
// restore put their seventh header byte first.
Bytes ExchangeAnswer(const ExchangeCommand& cmd, std::uint16_t status, const Bytes& data = {},
                     std::uint16_t counter = 0) {
    return AnswerFrame(counter, status, Concat(cmd.header == 7 ? Bytes{0} : Bytes{}, data));
}

Bytes ErrorData(const ExchangeCommand& cmd, std::uint32_t code) {
    return Concat(cmd.lengthByte ? Bytes{4} : Bytes{}, Le32(code));
}

struct ExchangeFailure {
    std::string name;
    const ExchangeCommand* cmd;
    bool serial;
    Script script;
    int code;
    std::string last;           // "" for the entry line alone
    std::uint32_t deviceStatus; // afterwards
};

std::vector<ExchangeFailure> ExchangeFailures() {
    std::vector<ExchangeFailure> out;
    const auto n = [](int i) { return std::to_string(i); };
    for (const ExchangeCommand& m : kCommands) {
        const std::string f = m.prefix + " fail ";
        const int e = m.lengthByte ? 8 : 7; // the step of the code bytes
        const auto err = static_cast<std::uint16_t>(m.success + 1);
        const Bytes ok = ExchangeAnswer(m, m.success);
        auto add = [&](const std::string& name, bool serial, Script script, int code,
                       const std::string& last, std::uint32_t status = 0) {
            out.push_back(
                {m.name + ("_" + name), &m, serial, std::move(script), code, last, status});
        };
        for (bool serial : {false, true}) {
            const std::string mode = serial ? "Serial" : "Tcp";
            add(mode + "LockRefused", serial, RefuseLock(), 6, "");
            add(mode + "SendFails", serial, FailSend(), 8, "");
            add(mode + "HeaderTimeout", serial, ReplyCut({0, 0}), 7,
                f + "3 (tmo 10000 len " + n(m.header) + ")");
            add(mode + "WrongCounter", serial, Reply(ExchangeAnswer(m, m.success, {}, 7)), 4,
                f + "4 (frameCount received: 7, frameCount sent: 0)");
            if (m.lengthByte)
                add(mode + "ErrorLengthTimeout", serial, ReplyCut(ExchangeAnswer(m, err)), 7,
                    f + "7 (tmo 10000 len 1)");
            add(mode + "ErrorCodeTimeout", serial,
                ReplyCut(ExchangeAnswer(m, err, m.lengthByte ? Bytes{4, 1, 2} : Bytes{1, 2})), 7,
                f + n(e) + " (tmo 10000 len 4)");
            add(mode + "DeviceError", serial,
                Reply(ExchangeAnswer(m, err, ErrorData(m, 0x0B00000C))), 1,
                f + n(e + 3) + " (error code: 184549388)", 0x0B00000C);
            add(mode + "UnexpectedStatus", serial, Reply(ExchangeAnswer(m, 0x1234)), 5,
                m.prefix + m.statusSuffix);
        }
        add("SerialEchoTimeout", true, Silence(), 7, f + "1 (tmo 10000 len 1)");
        add("SerialWrongEcho", true, Raw(SerialWrap(6, ok)), 12,
            f + "2 (request addr: 5, response addr: 6)");
        add("SerialSuccessCrcTimeout", true, ReplyCut(ok), 7, f + "5 (tmo 10000 len 2)");
        const Bytes badOk = Flip(SerialWrap(5, ok), 1, 0x40);
        add("SerialSuccessCrcMismatch", true, Raw(badOk), 13, f + "6 " + CrcPair(badOk));
        // The device code is stored before the CRC trailer is checked.
        const Bytes error = ExchangeAnswer(m, err, ErrorData(m, 0xCAFE0001));
        add("SerialErrorCrcTimeout", true, ReplyCut(error), 7, f + n(e + 1) + " (tmo 10000 len 2)",
            0xCAFE0001);
        const Bytes badError = Flip(SerialWrap(5, error), 2, 0x01);
        add("SerialErrorCrcMismatch", true, Raw(badError), 13,
            f + n(e + 2) + " " + CrcPair(badError), 0xCAFE0001);
    }

    const ExchangeCommand& r = kResetError;
    const Bytes errorHeader = AnswerFrame(0, 0x04C1);
    const Bytes error = Concat(errorHeader, DeviceError(0x100));
    const Bytes badError = Flip(SerialWrap(5, error), 1, 0x01);
    const Bytes badOk = Flip(SerialWrap(5, AnswerFrame(0, 0x04C0)), 1, 0x01);
    const std::string f = "CKelvo::ResetError ";
    // clang-format off
    out.insert(out.end(), {
        {"ResetError_LengthTimeout", &r, false, ReplyCut(errorHeader), 7, f + "fail 7 (tmo 10000 len 1)", 0},
        {"ResetError_CodeTimeout", &r, false, ReplyCut(Concat(errorHeader, {4, 1})), 7, f + "fail 8 (tmo 10000 len 4)", 0},
        {"ResetError_DeviceError", &r, false, Reply(error), 1, f + "fail 11 (error code: 256)", 0x100},
        {"ResetError_SerialCrcTimeout", &r, true, ReplyCut(error), 7, f + "CRC timeout fail 9 (tmo 10000 len 2)", 0x100},
        {"ResetError_SerialCrcMismatch", &r, true, Raw(badError), 13, f + "CRC fail 9 " + CrcPair(badError), 0x100},
        {"ResetError_SerialSuccessCrcMismatch", &r, true, Raw(badOk), 13, f + "CRC fail 5 " + CrcPair(badOk), 0},
        {"ResetError_UnexpectedStatus", &r, false, Reply(AnswerFrame(0, 0x04C2)), 5, f + "fail 12 (1218)", 0},
        {"ResetError_SerialEchoTimeout", &r, true, Silence(), 7, f + "read serial address fail (tmo 10000 len 1)", 0},
    });
    // clang-format on
    return out;
}

class CommandExchangeFailure : public ::testing::TestWithParam<ExchangeFailure> {};

TEST_P(CommandExchangeFailure, SetsCodeTracesAndUnlocksOnce) {
    const ExchangeFailure& fc = GetParam();
    ConnectedKelvo c(fc.serial, 5);
    fc.script(c);
    ExpectFailure(
        c, [&] { return fc.cmd->call(c.kelvo); }, fc.code, fc.cmd->entry, fc.last);
    EXPECT_EQ(c.transport->Count("Write"), fc.code == 6 ? 0 : 1);
    EXPECT_EQ(c.kelvo->deviceStatus, fc.deviceStatus);
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandExchangeFailure, ::testing::ValuesIn(ExchangeFailures()),
                         [](const auto& info) { return info.param.name; });

// A length byte other than 4: all L bytes are read and covered by the CRC;
// the first (at most 4) of them are the code.
TEST(LengthPrefixedDeviceError, KeepsAtMostFourBytesAndChecksAllReceived) {
    const std::pair<Bytes, std::uint32_t> cases[] = {{{}, 0},
                                                     {{0x34, 0x12}, 0x1234},
                                                     {{1, 2, 3, 4}, 0x04030201},
                                                     {{1, 2, 3, 4, 5, 6, 7}, 0x04030201}};
    const std::pair<Call, std::uint16_t> commands[] = {
        {[](CKelvo* k) { return k->ResetError(2); }, 0x04C1},
        {[](CKelvo* k) { return k->DeleteErrorLog(); }, 0x0431},
    };
    for (const auto& [call, errorWord] : commands) {
        for (const auto& [code, status] : cases) {
            for (bool serial : {false, true}) {
                SCOPED_TRACE(std::to_string(errorWord) + " L=" + std::to_string(code.size()) +
                             (serial ? " serial" : " tcp"));
                ConnectedKelvo c(serial, 5);
                c.kelvo->deviceStatus = 0xFFFFFFFF;
                const Bytes data = Concat({static_cast<std::uint8_t>(code.size())}, code);
                c.transport->Answer(c.Wire(AnswerFrame(0, errorWord, data)));
                EXPECT_EQ(call(c.kelvo), E_FAIL);
                EXPECT_EQ(c.kelvo->errorCode, 1);
                EXPECT_EQ(c.kelvo->deviceStatus, status);
                if (!serial && !code.empty()) {
                    EXPECT_EQ(c.transport->Count("Read " + std::to_string(code.size())), 1);
                }
            }
        }
    }
}

TEST(DeviceCommands, WithoutAdapterOnlyTheEntryIsTraced) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    TraceCapture trace;
    EXPECT_EQ(k->Reset_Command(), E_FAIL);
    EXPECT_EQ(k->Restore_Command(1), E_FAIL);
    EXPECT_EQ(k->DeleteErrorLog(), E_FAIL);
    EXPECT_EQ(k->ResetError(0), E_FAIL);
    EXPECT_EQ(k->errorCode, 6);
    EXPECT_THAT(trace.lines, ElementsAre("CKelvo::Reset_Command", "CKelvo::Restore_Command",
                                         "CKelvo::DeleteErroLog", "CKelvo::ResetError 0"));
    // The counter advanced once per request although none was sent.
    EXPECT_EQ(k->frameCount, 4);
    k->Release();
}

} // namespace
} // namespace kelvo::test

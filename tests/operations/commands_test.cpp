// The five device commands on the scripted transport: their requests byte for
// byte, and every numbered failure of the command exchange in TCP and serial
// mode.
#include "operations/answers.h"
#include "support/trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* name;
    std::function<HRESULT(CKelvo*)> call;
    const char* entry;
    const char* request; // TCP frame, node 0x21, first counter
    Bytes answer;        // success answer (TCP form)
    int headerRead;
};

const RequestCase kRequests[] = {
    {"Save", [](CKelvo* k) { return k->Save_Command(); }, "CKelvo::Save_Command",
     "21 00 00 02 0e 30", AnswerFrame(0, 0x30E0), 6},
    {"ResetError", [](CKelvo* k) { return k->ResetError(3); }, "CKelvo::ResetError 3",
     "21 00 00 03 0c 04 03", AnswerFrame(0, 0x04C0), 6},
    {"Reset", [](CKelvo* k) { return k->Reset_Command(); }, "CKelvo::Reset_Command",
     "21 00 00 02 01 04", AnswerFrame(0, 0x0410, {0x5A}), 7},
    {"Restore", [](CKelvo* k) { return k->Restore_Command(0x7FFF1234); }, "CKelvo::Restore_Command",
     "21 00 00 04 02 04 34 12", AnswerFrame(0, 0x0420, {0}), 7},
    {"RestoreNegativeFilter", [](CKelvo* k) { return k->Restore_Command(-2); },
     "CKelvo::Restore_Command", "21 00 00 04 02 04 fe ff", AnswerFrame(0, 0x0420, {0}), 7},
    {"DeleteErrorLog", [](CKelvo* k) { return k->DeleteErrorLog(); }, "CKelvo::DeleteErroLog",
     "21 00 00 02 03 04", AnswerFrame(0, 0x0430), 6},
};

class CommandRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CommandRequest, TcpFrameIsExactAndSucceeds) {
    const RequestCase& rc = GetParam();
    ConnectedKelvo c;
    c.kelvo->canNode = 0x21;
    c.kelvo->errorCode = 9;
    c.transport->Answer(rc.answer);
    TraceCapture trace;
    EXPECT_EQ(rc.call(c.kelvo), S_OK);
    EXPECT_EQ(c.kelvo->errorCode, 0);
    EXPECT_THAT(trace.lines, ElementsAre(rc.entry));
    const std::string read = "Read " + std::to_string(rc.headerRead) + " 10000";
    EXPECT_THAT(c.transport->calls, ElementsAre("Lock", "Reset", std::string("Write ") + rc.request,
                                                "Flush", read, "Unlock"));
}

TEST_P(CommandRequest, SerialFrameCarriesAddressAndCrc) {
    const RequestCase& rc = GetParam();
    ConnectedKelvo c(true, 9);
    c.kelvo->canNode = 0x21;
    c.transport->Answer(c.Wire(rc.answer));
    EXPECT_EQ(rc.call(c.kelvo), S_OK);
    ASSERT_EQ(c.transport->writes.size(), 1u);
    Bytes frame;
    for (std::size_t i = 0; i < std::string(rc.request).size(); i += 3)
        frame.push_back(static_cast<std::uint8_t>(
            std::stoi(std::string(rc.request).substr(i, 2), nullptr, 16)));
    EXPECT_EQ(Hex(c.transport->writes[0]), Hex(SerialWrap(9, frame)));
    // Address echo, header, CRC trailer.
    EXPECT_EQ(c.transport->Count("Read 1"), 1);
    EXPECT_EQ(c.transport->Count("Read " + std::to_string(rc.headerRead)), 1);
    EXPECT_EQ(c.transport->Count("Read 2"), 1);
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
}

TEST_P(CommandRequest, BroadcastAddressAcceptsAnyEcho) {
    const RequestCase& rc = GetParam();
    ConnectedKelvo c(true, 255);
    c.transport->Answer(SerialWrap(0x37, rc.answer));
    EXPECT_EQ(rc.call(c.kelvo), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandRequest, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- command exchange

// Reset, restore and the log deletion share the exchange; they differ in the
// header length, the length byte of the error answer and their texts.
struct ExchangeCommand {
    const char* name;
    std::function<HRESULT(CKelvo*)> call;
    std::string entry;
    std::string prefix;
    std::uint16_t success;
    int header;               // answer header bytes
    bool lengthByte;          // the error answer starts with a length byte
    std::string statusSuffix; // trace of an unexpected status word 0x1234
};

const ExchangeCommand kReset{"Reset",
                             [](CKelvo* k) { return k->Reset_Command(); },
                             "CKelvo::Reset_Command",
                             "CKelvo::Reset_Command",
                             0x0410,
                             7,
                             false,
                             " fail (4660)"};
const ExchangeCommand kRestore{"Restore",
                               [](CKelvo* k) { return k->Restore_Command(70000); },
                               "CKelvo::Restore_Command",
                               "CKelvo::Restore_Command",
                               0x0420,
                               7,
                               false,
                               " fail 11 (4660)"};
const ExchangeCommand kDelete{"DeleteErrorLog",
                              [](CKelvo* k) { return k->DeleteErrorLog(); },
                              "CKelvo::DeleteErroLog",
                              "CKelvo::DeleteErrorLog",
                              0x0430,
                              6,
                              true,
                              " fail 12 (4660)"};

// The answer with `status` and the data after the status word; reset and
// restore put their seventh header byte first.
Bytes ExchangeAnswer(const ExchangeCommand& cmd, std::uint16_t status, const Bytes& data = {}) {
    return AnswerFrame(0, status, Concat(cmd.header == 7 ? Bytes{0} : Bytes{}, data));
}

Bytes ErrorData(const ExchangeCommand& cmd, std::uint32_t code) {
    return Concat(cmd.lengthByte ? Bytes{4} : Bytes{}, Le32(code));
}

struct ExchangeFailure {
    std::string name;
    const ExchangeCommand* cmd;
    bool serial;
    // Scripts the transport; returns the expected last trace line ("" for
    // the entry line alone).
    std::function<std::string(ConnectedKelvo&)> script;
    SHORT code;
};

std::vector<ExchangeFailure> ExchangeFailures() {
    std::vector<ExchangeFailure> out;
    for (const ExchangeCommand* cmd : {&kReset, &kRestore, &kDelete}) {
        const ExchangeCommand& m = *cmd;
        const std::string p = m.prefix;
        const int errorStep = m.lengthByte ? 8 : 7; // the code bytes
        auto add = [&](const std::string& name, bool serial, SHORT code,
                       std::function<std::string(ConnectedKelvo&)> script) {
            out.push_back({std::string(m.name) + "_" + name, cmd, serial, std::move(script), code});
        };
        for (bool serial : {false, true}) {
            const std::string mode = serial ? "Serial" : "Tcp";
            add(mode + "LockRefused", serial, 6, [](ConnectedKelvo& c) {
                c.transport->FailNextLock();
                return std::string();
            });
            add(mode + "SendFails", serial, 8, [](ConnectedKelvo& c) {
                c.transport->FailNextWrite();
                return std::string();
            });
            add(mode + "HeaderTimeout", serial, 7, [=](ConnectedKelvo& c) {
                c.transport->AnswerThenTimeout(c.kelvo->serialMode ? Bytes{5, 0, 0} : Bytes{0, 0});
                return p + " fail 3 (tmo 10000 len " + std::to_string(m.header) + ")";
            });
            add(mode + "WrongCounter", serial, 4, [=](ConnectedKelvo& c) {
                Bytes a = ExchangeAnswer(m, m.success);
                a[1] = 7;
                c.transport->Answer(c.Wire(a));
                return p + " fail 4 (frameCount received: 7, frameCount sent: 0)";
            });
            if (m.lengthByte) {
                add(mode + "ErrorLengthTimeout", serial, 7, [=](ConnectedKelvo& c) {
                    Bytes a = ExchangeAnswer(m, static_cast<std::uint16_t>(m.success + 1));
                    c.transport->AnswerThenTimeout(c.kelvo->serialMode ? Concat({5}, a) : a);
                    return p + " fail 7 (tmo 10000 len 1)";
                });
            }
            add(mode + "ErrorCodeTimeout", serial, 7, [=](ConnectedKelvo& c) {
                Bytes a = ExchangeAnswer(m, static_cast<std::uint16_t>(m.success + 1),
                                         m.lengthByte ? Bytes{4, 1, 2} : Bytes{1, 2});
                c.transport->AnswerThenTimeout(c.kelvo->serialMode ? Concat({5}, a) : a);
                return p + " fail " + std::to_string(errorStep) + " (tmo 10000 len 4)";
            });
            add(mode + "DeviceError", serial, 1, [=](ConnectedKelvo& c) {
                c.transport->Answer(c.Wire(ExchangeAnswer(
                    m, static_cast<std::uint16_t>(m.success + 1), ErrorData(m, 0x0B00000C))));
                return p + " fail " + std::to_string(errorStep + 3) + " (error code: 184549388)";
            });
            add(mode + "UnexpectedStatus", serial, 5, [=](ConnectedKelvo& c) {
                c.transport->Answer(c.Wire(ExchangeAnswer(m, 0x1234)));
                return p + m.statusSuffix;
            });
        }
        add("SerialEchoTimeout", true, 7,
            [=](ConnectedKelvo&) { return p + " fail 1 (tmo 10000 len 1)"; });
        add("SerialWrongEcho", true, 12, [=](ConnectedKelvo& c) {
            c.transport->Answer(SerialWrap(6, ExchangeAnswer(m, m.success)));
            return p + " fail 2 (request addr: 5, response addr: 6)";
        });
        add("SerialSuccessCrcTimeout", true, 7, [=](ConnectedKelvo& c) {
            c.transport->AnswerThenTimeout(Concat({5}, ExchangeAnswer(m, m.success)));
            return p + " fail 5 (tmo 10000 len 2)";
        });
        add("SerialSuccessCrcMismatch", true, 13, [=](ConnectedKelvo& c) {
            Bytes b = SerialWrap(5, ExchangeAnswer(m, m.success));
            b.back() ^= 0x40;
            c.transport->Answer(b);
            return p + " fail 6 " + CrcPair(b);
        });
        add("SerialErrorCrcTimeout", true, 7, [=](ConnectedKelvo& c) {
            c.transport->AnswerThenTimeout(
                Concat({5}, ExchangeAnswer(m, static_cast<std::uint16_t>(m.success + 1),
                                           ErrorData(m, 1))));
            return p + " fail " + std::to_string(errorStep + 1) + " (tmo 10000 len 2)";
        });
        add("SerialErrorCrcMismatch", true, 13, [=](ConnectedKelvo& c) {
            Bytes b = SerialWrap(
                5, ExchangeAnswer(m, static_cast<std::uint16_t>(m.success + 1), ErrorData(m, 1)));
            b[b.size() - 2] ^= 0x01;
            c.transport->Answer(b);
            return p + " fail " + std::to_string(errorStep + 2) + " " + CrcPair(b);
        });
    }
    return out;
}

class CommandExchangeFailure : public ::testing::TestWithParam<ExchangeFailure> {};

TEST_P(CommandExchangeFailure, SetsCodeTracesAndUnlocksOnce) {
    const ExchangeFailure& fc = GetParam();
    ConnectedKelvo c(fc.serial, 5);
    const std::string last = fc.script(c);
    TraceCapture trace;

    EXPECT_EQ(fc.cmd->call(c.kelvo), E_FAIL);

    EXPECT_EQ(c.kelvo->errorCode, fc.code);
    EXPECT_EQ(c.transport->Count("Unlock"), fc.code == 6 ? 0 : 1);
    EXPECT_EQ(c.transport->Count("Write"), fc.code == 6 ? 0 : 1);
    ASSERT_FALSE(trace.lines.empty());
    EXPECT_EQ(trace.lines.front(), fc.cmd->entry);
    if (last.empty()) {
        EXPECT_EQ(trace.lines.size(), 1u);
    } else {
        EXPECT_EQ(trace.lines.back(), last);
    }
    for (std::uint32_t cat : trace.categories)
        EXPECT_EQ(cat, 2u);
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandExchangeFailure, ::testing::ValuesIn(ExchangeFailures()),
                         [](const auto& info) { return info.param.name; });

TEST(ResetCommand, DeviceCodeIsStoredBeforeTheCrcCheck) {
    ConnectedKelvo c(true, 5);
    c.kelvo->deviceStatus = 77;
    Bytes b = SerialWrap(5, ExchangeAnswer(kReset, 0x0411, Le32(0xCAFE0001)));
    b.back() ^= 0xFF;
    c.transport->Answer(b);
    EXPECT_EQ(c.kelvo->Reset_Command(), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 13);
    EXPECT_EQ(c.kelvo->deviceStatus, 0xCAFE0001u);
}

// ---------------------------------------------------------------- ResetError

TEST(ResetError, FailuresOfItsErrorAnswer) {
    struct Case {
        const char* name;
        bool serial;
        std::function<Bytes(void)> answer;
        bool thenTimeout;
        SHORT code;
        std::string last; // "CRC" marks the CRC mismatch line, built from the answer
    };
    const Bytes errorHeader = AnswerFrame(0, 0x04C1);
    const Case cases[] = {
        {"LengthTimeout", false, [&] { return errorHeader; }, true, 7,
         "CKelvo::ResetError fail 7 (tmo 10000 len 1)"},
        {"CodeTimeout", false,
         [&] {
             return Concat(errorHeader, {4, 1});
         },
         true, 7, "CKelvo::ResetError fail 8 (tmo 10000 len 4)"},
        {"DeviceError", false, [&] { return Concat(errorHeader, Concat({4}, Le32(0x100))); }, false,
         1, "CKelvo::ResetError fail 11 (error code: 256)"},
        {"SerialCrcTimeout", true,
         [&] { return Concat({5}, Concat(errorHeader, Concat({4}, Le32(0x100)))); }, true, 7,
         "CKelvo::ResetError CRC timeout fail 9 (tmo 10000 len 2)"},
        {"SerialCrcMismatch", true,
         [&] {
             Bytes b = SerialWrap(5, Concat(errorHeader, Concat({4}, Le32(0x100))));
             b.back() ^= 0x01;
             return b;
         },
         false, 13, "CRC"},
        {"SerialSuccessCrcMismatch", true,
         [] {
             Bytes b = SerialWrap(5, AnswerFrame(0, 0x04C0));
             b.back() ^= 0x01;
             return b;
         },
         false, 13, "CRC"},
        {"UnexpectedStatus", false, [] { return AnswerFrame(0, 0x04C2); }, false, 5,
         "CKelvo::ResetError fail 12 (1218)"},
        {"SerialEchoTimeout", true, [] { return Bytes{}; }, true, 7,
         "CKelvo::ResetError read serial address fail (tmo 10000 len 1)"},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        ConnectedKelvo c(cs.serial, 5);
        const Bytes answer = cs.answer();
        if (answer.empty()) {
            // No answer at all: the first read times out.
        } else if (cs.thenTimeout) {
            c.transport->AnswerThenTimeout(answer);
        } else {
            c.transport->Answer(answer);
        }
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->ResetError(1), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, cs.code);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
        ASSERT_FALSE(trace.lines.empty());
        EXPECT_EQ(trace.lines.front(), "CKelvo::ResetError 1");
        if (cs.last != "CRC") {
            EXPECT_EQ(trace.lines.back(), cs.last);
            continue;
        }
        const int step = ldle_u16(&answer[5]) == 0x04C0 ? 5 : 9;
        EXPECT_EQ(trace.lines.back(),
                  "CKelvo::ResetError CRC fail " + std::to_string(step) + " " + CrcPair(answer));
    }
}

// A length byte other than 4: all L bytes are read and covered by the CRC;
// the first (at most 4) of them are the code.
TEST(LengthPrefixedDeviceError, KeepsAtMostFourBytesAndChecksAllReceived) {
    struct Case {
        Bytes codeBytes;
        std::uint32_t status;
    };
    const Case cases[] = {
        {{}, 0},
        {{0x34, 0x12}, 0x1234},
        {{1, 2, 3, 4}, 0x04030201},
        {{1, 2, 3, 4, 5, 6, 7}, 0x04030201},
    };
    struct Command {
        const char* name;
        std::function<HRESULT(CKelvo*)> call;
        std::uint16_t errorWord;
    };
    const Command commands[] = {
        {"ResetError", [](CKelvo* k) { return k->ResetError(2); }, 0x04C1},
        {"DeleteErrorLog", [](CKelvo* k) { return k->DeleteErrorLog(); }, 0x0431},
    };
    for (const Command& cmd : commands) {
        for (const Case& cs : cases) {
            for (bool serial : {false, true}) {
                SCOPED_TRACE(std::string(cmd.name) + " L=" + std::to_string(cs.codeBytes.size()) +
                             (serial ? " serial" : " tcp"));
                ConnectedKelvo c(serial, 5);
                c.kelvo->deviceStatus = 0xFFFFFFFF;
                Bytes data{static_cast<std::uint8_t>(cs.codeBytes.size())};
                data = Concat(data, cs.codeBytes);
                c.transport->Answer(c.Wire(AnswerFrame(0, cmd.errorWord, data)));
                EXPECT_EQ(cmd.call(c.kelvo), E_FAIL);
                EXPECT_EQ(c.kelvo->errorCode, 1);
                EXPECT_EQ(c.kelvo->deviceStatus, cs.status);
                if (!serial && !cs.codeBytes.empty()) {
                    EXPECT_EQ(c.transport->Count("Read " + std::to_string(cs.codeBytes.size())), 1);
                }
            }
        }
    }
}

TEST(DeleteErrorLog, CrcTimeoutAfterSuccessIsATimeOut) {
    ConnectedKelvo c(true, 5);
    c.transport->AnswerThenTimeout(Concat({5}, AnswerFrame(0, 0x0430)));
    EXPECT_EQ(c.kelvo->DeleteErrorLog(), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 7);
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

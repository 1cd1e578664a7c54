// The simulator's framing, command handling and faults, driven in-process.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/faults.h"
#include "kelvo-sim/framing.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/scripted_transport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>
#include <string>

namespace kelvo::sim {
namespace {

Bytes Frame(std::uint8_t node, std::uint16_t counter, std::uint16_t command, Bytes payload = {}) {
    FrameWriter w;
    w.u8(node).u16(counter).u8(static_cast<std::uint8_t>(2 + payload.size())).u16(command);
    w.bytes(payload);
    return std::move(w.data());
}

bool CrcHolds(const Bytes& answer) {
    if (answer.size() < 3)
        return false;
    return Crc16(answer.data(), answer.size() - 2, kCrc16Start) ==
           ldle_u16(answer.data() + answer.size() - 2);
}

Fault MustParse(const std::string& text) {
    Fault fault;
    std::string error;
    EXPECT_TRUE(ParseFault(text, fault, error)) << error;
    return fault;
}

// One simulated device and one link's assembler, fed like a connection.
class Device {
public:
    explicit Device(FaultPlan plan = {}, LinkKind link = LinkKind::Tcp)
        : sim_(MakeState(), DefaultCommands(), std::move(plan)), link_(link),
          assembler_(link == LinkKind::Serial, sim_.Commands()) {}

    static DeviceState MakeState() {
        DeviceState state;
        state.node = 3;
        state.serialAddress = 5;
        return state;
    }

    // Feeds bytes and returns the outcomes of every frame they complete.
    std::vector<Outcome> Feed(const Bytes& bytes) {
        assembler_.Feed(bytes);
        std::vector<Outcome> outcomes;
        while (std::optional<IncomingFrame> in = assembler_.Next())
            outcomes.push_back(sim_.Handle(link_, *in));
        return outcomes;
    }

    // All answer bytes the bytes bring back.
    Bytes Answer(const Bytes& bytes) {
        Bytes all;
        for (const Outcome& out : Feed(bytes))
            all.insert(all.end(), out.bytes.begin(), out.bytes.end());
        return all;
    }

    Simulator& sim() { return sim_; }
    std::size_t Pending() const { return assembler_.Pending(); }

private:
    Simulator sim_;
    LinkKind link_;
    FrameAssembler assembler_;
};

FaultPlan Plan(std::initializer_list<const char*> faults, std::uint64_t at = 1,
               std::uint64_t count = 0) {
    FaultPlan plan;
    for (const char* text : faults)
        plan.faults.push_back(MustParse(text));
    plan.firstRequest = at;
    plan.count = count;
    return plan;
}

TEST(SimulatorSave, TcpRequestGetsSuccessWordWithNodeAndCounter) {
    Device device;
    EXPECT_EQ(device.Answer(Frame(0, 0x012A, 0x300E)), (Bytes{0x03, 0x2A, 0x01, 0x02, 0xE0, 0x30}));
    EXPECT_EQ(device.sim().State().saveCount, 1u);
    EXPECT_EQ(device.sim().Requests(), 1u);
}

TEST(SimulatorSave, SerialRequestForAddress5IsAnsweredWithEchoAndCrc) {
    Device device({}, LinkKind::Serial);
    // Request and answer bytes checked against an independent CRC-16/CCITT-FALSE.
    Bytes request = test::SerialWrap(5, Frame(3, 0x012A, 0x300E));
    ASSERT_EQ(request, (Bytes{0x05, 0x03, 0x2A, 0x01, 0x02, 0x0E, 0x30, 0x1B, 0x05}));
    EXPECT_EQ(device.Answer(request),
              (Bytes{0x05, 0x03, 0x2A, 0x01, 0x02, 0xE0, 0x30, 0xA6, 0x36}));
    EXPECT_EQ(device.sim().State().saveCount, 1u);
}

TEST(SimulatorSave, PayloadOnSaveIsRefusedAsBadRequest) {
    Device device;
    EXPECT_EQ(device.Answer(Frame(0, 1, 0x300E, {0x99})),
              (Bytes{0x03, 0x01, 0x00, 0x07, 0xE1, 0x30, 0x04, 0x02, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(device.sim().State().saveCount, 0u);
}

TEST(SimulatorCommands, UnknownCommandGetsErrorWordOfTheRuleAndUnknownCode) {
    Device device;
    EXPECT_EQ(device.Answer(Frame(0, 9, 0x0F0C, {0x03})),
              (Bytes{0x03, 0x09, 0x00, 0x07, 0xC1, 0x0F, 0x04, 0x01, 0x00, 0x00, 0x0A}));
}

TEST(SimulatorSerial, AddressFilterAnswersOwnAndBroadcastOnly) {
    struct Case {
        std::uint8_t address;
        bool answered;
    };
    for (Case c : {Case{5, true}, Case{255, true}, Case{6, false}, Case{0, false}}) {
        Device device({}, LinkKind::Serial);
        Bytes answer = device.Answer(test::SerialWrap(c.address, Frame(0, 7, 0x300E)));
        EXPECT_EQ(!answer.empty(), c.answered) << int(c.address);
        if (c.answered) {
            EXPECT_EQ(answer[0], 5) << "the device echoes its own address";
            EXPECT_TRUE(CrcHolds(answer));
        }
        EXPECT_EQ(device.sim().State().saveCount, c.answered ? 1u : 0u);
    }
}

TEST(SimulatorSerial, WrongCrcIsNotAnsweredAndTheNextRequestIs) {
    Device device({}, LinkKind::Serial);
    Bytes bad = test::SerialWrap(5, Frame(0, 1, 0x300E));
    bad.back() ^= 0x01;
    Bytes good = test::SerialWrap(5, Frame(0, 2, 0x300E));
    Bytes both = bad;
    both.insert(both.end(), good.begin(), good.end());
    std::vector<Outcome> outcomes = device.Feed(both);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(outcomes[0].bytes.empty());
    ASSERT_FALSE(outcomes[1].bytes.empty());
    EXPECT_EQ(outcomes[1].bytes[2], 2) << "answer to the second request";
    EXPECT_EQ(device.sim().Requests(), 1u);
}

TEST(SimulatorFraming, RequestsSplitAnywhereOrJoinedAreAnsweredInOrder) {
    for (bool serial : {false, true}) {
        Device device({}, serial ? LinkKind::Serial : LinkKind::Tcp);
        Bytes stream;
        for (std::uint16_t counter = 0; counter < 3; ++counter) {
            Bytes frame = Frame(0, counter, 0x300E);
            Bytes request = serial ? test::SerialWrap(5, frame) : frame;
            stream.insert(stream.end(), request.begin(), request.end());
        }
        std::vector<std::uint16_t> counters;
        for (std::uint8_t b : stream) {
            for (const Outcome& out : device.Feed({b}))
                counters.push_back(ldle_u16(out.bytes.data() + (serial ? 2 : 1)));
        }
        EXPECT_EQ(counters, (std::vector<std::uint16_t>{0, 1, 2})) << "serial " << serial;
        EXPECT_EQ(device.Pending(), 0u);
    }
}

TEST(SimulatorFraming, LengthByteZeroOrOneIsSkippedWithoutLosingTheNextFrame) {
    Device device;
    Bytes stream = {0x00, 0x01, 0x00, 0x00,        // length 0
                    0x00, 0x02, 0x00, 0x01, 0x0E}; // length 1
    Bytes save = Frame(0, 3, 0x300E);
    stream.insert(stream.end(), save.begin(), save.end());
    EXPECT_EQ(device.Answer(stream), (Bytes{0x03, 0x03, 0x00, 0x02, 0xE0, 0x30}));
    EXPECT_EQ(device.sim().Requests(), 1u);
}

// A command whose length byte wraps: the frame size comes from its own field.
std::size_t ValueLengthFrameSize(std::span<const std::uint8_t> frame) {
    if (frame.size() < 7)
        return 7;
    return 7 + frame[6];
}

TEST(SimulatorFraming, CommandFrameSizerOverridesTheWrappedLengthByte) {
    CommandTable table;
    Command echo = MakeCommand(0x0202, "echo", [](DeviceState&, const Request& request) {
        FrameWriter size;
        size.u16(static_cast<std::uint16_t>(request.payload.size()));
        return Reply::Success(size.data());
    });
    echo.frameSize = ValueLengthFrameSize;
    table.Add(echo);
    Simulator sim(DeviceState{}, std::move(table));

    // Value lengths whose length byte (3 + n) wraps to 2, 1 and 0.
    for (int n : {255, 254, 253}) {
        FrameAssembler assembler(false, sim.Commands());
        Bytes frame = {0x00,
                       0x01,
                       0x00,
                       static_cast<std::uint8_t>((3 + n) % 256),
                       0x02,
                       0x02,
                       static_cast<std::uint8_t>(n)};
        frame.resize(frame.size() + static_cast<std::size_t>(n), 0x41);
        Bytes save = Frame(0, 2, 0x300E);
        frame.insert(frame.end(), save.begin(), save.end());
        assembler.Feed(frame);
        std::optional<IncomingFrame> in = assembler.Next();
        ASSERT_TRUE(in) << n;
        EXPECT_EQ(in->frame.size(), 7u + static_cast<std::size_t>(n));
        Outcome out = sim.Handle(LinkKind::Tcp, *in);
        ASSERT_EQ(out.bytes.size(), 8u);
        EXPECT_EQ(ldle_u16(out.bytes.data() + 4), 0x0220);
        EXPECT_EQ(ldle_u16(out.bytes.data() + 6), n + 1);
        EXPECT_EQ(assembler.Pending(), save.size()) << "the next frame stays whole";
    }
}

struct FaultCase {
    const char* fault;
    LinkKind link;
    // Expected answer bytes to a save with counter 0x0102 (node 3, address 5);
    // empty with `silent` also for the close case check below.
    Bytes expected;
    unsigned delayMs = 0;
    bool closeAfter = false;
    std::uint32_t saves = 1;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.fault << " on " << LinkName(c.link);
}

std::string FaultCaseName(const testing::TestParamInfo<FaultCase>& info) {
    std::string name = std::string(LinkName(info.param.link)) + "_" + info.param.fault;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    }
    return name;
}

class SimulatorFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimulatorFault, TransformsTheAnswerAsDocumented) {
    const FaultCase& c = GetParam();
    Device device(Plan({c.fault}), c.link);
    Bytes frame = Frame(0, 0x0102, 0x300E);
    std::vector<Outcome> outcomes =
        device.Feed(c.link == LinkKind::Serial ? test::SerialWrap(5, frame) : frame);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].bytes, c.expected);
    EXPECT_EQ(outcomes[0].delayMs, c.delayMs);
    EXPECT_EQ(outcomes[0].closeAfter, c.closeAfter);
    EXPECT_EQ(device.sim().State().saveCount, c.saves);
}

const Bytes kSaveAnswer = {0x03, 0x02, 0x01, 0x02, 0xE0, 0x30};

Bytes WithBadCrc(Bytes answer) {
    answer[answer.size() - 2] ^= 0xFF;
    answer[answer.size() - 1] ^= 0xFF;
    return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimulatorFault,
    testing::Values(
        FaultCase{"silent", LinkKind::Tcp, {}},
        FaultCase{"delay:250", LinkKind::Tcp, kSaveAnswer, 250},
        FaultCase{"wrong-counter", LinkKind::Tcp, {0x03, 0x03, 0x01, 0x02, 0xE0, 0x30}},
        FaultCase{"wrong-status", LinkKind::Tcp, {0x03, 0x02, 0x01, 0x02, 0xE2, 0x30}},
        FaultCase{"device-error:0x15000002",
                  LinkKind::Tcp,
                  {0x03, 0x02, 0x01, 0x07, 0xE1, 0x30, 0x04, 0x02, 0x00, 0x00, 0x15},
                  0,
                  false,
                  0},
        FaultCase{"close", LinkKind::Tcp, {0x03, 0x02, 0x01}, 0, true},
        FaultCase{"bad-crc", LinkKind::Tcp, kSaveAnswer},
        FaultCase{"wrong-address", LinkKind::Tcp, kSaveAnswer},
        FaultCase{"bad-crc", LinkKind::Serial, WithBadCrc(test::SerialWrap(5, kSaveAnswer))},
        FaultCase{"wrong-address", LinkKind::Serial, test::SerialWrap(6, kSaveAnswer)},
        FaultCase{"wrong-counter", LinkKind::Serial,
                  test::SerialWrap(5, {0x03, 0x03, 0x01, 0x02, 0xE0, 0x30})},
        FaultCase{"device-error:7", LinkKind::Serial,
                  test::SerialWrap(5, {0x03, 0x02, 0x01, 0x07, 0xE1, 0x30, 0x04, 0x07, 0, 0, 0}), 0,
                  false, 0},
        FaultCase{"close", LinkKind::Serial, {0x05, 0x03, 0x02, 0x01}, 0, true}),
    FaultCaseName);

TEST(SimulatorFaultPlan, CountAndStartSelectTheFaultedRequests) {
    struct Case {
        std::uint64_t at;
        std::uint64_t count;
        std::vector<bool> silent; // per request, four requests
    };
    for (const Case& c :
         {Case{1, 1, {true, false, false, false}}, Case{2, 0, {false, true, true, true}},
          Case{2, 2, {false, true, true, false}}}) {
        Device device(Plan({"silent"}, c.at, c.count));
        for (std::uint16_t i = 0; i < 4; ++i) {
            Bytes answer = device.Answer(Frame(0, i, 0x300E));
            EXPECT_EQ(answer.empty(), c.silent[i])
                << "at " << c.at << " count " << c.count << " request " << i + 1;
        }
    }
}

TEST(SimulatorFaultPlan, CommandFilterCountsOnlyThatCommand) {
    FaultPlan plan = Plan({"wrong-status"}, 2, 1);
    plan.command = 0x300E;
    Device device(plan);
    auto status = [&](std::uint16_t command) {
        Bytes answer = device.Answer(Frame(0, 0, command));
        return ldle_u16(answer.data() + 4);
    };
    EXPECT_EQ(status(0x300E), 0x30E0);
    EXPECT_EQ(status(0x7777), 0x7771) << "unknown command, error word, not faulted";
    EXPECT_EQ(status(0x300E), 0x30E2);
    EXPECT_EQ(status(0x300E), 0x30E0);
}

TEST(SimulatorFaultParse, AcceptsTheDocumentedFormsOnly) {
    struct Case {
        const char* text;
        bool ok;
        FaultKind kind;
        std::uint32_t value;
    };
    for (const Case& c : {
             Case{"silent", true, FaultKind::Silent, 0},
             Case{"delay:1500", true, FaultKind::Delay, 1500},
             Case{"device-error:0x1500000E", true, FaultKind::DeviceError, 0x1500000E},
             Case{"device-error:4294967295", true, FaultKind::DeviceError, 0xFFFFFFFF},
             Case{"wrong-address", true, FaultKind::WrongAddress, 0},
             Case{"delay", false, FaultKind::Silent, 0},
             Case{"delay:", false, FaultKind::Silent, 0},
             Case{"delay:-5", false, FaultKind::Silent, 0},
             Case{"device-error:4294967296", false, FaultKind::Silent, 0},
             Case{"silent:1", false, FaultKind::Silent, 0},
             Case{"loud", false, FaultKind::Silent, 0},
         }) {
        Fault fault;
        std::string error;
        ASSERT_EQ(ParseFault(c.text, fault, error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(fault.kind, c.kind) << c.text;
        EXPECT_EQ(fault.value, c.value) << c.text;
    }
}

TEST(SimulatorRobustness, RandomBytesNeverCrashAndAnswersAreWellFormed) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> chunk(1, 40);
    for (bool serial : {false, true}) {
        Device device(Plan({"wrong-status"}, 1, 0), serial ? LinkKind::Serial : LinkKind::Tcp);
        for (int round = 0; round < 3000; ++round) {
            Bytes bytes(static_cast<std::size_t>(chunk(random)));
            for (std::uint8_t& b : bytes)
                b = static_cast<std::uint8_t>(byte(random));
            // Now and then a valid request in the noise, so the handlers run too.
            if (round % 10 == 0) {
                Bytes frame = Frame(static_cast<std::uint8_t>(round), 1,
                                    round % 20 == 0 ? 0x300E : static_cast<std::uint16_t>(round));
                Bytes request = serial ? test::SerialWrap(255, frame) : frame;
                bytes.insert(bytes.end(), request.begin(), request.end());
            }
            for (const Outcome& out : device.Feed(bytes)) {
                if (out.bytes.empty())
                    continue;
                std::size_t head = serial ? 1 : 0;
                std::size_t tail = serial ? 2 : 0;
                ASSERT_GE(out.bytes.size(), head + 6 + tail);
                EXPECT_EQ(out.bytes[head + 3], (out.bytes.size() - head - tail - 4) % 256);
                if (serial) {
                    EXPECT_TRUE(CrcHolds(out.bytes));
                }
            }
            ASSERT_LE(device.Pending(), kMaxRequestFrame + 64);
        }
    }
}

TEST(SimulatorState, ReadsTheStateFileAndRefusesWhatItDoesNotKnow) {
    struct Case {
        const char* xml;
        bool ok;
        int node;
        int address;
        std::uint32_t saves;
    };
    for (const Case& c : {
             Case{"<kelvo-sim/>", true, 0, 1, 0},
             Case{"<kelvo-sim><identity node='7' serialAddress='0x21'/>"
                  "<counters save='41'/></kelvo-sim>",
                  true, 7, 0x21, 41},
             Case{"<kelvo-sim><identity node='256'/></kelvo-sim>", false, 0, 0, 0},
             Case{"<kelvo-sim><identity node='-1'/></kelvo-sim>", false, 0, 0, 0},
             Case{"<kelvo-sim><identity node='x'/></kelvo-sim>", false, 0, 0, 0},
             Case{"<kelvo-sim><identity nodes='1'/></kelvo-sim>", false, 0, 0, 0},
             Case{"<kelvo-sim><users/></kelvo-sim>", false, 0, 0, 0},
             Case{"<device/>", false, 0, 0, 0},
             Case{"<kelvo-sim>", false, 0, 0, 0},
         }) {
        DeviceState state;
        std::string error;
        ASSERT_EQ(ParseDeviceState(c.xml, state, error), c.ok) << c.xml << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.xml;
            continue;
        }
        EXPECT_EQ(state.node, c.node);
        EXPECT_EQ(state.serialAddress, c.address);
        EXPECT_EQ(state.saveCount, c.saves);
    }
}

TEST(SimulatorState, LoadsFromAFileAndNamesTheFileInErrors) {
    std::string path = testing::TempDir() + "kelvo-sim-state-test.xml";
    {
        std::ofstream file(path);
        file << "<?xml version=\"1.0\"?>\n<kelvo-sim><identity node=\"9\"/></kelvo-sim>\n";
    }
    DeviceState state;
    std::string error;
    EXPECT_TRUE(LoadDeviceState(path, state, error)) << error;
    EXPECT_EQ(state.node, 9);
    std::remove(path.c_str());
    EXPECT_FALSE(LoadDeviceState(path, state, error));
    EXPECT_NE(error.find(path), std::string::npos);
}

} // namespace
} // namespace kelvo::sim

// The simulator's framing, command handling and state file, driven in-process.
// Every fault kind, its start, count and command filter run against the
// component in the fault matrix and in KelvoToolSimulator; the fault plan's
// text in fault_plan_test.cpp.
#include "kelvo-sim/faults.h"
#include "sim/sim_helpers.h"

#include "protocol/crc16.h"

#include <fstream>
#include <random>

namespace kelvo::sim {
namespace {

bool CrcHolds(const Bytes& answer) {
    return answer.size() >= 3 && Crc16(answer.data(), answer.size() - 2, kCrc16Start) ==
                                     ldle_u16(answer.data() + answer.size() - 2);
}

// Node 3, serial address 5.
DeviceState Node3() {
    DeviceState state;
    state.node = 3;
    state.serialAddress = 5;
    return state;
}

FaultPlan Plan(std::initializer_list<const char*> faults, std::uint64_t at = 1,
               std::uint64_t count = 0) {
    FaultPlan plan;
    for (const char* text : faults) {
        Fault fault;
        std::string error;
        EXPECT_TRUE(ParseFault(text, fault, error)) << error;
        plan.faults.push_back(fault);
    }
    plan.firstRequest = at;
    plan.count = count;
    return plan;
}

TEST(SimulatorAnswers, SaveAndRefusalsByteForByte) {
    struct Case {
        const char* what;
        LinkKind link;
        Bytes request;
        Bytes answer;
        std::uint32_t saves;
    };
    const Case cases[] = {
        {"save", LinkKind::Tcp, Frame(0x012A, 0x300E), {0x03, 0x2A, 0x01, 0x02, 0xE0, 0x30}, 1},
        // Both checked against an independent CRC-16/CCITT-FALSE.
        {"save for address 5",
         LinkKind::Serial,
         {0x05, 0x03, 0x2A, 0x01, 0x02, 0x0E, 0x30, 0x1B, 0x05},
         {0x05, 0x03, 0x2A, 0x01, 0x02, 0xE0, 0x30, 0xA6, 0x36},
         1},
        {"save with a payload: bad request",
         LinkKind::Tcp,
         Frame(1, 0x300E, {0x99}),
         {0x03, 0x01, 0x00, 0x07, 0xE1, 0x30, 0x04, 0x02, 0x00, 0x00, 0x0A},
         0},
        {"unknown command: the error word of the rule",
         LinkKind::Tcp,
         Frame(9, 0x0F0C, {0x03}),
         {0x03, 0x09, 0x00, 0x07, 0xC1, 0x0F, 0x04, 0x01, 0x00, 0x00, 0x0A},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Device device(Node3(), c.link);
        EXPECT_EQ(device.Ask(c.request), c.answer);
        EXPECT_EQ(device.State().saveCount, c.saves);
        EXPECT_EQ(device.sim().Requests(), 1u);
    }
}

// Behind a request with a wrong CRC, which is never answered.
TEST(SimulatorSerial, AddressFilterAnswersOwnAndBroadcastOnly) {
    for (auto [address, answered] :
         {std::pair<std::uint8_t, bool>{5, true}, {255, true}, {6, false}, {0, false}}) {
        Device device(Node3(), LinkKind::Serial);
        Bytes bad = test::SerialWrap(5, Frame(1, 0x300E));
        bad.back() ^= 0x01;
        std::vector<Outcome> out =
            device.Feed(Join({bad, test::SerialWrap(address, Frame(2, 0x300E))}));
        ASSERT_EQ(out.size(), 2u);
        EXPECT_TRUE(out[0].bytes.empty());
        EXPECT_EQ(!out[1].bytes.empty(), answered) << int(address);
        if (answered) {
            EXPECT_EQ(out[1].bytes[0], 5) << "the device echoes its own address";
            EXPECT_EQ(out[1].bytes[2], 2) << "answer to the second request";
            EXPECT_TRUE(CrcHolds(out[1].bytes));
        }
        EXPECT_EQ(device.sim().Requests(), answered ? 1u : 0u);
        EXPECT_EQ(device.State().saveCount, answered ? 1u : 0u);
    }
}

TEST(SimulatorFraming, RequestsSplitAnywhereOrJoinedAreAnsweredInOrder) {
    for (bool serial : {false, true}) {
        Device device(Node3(), serial ? LinkKind::Serial : LinkKind::Tcp);
        Bytes stream;
        for (std::uint16_t counter = 0; counter < 3; ++counter) {
            Bytes frame = Frame(counter, 0x300E);
            stream = Join({stream, serial ? test::SerialWrap(5, frame) : frame});
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
    Device device(Node3());
    Bytes stream = {0x00, 0x01, 0x00, 0x00,        // length 0
                    0x00, 0x02, 0x00, 0x01, 0x0E}; // length 1
    EXPECT_EQ(device.Ask(Join({stream, Frame(3, 0x300E)})),
              (Bytes{0x03, 0x03, 0x00, 0x02, 0xE0, 0x30}));
    EXPECT_EQ(device.sim().Requests(), 1u);
}

TEST(SimulatorFraming, CommandFrameSizerOverridesTheWrappedLengthByte) {
    CommandTable table;
    Command echo = MakeCommand(0x0202, "echo", [](DeviceState&, const Request& request) {
        FrameWriter size;
        size.u16(static_cast<std::uint16_t>(request.payload.size()));
        return Reply::Success(size.data());
    });
    // The frame size comes from the command's own value-length field.
    echo.frameSize = [](std::span<const std::uint8_t> frame) -> std::size_t {
        return frame.size() < 7 ? 7 : 7 + frame[6];
    };
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
        const Bytes save = Frame(2, 0x300E);
        assembler.Feed(Join({frame, save}));
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

TEST(SimulatorRobustness, RandomBytesNeverCrashAndAnswersAreWellFormed) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> chunk(1, 40);
    for (bool serial : {false, true}) {
        Device device({}, serial ? LinkKind::Serial : LinkKind::Tcp, Plan({"wrong-status"}));
        for (int round = 0; round < 3000; ++round) {
            Bytes bytes(static_cast<std::size_t>(chunk(random)));
            for (std::uint8_t& b : bytes)
                b = static_cast<std::uint8_t>(byte(random));
            // Now and then a valid request in the noise, so the handlers run too.
            if (round % 10 == 0) {
                Bytes frame = Frame(1, round % 20 == 0 ? 0x300E : static_cast<std::uint16_t>(round),
                                    {}, static_cast<std::uint8_t>(round));
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

TEST(SimulatorState, ReadsIdentityAndCounters) {
    for (auto [xml, node, address, saves] :
         {std::tuple<const char*, int, int, std::uint32_t>{"<kelvo-sim/>", 0, 1, 0},
          {"<kelvo-sim><identity node='7' serialAddress='0x21'/><counters save='41'/></kelvo-sim>",
           7, 0x21, 41}}) {
        DeviceState state;
        ASSERT_TRUE(Parses(xml, state)) << xml;
        EXPECT_EQ(state.node, node);
        EXPECT_EQ(state.serialAddress, address);
        EXPECT_EQ(state.saveCount, saves);
    }
}

// Every section refuses what it does not know, with a reason.
TEST(SimulatorState, RefusesWhatItDoesNotKnow) {
    std::vector<std::string> bad = {
        "<device/>",
        "<kelvo-sim>",
        "<kelvo-sim><table/></kelvo-sim>",
    };
    const char* sections[] = {
        "<identity node='256'/>",
        "<identity node='-1'/>",
        "<identity node='x'/>",
        "<identity nodes='1'/>",
        // Users and the session.
        "<users/>",
        R"(<users><user password="x"/></users>)",
        R"(<users><user name="a"/><user name="a"/></users>)",
        R"(<users><user name="a" pin="1"/></users>)",
        R"(<users><account name="a"/></users>)",
        R"(<users><user name="a" role="256"/></users>)",
        R"(<users><user name="a" permissions="-1"/></users>)",
        R"(<users all="1"><user name="a"/></users>)",
        R"(<session required="2"/>)",
        R"(<security key="00"/>)",
        // Data areas.
        R"(<data><block rtNum="1" size="1" bytes="0102"/></data>)",
        R"(<data><block rtNum="256"/></data>)",
        R"(<data><block rtNum="1"/><block rtNum="1"/></data>)",
        R"(<data><block bytes="0g"/></data>)",
        R"(<data><block colour="red"/></data>)",
        R"(<data><safety bytes="00"/></data>)",
        R"(<data><object index="1"/><object index="1"/></data>)",
        R"(<data><ssc size="65537"/></data>)",
        R"(<data><table/></data>)",
        // The error log.
        R"(<errorLog frameSize="0"/>)",
        R"(<errorLog><entry>0g</entry></errorLog>)",
        R"(<errorLog><entry>123</entry></errorLog>)",
        R"(<errorLog><record/></errorLog>)",
        R"(<errorLog size="1"/>)",
        // Discovery and ping.
        R"(<discovery ip="10.0.0"/>)",
        R"(<discovery mac="0A:0B:0C"/>)",
        R"(<discovery items="1 x"/>)",
        R"(<discovery color="red"/>)",
        R"(<discovery><thing/></discovery>)",
        R"(<ping><item key="256" type="1"/></ping>)",
        R"(<ping><item key="1" type="1" value="0"/></ping>)",
        R"(<ping><item key="1" type="0x100000000"/></ping>)",
        // Parameters.
        R"(<parameters><parameter index="1" type="i5" value="1"/></parameters>)",
        R"(<parameters><parameter type="i4" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i1" value="128"/></parameters>)",
        R"(<parameters><parameter index="1" type="u2" value="-1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i4" value="x"/></parameters>)",
        R"(<parameters><parameter index="1" type="r4" value="1e39"/></parameters>)",
        R"(<parameters><parameter index="70000" type="i4" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i4" value="1" colour="red"/></parameters>)",
        R"(<parameters><param index="1" type="i4" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i4"/><parameter index="1" type="u1"/></parameters>)",
    };
    for (const char* section : sections)
        bad.push_back(std::string("<kelvo-sim>") + section + "</kelvo-sim>");
    bad.push_back("<kelvo-sim><users><user name=\"" + std::string(256, 'n') +
                  "\"/></users></kelvo-sim>");
    std::string key;
    for (std::size_t i = 0; i < kAdminKeySize; ++i)
        key += i % 2 ? "aB" : "01";
    DeviceState good;
    ASSERT_TRUE(Parses("<kelvo-sim><security adminKey=\"" + key + "\"/></kelvo-sim>", good));
    EXPECT_EQ(good.adminKey[0], 0x01);
    EXPECT_EQ(good.adminKey[1], 0xAB);
    for (const std::string& k : {key.substr(1), key + "00", "0x" + key.substr(2),
                                 key.substr(0, 10) + "g" + key.substr(11)})
        bad.push_back("<kelvo-sim><security adminKey=\"" + k + "\"/></kelvo-sim>");

    for (const std::string& xml : bad) {
        DeviceState state;
        EXPECT_FALSE(Parses(xml, state)) << xml;
        EXPECT_EQ(state.users.size(), 1u) << "the default table stays: " << xml;
    }
}

TEST(SimulatorState, LoadsFromAFileAndNamesTheFileInErrors) {
    std::string path = testing::TempDir() + "kelvo-sim-state-test.xml";
    std::ofstream(path)
        << "<?xml version=\"1.0\"?>\n<kelvo-sim><identity node=\"9\"/></kelvo-sim>\n";
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

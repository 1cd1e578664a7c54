// The simulator's framing, command handling and state file, driven in-process.
// Every fault kind, its start, count and command filter run against the
// component in the fault matrix and in KelvoToolSimulator; the fault plan's
// text in fault_plan_test.cpp. Loading a state file by name and the wrapped
// length byte of long frames run end to end (DataAgainstSim, the fault matrix).
#include "sim/sim_helpers.h"

#include "protocol/crc16.h"

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

// Every section refuses what it does not know, with a reason.
TEST(SimulatorState, RefusesWhatItDoesNotKnow) {
    std::vector<std::string> bad = {
        "<device/>",
        "<kelvo-sim>",
        "<kelvo-sim><table/></kelvo-sim>",
    };
    const char* sections[] = {
        "<identity node='256'/>",
        // Users and the session.
        "<users/>",
        R"(<users><user name="a"/><user name="a"/></users>)",
        R"(<session required="2"/>)",
        R"(<security key="00"/>)",
        // Data areas.
        R"(<data><block rtNum="256"/></data>)",
        R"(<data><safety bytes="00"/></data>)",
        R"(<data><ssc size="65537"/></data>)",
        // The error log.
        R"(<errorLog frameSize="0"/>)",
        R"(<errorLog><entry>123</entry></errorLog>)",
        // Discovery and ping.
        R"(<discovery ip="10.0.0"/>)",
        R"(<discovery items="1 x"/>)",
        R"(<ping><item key="256" type="1"/></ping>)",
        R"(<ping><item key="1" type="0x100000000"/></ping>)",
        // Parameters.
        R"(<parameters><parameter index="1" type="i5" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i1" value="128"/></parameters>)",
        R"(<parameters><parameter index="1" type="r4" value="1e39"/></parameters>)",
        R"(<parameters><parameter index="70000" type="i4" value="1"/></parameters>)",
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

} // namespace
} // namespace kelvo::sim

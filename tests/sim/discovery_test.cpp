// The simulator's discovery answer, its ping command and their state-file
// sections, in-process.
#include "discovery/scan_udp.h"
#include "kelvo-sim/discovery.h"
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

std::string Line(const Bytes& datagram) {
    std::string text;
    discovery::RenderScanAnswer(datagram, text);
    return text;
}

TEST(SimulatorDiscovery, AnswersRequestsWithTheConfiguredItems) {
    DeviceState state;
    state.node = 3;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><discovery ip="10.0.0.9" name="axis" serial="S1"
        mac="0A:0B:0C:0D:0E:0F" firmware="0x01020304" items="1 9 5 6 7 8 10 4">
        <item type="300" text="x"/></discovery></kelvo-sim>)",
                       state));
    const Bytes answer = DiscoveryAnswer(state, discovery::ScanRequest(1234567), "127.0.0.2");
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ(answer[1], 9);
    // Type 4 has no value on this device: an empty value (0.0.0.0).
    EXPECT_EQ(Line(answer),
              "10.0.0.9\t0A:0B:0C:0D:0E:0F\t3\taxis\tS1\t16909060\t1234567\t0.0.0.0\t\t\n");

    EXPECT_TRUE(DiscoveryAnswer(state, Bytes{2, 0, 0, 0}, "127.0.0.2").empty());
    EXPECT_TRUE(DiscoveryAnswer(state, Bytes{}, "127.0.0.2").empty());
    // A short request still gets an answer (time 0).
    EXPECT_FALSE(DiscoveryAnswer(state, Bytes{1}, "127.0.0.2").empty());
}

TEST(SimulatorDiscovery, DefaultsUseTheStartAddress) {
    EXPECT_EQ(Line(DiscoveryAnswer(DeviceState{}, discovery::ScanRequest(0), "127.0.0.7")),
              "127.0.0.7\t255.255.255.0\t0.0.0.0\t0\tkelvo-sim\tKS-000001\t10000\t02:00:00:00:00:"
              "01\t\n");
}

TEST(SimulatorPing, AnswersItemsAndKeepsTheBlinkTime) {
    DeviceState state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><session required="1"/><ping>
        <item key="9" type="0x00050006" value="3412"/><item key="2" type="0x00070009" text="ok"/>
        </ping></kelvo-sim>)",
                       state));
    Device d(state);
    // Answered without a login session.
    EXPECT_EQ(d.Ask(Frame(4, 0x0101, {0xB8, 0x0B})),
              Answer(4, 0x0110, {2, 9, 6, 0, 5, 0, 2, 0x34, 0x12, 2, 9, 0, 7, 0, 2, 'o', 'k'}));
    EXPECT_EQ(d.State().network.lastBlink, 3000);
    EXPECT_EQ(d.State().network.pings, 1u);
    // A payload of another size is refused.
    EXPECT_EQ(d.Ask(Frame(5, 0x0101, {1})), ErrorAnswer(5, 0x0111, kBadRequestError));

    DeviceState none;
    ASSERT_TRUE(Parses("<kelvo-sim><ping/></kelvo-sim>", none));
    EXPECT_EQ(Device(none).Ask(Frame(0, 0x0101, {0, 0})), Answer(0, 0x0110, {0}));
}

} // namespace
} // namespace kelvo::sim

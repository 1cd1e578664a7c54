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

// The configured items run end to end in ScanLoopback.SimulatorAnswersWithItsItems.
TEST(SimulatorDiscovery, DefaultsUseTheStartAddress) {
    EXPECT_EQ(Line(DiscoveryAnswer(DeviceState{}, discovery::ScanRequest(0), "127.0.0.7")),
              "127.0.0.7\t255.255.255.0\t0.0.0.0\t0\tkelvo-sim\tKS-000001\t10000\t02:00:00:00:00:"
              "01\t\n");
    // Only a request (kind 1) is answered, a short one too (time 0).
    EXPECT_TRUE(DiscoveryAnswer(DeviceState{}, Bytes{2, 0, 0, 0}, "127.0.0.2").empty());
    EXPECT_TRUE(DiscoveryAnswer(DeviceState{}, Bytes{}, "127.0.0.2").empty());
    EXPECT_FALSE(DiscoveryAnswer(DeviceState{}, Bytes{1}, "127.0.0.2").empty());
}

// The items run end to end in PingAgainstSim.ItemsThroughTheObjectAndTheTool.
TEST(SimulatorPing, KeepsTheBlinkTimeWithoutASessionAndRefusesOtherPayloads) {
    DeviceState state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><session required="1"/><ping/></kelvo-sim>)", state));
    Device d(state);
    EXPECT_EQ(d.Ask(Frame(4, 0x0101, {0xB8, 0x0B})), Answer(4, 0x0110, {0}));
    EXPECT_EQ(d.State().network.lastBlink, 3000);
    EXPECT_EQ(d.State().network.pings, 1u);
    EXPECT_EQ(d.Ask(Frame(5, 0x0101, {1})), ErrorAnswer(5, 0x0111, kBadRequestError));
}

} // namespace
} // namespace kelvo::sim

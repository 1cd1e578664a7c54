// The simulator's discovery answer, its ping command and their state-file
// sections, in-process.
#include "discovery/scan_udp.h"
#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/framing.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"

#include <gtest/gtest.h>

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
    std::string error;
    ASSERT_TRUE(ParseDeviceState(R"(<kelvo-sim><discovery ip="10.0.0.9" name="axis" serial="S1"
        mac="0A:0B:0C:0D:0E:0F" firmware="0x01020304" items="1 9 5 6 7 8 10 4">
        <item type="300" text="x"/></discovery></kelvo-sim>)",
                                 state, error))
        << error;
    const auto request = discovery::ScanRequest(1234567);
    const Bytes answer = DiscoveryAnswer(state, request, "127.0.0.2");
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
    const DeviceState state;
    EXPECT_EQ(Line(DiscoveryAnswer(state, discovery::ScanRequest(0), "127.0.0.7")),
              "127.0.0.7\t255.255.255.0\t0.0.0.0\t0\tkelvo-sim\tKS-000001\t10000\t02:00:00:00:00:"
              "01\t\n");
}

TEST(SimulatorDiscovery, StateFileRefusesBadValues) {
    const char* bad[] = {
        R"(<kelvo-sim><discovery ip="10.0.0"/></kelvo-sim>)",
        R"(<kelvo-sim><discovery mac="0A:0B:0C"/></kelvo-sim>)",
        R"(<kelvo-sim><discovery items="1 x"/></kelvo-sim>)",
        R"(<kelvo-sim><discovery color="red"/></kelvo-sim>)",
        R"(<kelvo-sim><discovery><thing/></discovery></kelvo-sim>)",
        R"(<kelvo-sim><ping><item key="256" type="1"/></ping></kelvo-sim>)",
        R"(<kelvo-sim><ping><item key="1" type="1" value="0"/></ping></kelvo-sim>)",
        R"(<kelvo-sim><ping><item key="1" type="0x100000000"/></ping></kelvo-sim>)",
    };
    for (const char* xml : bad) {
        DeviceState state;
        std::string error;
        EXPECT_FALSE(ParseDeviceState(xml, state, error)) << xml;
        EXPECT_FALSE(error.empty());
    }
}

Bytes Frame(std::uint16_t counter, std::uint16_t command, const Bytes& payload) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(static_cast<std::uint8_t>(2 + payload.size())).u16(command);
    w.bytes(payload);
    return std::move(w.data());
}

Bytes Ask(Simulator& sim, const Bytes& frame) {
    FrameAssembler assembler(false, sim.Commands());
    assembler.Feed(frame);
    Bytes all;
    while (std::optional<IncomingFrame> in = assembler.Next()) {
        Outcome out = sim.Handle(LinkKind::Tcp, *in);
        all.insert(all.end(), out.bytes.begin(), out.bytes.end());
    }
    return all;
}

TEST(SimulatorPing, AnswersItemsAndKeepsTheBlinkTime) {
    DeviceState state;
    std::string error;
    ASSERT_TRUE(ParseDeviceState(R"(<kelvo-sim><session required="1"/><ping>
        <item key="9" type="0x00050006" value="3412"/><item key="2" type="0x00070009" text="ok"/>
        </ping></kelvo-sim>)",
                                 state, error))
        << error;
    Simulator sim(state, DefaultCommands());
    // Answered without a login session.
    EXPECT_EQ(Ask(sim, Frame(4, 0x0101, {0xB8, 0x0B})),
              (Bytes{0, 4,    0,    19, 0x10, 0x01, 2, 9, 6, 0,   5,  0,
                     2, 0x34, 0x12, 2,  9,    0,    7, 0, 2, 'o', 'k'}));
    EXPECT_EQ(sim.State().network.lastBlink, 3000);
    EXPECT_EQ(sim.State().network.pings, 1u);
    // A payload of another size is refused.
    const Bytes refused = Ask(sim, Frame(5, 0x0101, {1}));
    ASSERT_EQ(refused.size(), 11u);
    EXPECT_EQ(ldle_u16(&refused[4]), 0x0111);
    EXPECT_EQ(ldle_u32(&refused[7]), kBadRequestError);
}

TEST(SimulatorPing, EmptyItemList) {
    DeviceState state;
    std::string error;
    ASSERT_TRUE(ParseDeviceState("<kelvo-sim><ping/></kelvo-sim>", state, error)) << error;
    Simulator sim(state, DefaultCommands());
    EXPECT_EQ(Ask(sim, Frame(0, 0x0101, {0, 0})), (Bytes{0, 0, 0, 3, 0x10, 0x01, 0}));
}

} // namespace
} // namespace kelvo::sim

// Fault plans changed while the simulator runs: the control line syntax, and
// the cut fault applied to the answer as it goes on the wire.
#include "kelvo-sim/faults.h"
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

struct LineCase {
    const char* line;
    bool ok;
    std::size_t faults;
    std::uint64_t at;
    std::uint64_t count;
    int command; // -1: any
};

TEST(FaultPlanLine, ParsesOrRefusesWithThePlanUnchanged) {
    const LineCase cases[] = {
        {"fault cut:7 at 2 count 1 command 0x0201", true, 1, 2, 1, 0x0201},
        {"  fault delay:300\tfault bad-crc  ", true, 2, 1, 0, -1},
        {"clear", true, 0, 1, 0, -1},
        {"", false, 0, 0, 0, 0},
        {"at 1", false, 0, 0, 0, 0},
        {"fault", false, 0, 0, 0, 0},
        {"fault loud", false, 0, 0, 0, 0},
        {"fault cut", false, 0, 0, 0, 0},
        {"fault silent at 0", false, 0, 0, 0, 0},
        {"fault silent command 0x10000", false, 0, 0, 0, 0},
        {"fault silent count x", false, 0, 0, 0, 0},
        {"fault silent every 2", false, 0, 0, 0, 0},
        {"fault delay", false, 0, 0, 0, 0},
        {"fault delay:-5", false, 0, 0, 0, 0},
        {"fault device-error:4294967296", false, 0, 0, 0, 0},
        {"fault silent:1", false, 0, 0, 0, 0},
        {"fault device-error:4294967295 fault wrong-address", true, 2, 1, 0, -1},
    };
    for (const LineCase& c : cases) {
        FaultPlan plan;
        plan.faults.push_back({FaultKind::Silent, 0});
        plan.firstRequest = 9;
        std::string error;
        EXPECT_EQ(ParseFaultPlan(c.line, plan, error), c.ok) << c.line;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.line;
            EXPECT_EQ(plan.firstRequest, 9u) << c.line;
            continue;
        }
        EXPECT_EQ(plan.faults.size(), c.faults) << c.line;
        EXPECT_EQ(plan.firstRequest, c.at) << c.line;
        EXPECT_EQ(plan.count, c.count) << c.line;
        EXPECT_EQ(plan.command ? *plan.command : -1, c.command) << c.line;
    }
}

TEST(FaultPlanLine, NewPlanCountsFromTheNextRequestAndCutsTheWireAnswer) {
    Simulator sim(DeviceState{}, DefaultCommands());
    IncomingFrame tcp{Frame(7, 0x300E), 0, true, false};
    const Bytes whole = sim.Handle(LinkKind::Tcp, tcp).bytes;
    ASSERT_EQ(whole.size(), 6u);

    FaultPlan plan;
    std::string error;
    ASSERT_TRUE(ParseFaultPlan("fault cut:4 at 2 count 1", plan, error)) << error;
    sim.SetFaults(plan);
    EXPECT_EQ(sim.Handle(LinkKind::Tcp, tcp).bytes, whole);
    Outcome cut = sim.Handle(LinkKind::Tcp, tcp);
    EXPECT_EQ(cut.bytes, Bytes(whole.begin(), whole.begin() + 4));
    EXPECT_FALSE(cut.closeAfter);
    EXPECT_EQ(sim.Handle(LinkKind::Tcp, tcp).bytes, whole);

    // Serial: the address echo and the CRC trailer count as answer bytes.
    ASSERT_TRUE(ParseFaultPlan("fault cut:8 fault close", plan, error)) << error;
    sim.SetFaults(plan);
    IncomingFrame serial{Frame(7, 0x300E), 255, true, false};
    Outcome closed = sim.Handle(LinkKind::Serial, serial);
    EXPECT_EQ(closed.bytes.size(), 8u);
    EXPECT_TRUE(closed.closeAfter);
    EXPECT_EQ(closed.bytes[0], DeviceState{}.serialAddress);
}

} // namespace
} // namespace kelvo::sim

// The control line syntax of fault plans changed while the simulator runs;
// the plans themselves act in the fault matrix.
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
        {"fault loud", false, 0, 0, 0, 0},
        {"fault silent at 0", false, 0, 0, 0, 0},
        {"fault silent command 0x10000", false, 0, 0, 0, 0},
        {"fault silent every 2", false, 0, 0, 0, 0},
        {"fault delay:-5", false, 0, 0, 0, 0},
        {"fault device-error:4294967296", false, 0, 0, 0, 0},
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

} // namespace
} // namespace kelvo::sim

// kelvo par ...: the built program against kelvo-sim, as a user runs it.
#include "support/sim_process.h"
#include "tool_testing.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace kelvo::test {
namespace {

TEST(KelvoPar, GetsSetsAndPrintsOneLinePerParameterOrFails) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.105.20", "--no-tls"}));
    const std::string list = ::testing::TempDir() + "kelvo-par-list-" + std::to_string(getpid());
    std::ofstream(list) << "# index sub type\n0x1002 0 i2\n\n0x1004 0   # type from the length\n";
    // In order: a set is read back by the next step.
    const ToolCase steps[] = {
        {"get 0x1001 0 u1 0x100a 0 str 0x1006 0 r4 0x1000 0 16", 0,
         "200\nKelvo simulated drive\n1.5\n-5\n"},
        {{"get", "--file", list}, 0, "-1234\n-123456\n"},
        {"set 0x1004 0 i4 0x10"},
        {"get 0x1004 0 auto", 0, "16\n"},
        // The typed forms; --ram leaves the stored value alone.
        {"--ram word 0x1003 0 0x1FFFF"},
        {"--ram word 0x1003 0", 0, "65535\n"},
        {"--ram int 0x1003 0", 0, "-1\n"},
        {"word 0x1003 0", 0, "54321\n"},
        {"dword 0x1005 0 4294967295"},
        {"dword 0x1005 0", 0, "4294967295\n"},
        {"float 0x1006 0 -0.25"},
        {"float 0x1006 0", 0, "-0.25\n"},
    };
    for (const ToolCase& step : steps)
        Check(step, {"-c", "TCPIP:127.0.105.20/17221,3000", "par"});
    std::remove(list.c_str());

    // Device errors fail; bad arguments are usage errors.
    const ToolCase cases[] = {
        {"set 0x2000 0 u4 5", 1},    {"get 0x7777 0 i4", 1},
        {"get 1 2 3 4", 2},          {"get 1 x", 2},
        {"get 1 0 bool8", 2},        {"set 1 0 i4 abc", 2},
        {"set 1 0 i4", 2},           {"word 1", 2},
        {"dword 1 0 4294967296", 2}, {"get", 2},
    };
    for (const ToolCase& c : cases)
        Check(c, {"-c", "TCPIP:127.0.105.20/17221,3000", "par"});
}

} // namespace
} // namespace kelvo::test

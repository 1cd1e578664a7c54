// kelvo par ...: the built program against kelvo-sim, as a user runs it.
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace kelvo::test {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs `kelvo -c TCPIP:addr/17221,3000 ARGS` (standard error dropped).
ToolRun Kelvo(const std::string& addr, const std::string& args) {
    const std::string command = "env -u KELVO_CONF " KELVO_BIN_DIR "/kelvo -c TCPIP:" + addr +
                                "/17221,3000 " + args + " 2>/dev/null";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        run.out += buffer;
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(KelvoPar, GetsSetsAndPrintsOneLinePerParameter) {
    const std::string addr = "127.0.105.20";
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", addr, "--no-tls"}));

    ToolRun many = Kelvo(addr, "par get 0x1001 0 u1 0x100a 0 str 0x1006 0 r4 0x1000 0 16");
    EXPECT_EQ(many.status, 0);
    EXPECT_EQ(many.out, "200\nKelvo simulated drive\n1.5\n-5\n");

    const std::string list = ::testing::TempDir() + "kelvo-par-list-" + std::to_string(getpid());
    std::ofstream(list) << "# index sub type\n0x1002 0 i2\n\n0x1004 0   # type from the length\n";
    ToolRun fromFile = Kelvo(addr, "par get --file " + list);
    std::remove(list.c_str());
    EXPECT_EQ(fromFile.status, 0);
    EXPECT_EQ(fromFile.out, "-1234\n-123456\n");

    EXPECT_EQ(Kelvo(addr, "par set 0x1004 0 i4 0x10").status, 0);
    EXPECT_EQ(Kelvo(addr, "par get 0x1004 0 auto").out, "16\n");
    EXPECT_EQ(Kelvo(addr, "par set 0x100a 0 str hello").status, 0);
    EXPECT_EQ(Kelvo(addr, "par get 0x100a 0 str").out, "hello\n");

    // The typed forms; --ram leaves the stored value alone.
    EXPECT_EQ(Kelvo(addr, "par --ram word 0x1003 0 0x1FFFF").status, 0);
    EXPECT_EQ(Kelvo(addr, "par --ram word 0x1003 0").out, "65535\n");
    EXPECT_EQ(Kelvo(addr, "par --ram int 0x1003 0").out, "-1\n");
    EXPECT_EQ(Kelvo(addr, "par word 0x1003 0").out, "54321\n");
    EXPECT_EQ(Kelvo(addr, "par dword 0x1005 0").out, "3000000000\n");
    EXPECT_EQ(Kelvo(addr, "par dword 0x1005 0 4294967295").status, 0);
    EXPECT_EQ(Kelvo(addr, "par dword 0x1005 0").out, "4294967295\n");
    EXPECT_EQ(Kelvo(addr, "par float 0x1006 0 -0.25").status, 0);
    EXPECT_EQ(Kelvo(addr, "par float 0x1006 0").out, "-0.25\n");
}

TEST(KelvoPar, DeviceErrorsFailAndBadArgumentsAreUsageErrors) {
    const std::string addr = "127.0.105.21";
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", addr, "--no-tls"}));
    EXPECT_EQ(Kelvo(addr, "par set 0x2000 0 u4 5").status, 1);
    EXPECT_EQ(Kelvo(addr, "par get 0x7777 0 i4").status, 1);
    for (const char* args :
         {"par get 1 2 3 4", "par get 1 x", "par get 1 0 bool8", "par set 1 0 i4 abc",
          "par set 1 0 i4", "par word 1", "par dword 1 0 4294967296", "par get"}) {
        ToolRun run = Kelvo(addr, args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.out, "") << args;
    }
}

} // namespace
} // namespace kelvo::test

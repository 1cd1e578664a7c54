// The built kelvo-sim binary as a program: its comN link, signals, options.
// TLS, the serial line, the plant of many devices and one client at a time run
// end to end in the integration and kelvo tool tests.
#include "sim/sim_helpers.h"

#include "support/sim_device.h"
#include "support/sim_process.h"
#include <signal.h>

#include <filesystem>
#include <fstream>

namespace kelvo::sim {
namespace {

using test::SimProcess;

TEST(SimProcess, AnswersSaveOverTcpAndRemovesItsComLinkOnSigterm) {
    std::string devices = testing::TempDir() + "kelvo-sim-devices-" + std::to_string(getpid());
    std::filesystem::remove_all(devices);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.1", "--no-tls", "--node", "4", "--link-com", "3"},
                          {"KELVO_DEVICES=" + devices}));
    std::string link = devices + "/com3";
    EXPECT_EQ(sim.Line("com"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Line("serial"));

    {
        test::SimDevice device(u"TCPIP:127.0.91.1/17221,3000");
        device->canNode = 4;
        EXPECT_EQ(device->Save_Command(), S_OK) << device->errorCode;
    }

    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(devices);
}

TEST(SimProcess, EndsByItselfAfterMaxRequests) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.5", "--no-tls", "--max-requests", "2"}));
    test::SimDevice device(u"TCPIP:127.0.91.5/17221,3000");
    EXPECT_EQ(device->Save_Command(), S_OK);
    EXPECT_EQ(device->Save_Command(), S_OK);
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(SimProcess, RefusesBadOptionsAndStateFiles) {
    std::string state = testing::TempDir() + "kelvo-sim-bad-state.xml";
    std::ofstream(state) << "<kelvo-sim><identity node='300'/></kelvo-sim>";
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c :
         {Case{{"--fault", "loud", "--no-tcp", "--no-tls"}, 2}, Case{{"--node", "256"}, 2},
          Case{{"--state", state, "--no-tcp", "--no-tls"}, 1}}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Spawn(c.args));
        EXPECT_EQ(sim.WaitExit(), c.status) << c.args[0] << " " << c.args[1];
    }
    std::remove(state.c_str());
}

} // namespace
} // namespace kelvo::sim

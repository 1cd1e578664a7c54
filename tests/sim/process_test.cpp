// The built kelvo-sim binary as a program: its comN link, signals, options.
// TLS, the serial line, the plant of many devices and one client at a time run
// end to end in the integration and kelvo tool tests.
#include "sim/sim_helpers.h"

#include "support/sim_process.h"
#include <signal.h>

#include <filesystem>
#include <fstream>

namespace kelvo::sim {
namespace {

using test::SimProcess;

Bytes SaveFrame(std::uint16_t counter) {
    return Frame(counter, 0x300E);
}
Bytes SaveAnswer(std::uint8_t node, std::uint16_t counter) {
    return Frame(counter, 0x30E0, {}, node);
}

TEST(SimProcess, AnswersSaveOverTcpAndRemovesItsComLinkOnSigterm) {
    std::string devices = testing::TempDir() + "kelvo-sim-devices-" + std::to_string(getpid());
    std::filesystem::remove_all(devices);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.1", "--no-tls", "--node", "4", "--link-com", "3"},
                          {"KELVO_DEVICES=" + devices}));
    std::string link = devices + "/com3";
    EXPECT_EQ(sim.Line("com"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Line("serial"));

    FdCloser client{ConnectTcp("127.0.91.1")};
    ASSERT_GE(client.fd, 0);
    ASSERT_TRUE(WriteBytes(client.fd, SaveFrame(0x0155)));
    EXPECT_EQ(ReadBytes(client.fd, 6), SaveAnswer(4, 0x0155));

    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(devices);
}

TEST(SimProcess, EndsByItselfAfterMaxRequests) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.5", "--no-tls", "--max-requests", "2"}));
    FdCloser client{ConnectTcp("127.0.91.5")};
    ASSERT_TRUE(WriteBytes(client.fd, Join({SaveFrame(1), SaveFrame(2)})));
    EXPECT_EQ(ReadBytes(client.fd, 12), Join({SaveAnswer(0, 1), SaveAnswer(0, 2)}));
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

// The kelvo program's push command and its connection with a login against
// kelvo-sim on the loopback addresses 127.0.104.x and on its serial line. A
// login from the connection text over TCP: ConnectToSim.LoginOverTcpThenWorkAndClose;
// the one re-login after a lost login: the protocol's login tests.
#include "support/sim_process.h"
#include "tool_testing.h"

#include <unistd.h>

#include <filesystem>
#include <regex>

namespace kelvo::test {
namespace {

// Scrambled "admin".
const std::string kAdmin = "393A0D010C";

TEST(KelvoToolSessionSimulator, PushCommandsOverTcp) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.104.20", "--no-tls"}));
    const std::vector<std::string> conf = {"-c", "Kelvo:1,1000,0#TCPIP:127.0.104.20/17221,3000"};
    const ToolCase cases[] = {
        {"push cmd 2 5 300", 0, "1\n"},
        {"push cmd 2 1", 0, "0\n"},
        {"push cmd 7 2 ui2:9", 0, "1\n"},
        {"--json push cmd 3 0x10", 0, JsonOk("1")},
        // Streamed bytes are read on serial links only.
        {"push read 4", 1, "", "error: ReadPushData failed (hresult 0x80004001)\n"},
    };
    for (const ToolCase& c : cases)
        Check(c, conf);
}

// A simulator with a serial line reached as COM5 through a devices folder of
// the test's own.
class SerialSim {
public:
    explicit SerialSim(const std::string& name)
        : folder_(testing::TempDir() + "kelvo-tool-" + name + "-" + std::to_string(getpid())) {}
    ~SerialSim() {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    ::testing::AssertionResult Start(const std::string& address, std::vector<std::string> args) {
        args.insert(args.begin(), {"--addr", address, "--no-tls", "--link-com", "5"});
        return sim_.Start(args, Env());
    }
    std::vector<std::string> Env() const { return {"KELVO_DEVICES=" + folder_}; }

private:
    std::string folder_;
    SimProcess sim_;
};

TEST(KelvoToolSessionSimulator, PushOnTheSerialLine) {
    SerialSim sim("push");
    ASSERT_TRUE(sim.Start("127.0.104.22", {}));
    // The serial link does not answer stream commands: the result is 0.
    Check({"-c Kelvo:255,500,0#COM:5 push cmd 0 1", 0, "0\n", "", sim.Env()});

    ProgramOutcome read =
        Kelvo({"-c", "Kelvo:255,500,0#COM:5", "push", "read", "16", "--start", "0,2"}, sim.Env());
    ASSERT_EQ(read.status, 0) << Describe(read);
    ASSERT_TRUE(std::regex_match(read.out, std::regex("[0-9a-f]{32}\n"))) << read.out;
    // The stream counts up byte by byte.
    for (std::size_t i = 2; i < 32; i += 2) {
        const unsigned before = std::stoul(read.out.substr(i - 2, 2), nullptr, 16);
        EXPECT_EQ(std::stoul(read.out.substr(i, 2), nullptr, 16), (before + 1) & 0xFF) << read.out;
    }

    // Connecting stops the running stream, so nothing comes without --start.
    Check({"-c Kelvo:255,200,0#COM:5 push read 16", 1, "",
           "error: ReadPushData failed (hresult 0x800705B4)\n", sim.Env()});
}

TEST(KelvoToolSessionSimulator, ConnectingStopsAStreamAndLogsInOnTheSerialLine) {
    SerialSim sim("stream");
    ASSERT_TRUE(sim.Start("127.0.104.23", {"--stream-at-start", "--require-login"}));
    ProgramOutcome save =
        Kelvo({"-v", "-c", "Kelvo:255,1000,0,admin," + kAdmin + "#COM:5", "save"}, sim.Env());
    EXPECT_EQ(save.status, 0) << Describe(save);
    EXPECT_EQ(save.out, "");
    for (const char* line : {"CKelvo::Init : Wavetrap acquisition on serial port maybe in "
                             "progress, sending STOP cmd\n",
                             "CKelvo::Login (", "CKelvo::Save_Command\n", "CKelvo::Logout ()\n"})
        EXPECT_NE(save.err.find(line), std::string::npos) << line << "\n" << save.err;
}

} // namespace
} // namespace kelvo::test

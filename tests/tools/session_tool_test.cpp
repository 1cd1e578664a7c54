// The kelvo program's sessions against kelvo-sim on the loopback addresses
// 127.0.104.x and on its serial line: push commands, a connection with a login,
// two programs sharing one serial line, and an end by Ctrl-C or SIGTERM. A login
// from the connection text over TCP: ConnectToSim.LoginOverTcpThenWorkAndClose;
// the one re-login after a lost login: the protocol's login tests.
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"
#include "trace/reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

namespace kelvo::test {
namespace {

// Scrambled "admin".
const std::string kAdmin = "393A0D010C";

// A simulator with a serial line reached as COM5 through a devices folder of
// the test's own.
class SerialSim {
public:
    ::testing::AssertionResult Start(const std::string& address, std::vector<std::string> args) {
        args.insert(args.begin(), {"--addr", address, "--no-tls", "--link-com", "5"});
        return process.Start(args, Env());
    }
    std::vector<std::string> Env() const { return {"KELVO_DEVICES=" + folder.path()}; }

    TempFolder folder{"tool-serial"};
    SimProcess process;
};

TEST(KelvoToolSessionSimulator, PushOnTheSerialLine) {
    SerialSim sim;
    ASSERT_TRUE(sim.Start("127.0.104.22", {}));
    // The serial link does not answer stream commands: the result is 0.
    Check({"-c Kelvo:255,500,0#COM:5 push cmd 0 1", 0, "0\n", "", sim.Env()});

    ProgramOutcome read = Kelvo("-c Kelvo:255,500,0#COM:5 push read 16 --start 0,2", sim.Env());
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
    SerialSim sim;
    ASSERT_TRUE(sim.Start("127.0.104.23", {"--stream-at-start", "--require-login"}));
    ProgramOutcome save =
        Kelvo("-v -c Kelvo:255,1000,0,admin," + kAdmin + "#COM:5 save", sim.Env());
    EXPECT_EQ(save.status, 0) << Describe(save);
    EXPECT_EQ(save.out, "");
    for (const char* line : {"CKelvo::Init : Wavetrap acquisition on serial port maybe in "
                             "progress, sending STOP cmd\n",
                             "CKelvo::Login (", "CKelvo::Save_Command\n", "CKelvo::Logout ()\n"})
        EXPECT_NE(save.err.find(line), std::string::npos) << line << "\n" << save.err;
}

// Two programs at once on one serial line, with other runtime folders, and as
// two users: the line's lock keeps every request and its answer apart, so each
// of them reads its 200 parameters.
TEST(KelvoToolSerialShare, TwoProgramsOfOtherEnvironmentsAndUsersNeverMix) {
    SerialSim sim;
    ::chmod(sim.folder.path().c_str(), 0755); // the second user reaches the line too
    for (const char* runtime : {"a", "b"}) {
        std::filesystem::create_directory(sim.folder / runtime);
        ::chmod((sim.folder / runtime).c_str(), 0777);
    }
    ASSERT_TRUE(sim.Start("127.0.104.30", {"--no-tcp", "--serial"}));
    ::chmod(sim.process.Line("serial").c_str(), 0666);
    std::vector<std::string> kelvo = {KELVO_BIN_DIR "/kelvo", "-c", "Kelvo:255,10000,0#COM:5",
                                      "par", "get"};
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        kelvo.insert(kelvo.end(), {"0x1004", "0", "i4"});
        expected += "-123456\n";
    }
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups", "--"};
    for (const bool otherUser : {false, true}) {
        if (otherUser && getuid() != 0)
            GTEST_SKIP() << "another user needs root to switch to";
        auto run = [&](std::vector<std::string> argv, const char* runtime) {
            argv.insert(argv.end(), kelvo.begin(), kelvo.end());
            return RunProgram(
                argv, {sim.Env()[0], "KELVO_CONF", "XDG_RUNTIME_DIR=" + (sim.folder / runtime)});
        };
        auto first = std::async(std::launch::async, run, std::vector<std::string>{}, "a");
        const ProgramOutcome second = run(otherUser ? asNobody : std::vector<std::string>{}, "b");
        for (const ProgramOutcome& o : {first.get(), second}) {
            EXPECT_EQ(o.status, 0) << "other user " << otherUser << "\n" << Describe(o);
            EXPECT_EQ(o.out, expected);
        }
    }
}

// kelvo and kelvo-trace end cleanly on Ctrl-C and SIGTERM. Each starts with
// the signal blocked and gets it as soon as it takes it: kelvo closes the
// object (its -v lines show the logout), removes its trace channel and ends
// with 128 + the signal; kelvo-trace waiting for a channel ends with 0.
TEST(ToolsStop, CtrlCAndSigtermEndCleanly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.104.31", "--no-tls"}));
    TempFolder settings("stop");
    std::ofstream(settings / "Kelvo.ini") << "[Trace]\nTraceEnable=1\n";
    const std::vector<std::string> kelvo = {
        KELVO_BIN_DIR "/kelvo", "-v", "-c",
        "Kelvo:255,3000,0,admin," + kAdmin + "#TCPIP:127.0.104.31/17221,3000", "save"};
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const ProgramOutcome k =
            RunProgram(kelvo, {"KELVO_CONF", "APPDATA=" + settings.path()}, signal);
        EXPECT_EQ(k.status, 128 + signal) << Describe(k);
        EXPECT_NE(k.err.find("CKelvo::Logout ()\n"), std::string::npos) << k.err;
        for (const trace::ChannelInfo& c : trace::ListChannels())
            EXPECT_NE(c.pid, static_cast<std::uint32_t>(k.pid)) << c.name;
        const ProgramOutcome v = RunProgram(
            {KELVO_BIN_DIR "/kelvo-trace", "-f", "-w", "ALTRACE_KELVO_NONE"}, {}, signal);
        EXPECT_EQ(v.status, 0) << Describe(v);
        EXPECT_EQ(v.err, "");
    }
}

} // namespace
} // namespace kelvo::test

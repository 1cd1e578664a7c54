// The kelvo program's conf, encrypt, decrypt and push commands, and its
// connection with a login, as a user runs them; against kelvo-sim on the
// loopback addresses 127.0.104.x and on its serial line.
#include "support/run_program.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

using kelvo::test::Describe;
using kelvo::test::ProgramOutcome;
using kelvo::test::SimProcess;

ProgramOutcome Kelvo(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), KELVO_BIN_DIR "/kelvo");
    env.emplace_back("KELVO_CONF");
    return kelvo::test::RunProgram(args, env);
}

std::string Line(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& a : args)
        line += a + " ";
    return line;
}

// Scrambled "admin" and "wrong".
const std::string kAdmin = "393A0D010C";
const std::string kWrong = "17080F0C07";

TEST(KelvoToolSession, OfflineCommandsPrintTheirResultAlone) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* out;
    };
    const Case cases[] = {
        {{"conf"}, {}, "Kelvo:255,10000,0#TCPIP:/17221,5000\n"},
        {{"-c", "Kelvo:7,2000,3#COM:1", "conf"}, {}, "Kelvo:255,2000,3#COM:1,921600,N,8,1\n"},
        {{"-c", "Kelvo:1,500,2,admin,39383B#TCPIP:10.0.0.7/1234,3000,SSL", "conf"},
         {},
         "Kelvo:255,500,2,admin,39383B#TCPIP:10.0.0.7/17222,3000,SSL\n"},
        // The transport part is refused after its port was taken.
        {{"-c", "COM:3,115200", "conf"}, {}, "Kelvo:255,10000,0#COM:3,921600,N,8,1\n"},
        {{"conf"}, {"KELVO_CONF=COM:4"}, "Kelvo:255,10000,0#COM:4,921600,N,8,1\n"},
        {{"encrypt", "abc"}, {}, "39383B\n"},
        {{"encrypt", "admin"}, {}, "393A0D010C\n"},
        {{"encrypt", ""}, {}, "\n"},
        {{"decrypt", "39383B"}, {}, "abc\n"},
        {{"decrypt", "39383b"}, {}, "abc\n"},
        {{"decrypt", "abc"}, {}, "?\n"},
        {{"decrypt", ""}, {}, "?\n"},
        {{"--json", "encrypt", "abc"},
         {},
         "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":\"39383B\"}\n"},
    };
    for (const Case& c : cases) {
        ProgramOutcome o = Kelvo(c.args, c.env);
        EXPECT_EQ(o.status, 0) << Line(c.args) << "\n" << Describe(o);
        EXPECT_EQ(o.out, c.out) << Line(c.args);
        EXPECT_EQ(o.err, "") << Line(c.args);
    }
}

TEST(KelvoToolSession, EncryptThenDecryptGivesThePasswordBack) {
    const std::string password = "P@ss w0rd~ #1,2:3";
    ProgramOutcome scrambled = Kelvo({"encrypt", password});
    ASSERT_EQ(scrambled.status, 0) << Describe(scrambled);
    EXPECT_TRUE(std::regex_match(scrambled.out, std::regex("([0-9A-F]{2})+\n"))) << scrambled.out;
    EXPECT_EQ(scrambled.out.size(), 2 * password.size() + 1);
    scrambled.out.pop_back();
    ProgramOutcome plain = Kelvo({"decrypt", scrambled.out});
    EXPECT_EQ(plain.out, password + "\n") << Describe(plain);
}

TEST(KelvoToolSession, UsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"encrypt"},
        {"decrypt"},
        {"conf", "extra"},
        {"push"},
        {"push", "cmd", "1", "2"}, // no connection text
        {"-c", "COM:1", "push", "cmd", "256", "1"},
        {"-c", "COM:1", "push", "cmd", "1"},
        {"-c", "COM:1", "push", "cmd", "1", "2", "x"},
        {"-c", "COM:1", "push", "cmd", "1", "2", "i4:x"},
        {"-c", "COM:1", "push", "read"},
        {"-c", "COM:1", "push", "read", "0"},
        {"-c", "COM:1", "push", "read", "65536"},
        {"-c", "COM:1", "push", "read", "4", "--start", "1"},
        {"-c", "COM:1", "push", "read", "4", "--start", "256,2"},
    };
    for (const auto& args : cases) {
        ProgramOutcome o = Kelvo(args);
        EXPECT_EQ(o.status, 2) << Line(args) << "\n" << Describe(o);
        EXPECT_EQ(o.out, "") << Line(args);
        EXPECT_NE(o.err, "") << Line(args);
    }
}

bool SimulatorBuilt() {
    return access(KELVO_BIN_DIR "/kelvo-sim", X_OK) == 0;
}

TEST(KelvoToolSessionSimulator, PushCommandsOverTcp) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.104.20", "--no-tls"}));
    const std::string conf = "Kelvo:1,1000,0#TCPIP:127.0.104.20/17221,3000";
    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    const Case cases[] = {
        {{"push", "cmd", "2", "5", "300"}, "1\n"},
        {{"push", "cmd", "2", "1"}, "0\n"},
        {{"push", "cmd", "7", "2", "ui2:9"}, "1\n"},
        {{"push", "cmd", "0", "1"}, "0\n"},
        {{"--json", "push", "cmd", "3", "0x10"},
         "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":1}\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-c", conf};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramOutcome o = Kelvo(args);
        EXPECT_EQ(o.status, 0) << Line(args) << "\n" << Describe(o);
        EXPECT_EQ(o.out, c.out) << Line(args);
    }
    // Streamed bytes are read on serial links only.
    ProgramOutcome read = Kelvo({"-c", conf, "push", "read", "4"});
    EXPECT_EQ(read.status, 1) << Describe(read);
    EXPECT_EQ(read.out, "");
    EXPECT_EQ(read.err, "error: ReadPushData failed (hresult 0x80004001)\n");
}

TEST(KelvoToolSessionSimulator, LoginWithTheConnectionText) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.104.21", "--no-tls", "--require-login", "--lost-login", "1"}));
    const std::string transport = "#TCPIP:127.0.104.21/17221,3000";

    // No login: the device wants one.
    ProgramOutcome none = Kelvo({"-c", "Kelvo:1,1000,0" + transport, "save"});
    EXPECT_EQ(none.status, 1) << Describe(none);
    EXPECT_TRUE(std::regex_match(none.err, std::regex("error 1: [^\n]*, device 0x15000002\n")))
        << none.err;

    // The first login is refused as lost; the re-login gets through.
    ProgramOutcome good = Kelvo({"-c", "Kelvo:1,1000,0,admin," + kAdmin + transport, "save"});
    EXPECT_EQ(good.status, 0) << Describe(good);
    EXPECT_EQ(good.out, "");

    ProgramOutcome wrong = Kelvo({"-c", "Kelvo:1,1000,0,admin," + kWrong + transport, "save"});
    EXPECT_EQ(wrong.status, 1) << Describe(wrong);
    EXPECT_TRUE(std::regex_match(wrong.err, std::regex("error 1: [^\n]*, device 0x15000003\n")))
        << wrong.err;
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

bool CountsUp(const std::string& hex) {
    for (std::size_t i = 2; i + 2 <= hex.size(); i += 2) {
        unsigned before = std::stoul(hex.substr(i - 2, 2), nullptr, 16);
        unsigned now = std::stoul(hex.substr(i, 2), nullptr, 16);
        if (now != ((before + 1) & 0xFF))
            return false;
    }
    return true;
}

TEST(KelvoToolSessionSimulator, PushOnTheSerialLine) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    SerialSim sim("push");
    ASSERT_TRUE(sim.Start("127.0.104.22", {}));
    const std::string conf = "Kelvo:1,500,0#COM:5";

    // The serial link does not answer stream commands: the result is 0.
    ProgramOutcome stop = Kelvo({"-c", conf, "push", "cmd", "0", "1"}, sim.Env());
    EXPECT_EQ(stop.status, 0) << Describe(stop);
    EXPECT_EQ(stop.out, "0\n");

    ProgramOutcome read = Kelvo({"-c", conf, "push", "read", "16", "--start", "0,2"}, sim.Env());
    ASSERT_EQ(read.status, 0) << Describe(read);
    EXPECT_TRUE(std::regex_match(read.out, std::regex("[0-9a-f]{32}\n"))) << read.out;
    EXPECT_TRUE(CountsUp(read.out.substr(0, 32))) << read.out;

    // Connecting stops the running stream, so nothing comes without --start.
    ProgramOutcome nothing = Kelvo({"-c", "Kelvo:1,200,0#COM:5", "push", "read", "16"}, sim.Env());
    EXPECT_EQ(nothing.status, 1) << Describe(nothing);
    EXPECT_EQ(nothing.out, "");
    EXPECT_EQ(nothing.err, "error: ReadPushData failed (hresult 0x800705B4)\n");
}

TEST(KelvoToolSessionSimulator, ConnectingStopsAStreamAndLogsInOnTheSerialLine) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    SerialSim sim("stream");
    ASSERT_TRUE(sim.Start("127.0.104.23", {"--stream-at-start", "--require-login"}));
    ProgramOutcome save =
        Kelvo({"-v", "-c", "Kelvo:1,1000,0,admin," + kAdmin + "#COM:5", "save"}, sim.Env());
    EXPECT_EQ(save.status, 0) << Describe(save);
    EXPECT_EQ(save.out, "");
    for (const char* line :
         {"CKelvo::Init : Wavetrap acquisition on serial port maybe in "
          "progress, sending STOP cmd\n",
          "CKelvo::Login (admin admin)\n", "CKelvo::Save_Command\n", "CKelvo::Logout ()\n"})
        EXPECT_NE(save.err.find(line), std::string::npos) << line << "\n" << save.err;
}

} // namespace

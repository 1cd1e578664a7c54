// The built kelvo program, run as a user runs it: exit status, standard output
// and standard error; against kelvo-sim on its own loopback addresses.
#include "support/run_program.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using kelvo::test::Describe;
using kelvo::test::RunProgram;
using kelvo::test::SimProcess;
using Outcome = kelvo::test::ProgramOutcome;

Outcome Kelvo(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
    args.insert(args.begin(), KELVO_BIN_DIR "/kelvo");
    std::vector<std::string> env = {"KELVO_CONF"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return RunProgram(args, env);
}

// ---- Without a device ----

TEST(KelvoTool, UsageErrorsExitTwoAndPrintNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"invoke"},
        {"invoke", "NoSuchMember"},
        {"invoke", "TimeOut", "5"},
        {"invoke", "--put", "TimeOut", "99999"},
        {"invoke", "--put", "Protocol"},
        {"invoke", "ReadDataBlock", "1", "2", "3", "4", "5", "6", "7"},
        {"--prop", "Nope=1", "invoke", "Protocol"},
        {"--prop", "TimeOut=abc", "invoke", "TimeOut"},
        {"--prop", "TimeOut", "invoke", "TimeOut"},
        {"--prop", "Par=1", "invoke", "Protocol"},
        {"--bogus", "invoke", "Protocol"},
        {"save"},
        {"save", "extra"},
    };
    for (const auto& args : cases) {
        Outcome o = Kelvo(args);
        std::string line;
        for (const std::string& a : args)
            line += a + " ";
        EXPECT_EQ(o.status, 2) << line << "\n" << Describe(o);
        EXPECT_EQ(o.out, "") << line;
        EXPECT_NE(o.err, "") << line;
    }
}

TEST(KelvoTool, InvokePrintsTheResultAlone) {
    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    const Case cases[] = {
        {{"invoke", "Protocol"}, "Kelvo\n"},
        {{"invoke", "protocol"}, "Kelvo\n"},
        {{"--prop", "TimeOut=1234", "invoke", "TimeOut"}, "1234\n"},
        {{"--prop", "TimeOut=-1", "invoke", "TimeOut"}, "-1\n"},
        {{"--prop", "Address=0x1234", "invoke", "Address"}, "52\n"},
        {{"--prop", "EEPROMAccess=0", "invoke", "EEPROMAccess"}, "0\n"},
        {{"--prop", "EEPROMAccess=5", "invoke", "EEPROMAccess"}, "-1\n"},
        {{"--prop", "Address=5", "--prop", "CANNode=7", "invoke", "CANNode"}, "7\n"},
        {{"invoke", "TimeOut", "--prop", "TimeOut=7"}, "7\n"},
        {{"invoke", "--put", "TimeOut", "5"}, ""},
        {{"invoke", "Success"}, "1\n"},
        {{"--json", "invoke", "TimeOut"},
         "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":10000}\n"},
        {{"--json", "invoke", "Protocol"},
         "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":\"Kelvo\"}\n"},
        {{"--json", "invoke", "--put", "MsgOn", "3"},
         "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":null}\n"},
    };
    for (const Case& c : cases) {
        Outcome o = Kelvo(c.args);
        EXPECT_EQ(o.status, 0) << c.args.back() << "\n" << Describe(o);
        EXPECT_EQ(o.out, c.out) << c.args.back();
        EXPECT_EQ(o.err, "") << c.args.back();
    }
}

TEST(KelvoTool, ListNamesEveryOperation) {
    Outcome o = Kelvo({"invoke", "--list"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_NE(o.out.find("get Par(long, long, short) -> variant\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nSave_Command()\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nput EEPROMAccess(bool)\n"), std::string::npos);
}

TEST(KelvoTool, FailuresExitOneWithTheErrorLine) {
    // No connection: the device operation fails in the component with code 6.
    Outcome noPort = Kelvo({"invoke", "Save_Command"});
    EXPECT_EQ(noPort.status, 1) << Describe(noPort);
    EXPECT_EQ(noPort.out, "");
    EXPECT_TRUE(std::regex_match(noPort.err, std::regex("error 6: [^\n]*\n"))) << noPort.err;

    // A failed result with no error code.
    Outcome stub = Kelvo({"invoke", "ReadMemory64", "0", "4"});
    EXPECT_EQ(stub.status, 1) << Describe(stub);
    EXPECT_EQ(stub.out, "");
    EXPECT_EQ(stub.err, "error: ReadMemory64 failed (hresult 0x80004001)\n");

    Outcome json = Kelvo({"--json", "invoke", "CRCMemory", "0", "0"});
    EXPECT_EQ(json.status, 1) << Describe(json);
    EXPECT_EQ(json.out, "{\"ok\":false,\"hresult\":2147500033,\"errorCode\":0,"
                        "\"deviceStatus\":0,\"result\":null}\n");
}

// ---- Against the simulator ----

bool SimulatorBuilt() {
    return access(KELVO_BIN_DIR "/kelvo-sim", X_OK) == 0;
}

// The simulator without TLS, read up to its "ready" line.
class Simulator {
public:
    ::testing::AssertionResult Start(std::vector<std::string> args) {
        args.emplace_back("--no-tls");
        return process_.Start(std::move(args));
    }

private:
    SimProcess process_;
};

TEST(KelvoToolSimulator, SaveSucceeds) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.0.41"}));
    const std::string conf = "TCPIP:127.0.0.41/17221,3000";

    Outcome plain = Kelvo({"-c", conf, "save"});
    EXPECT_EQ(plain.status, 0) << Describe(plain);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err, "");

    Outcome json = Kelvo({"--json", "-c", conf, "save"});
    EXPECT_EQ(json.status, 0) << Describe(json);
    EXPECT_EQ(json.out,
              "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":null}\n");

    // The connection text from the environment, the trace on standard error.
    Outcome traced = Kelvo({"-v", "invoke", "Save_Command"}, {"KELVO_CONF=" + conf});
    EXPECT_EQ(traced.status, 0) << Describe(traced);
    EXPECT_EQ(traced.out, "");
    EXPECT_NE(traced.err.find("CKelvo::Save_Command"), std::string::npos) << traced.err;
}

TEST(KelvoToolSimulator, DeviceErrorIsReportedWithItsCode) {
    if (!SimulatorBuilt())
        GTEST_SKIP() << "kelvo-sim is not built";
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.0.43", "--fault", "device-error:0x15000002",
                           "--fault-command", "0x300E", "--fault-at", "2", "--fault-count", "2"}));
    const std::string conf = "TCPIP:127.0.0.43/17221,3000";

    EXPECT_EQ(Kelvo({"-c", conf, "save"}).status, 0);

    Outcome text = Kelvo({"-c", conf, "save"});
    EXPECT_EQ(text.status, 1) << Describe(text);
    EXPECT_EQ(text.out, "");
    EXPECT_TRUE(std::regex_match(text.err, std::regex("error 1: [^\n]*, device 0x15000002\n")))
        << text.err;

    Outcome json = Kelvo({"--json", "-c", conf, "save"});
    EXPECT_EQ(json.status, 1) << Describe(json);
    EXPECT_EQ(json.out, "{\"ok\":false,\"hresult\":2147500037,\"errorCode\":1,"
                        "\"deviceStatus\":352321538,\"result\":null}\n");

    // The fault has passed: the device answers again.
    Outcome after = Kelvo({"-c", conf, "save"});
    EXPECT_EQ(after.status, 0) << Describe(after);
}

TEST(KelvoTool, ClosedPortFailsQuickly) {
    Outcome o = Kelvo({"-c", "TCPIP:127.0.0.42/1,300", "save"});
    EXPECT_EQ(o.status, 1) << Describe(o);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.rfind("error: cannot open TCPIP:127.0.0.42/1,300", 0), 0u) << o.err;
    EXPECT_LT(o.seconds, 2.0);

    Outcome json = Kelvo({"--json", "save"}, {"KELVO_CONF=TCPIP:127.0.0.42/1,300"});
    EXPECT_EQ(json.status, 1) << Describe(json);
    EXPECT_EQ(json.out, "{\"ok\":false,\"hresult\":2147747074,\"errorCode\":16,"
                        "\"deviceStatus\":0,\"result\":null}\n");

    // An empty connection text keeps invoke off the link.
    Outcome local = Kelvo({"-c", "", "invoke", "Protocol"}, {"KELVO_CONF=TCPIP:127.0.0.42/1,300"});
    EXPECT_EQ(local.status, 0) << Describe(local);
    EXPECT_EQ(local.out, "Kelvo\n");
}

} // namespace

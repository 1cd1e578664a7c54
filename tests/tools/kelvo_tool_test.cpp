// The built kelvo program, run as a user runs it: exit status, standard output
// and standard error; against kelvo-sim on its own loopback addresses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDeadlineMs = 20000;

struct Outcome {
    int status = -1; // exit status; -1 when killed or not run
    std::string out;
    std::string err;
    double seconds = 0;
};

// The environment of this process without KELVO_CONF, plus `extra`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "KELVO_CONF=", 11) != 0)
            env.emplace_back(*e);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Runs a program to its end, collecting both output streams.
Outcome RunProgram(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) {
    Outcome outcome;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return outcome;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> env = ChildEnvironment(extraEnv);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned == 0) {
        const Clock::time_point deadline = start + std::chrono::milliseconds(kDeadlineMs);
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&outcome.out, &outcome.err};
        int open = 2;
        while (open > 0 && poll(fds, 2, RemainingMs(deadline)) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                fds[i].fd = -1;
                --open;
            }
        }
        if (open > 0)
            kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (open == 0 && WIFEXITED(status))
            outcome.status = WEXITSTATUS(status);
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(out[0]);
    close(err[0]);
    return outcome;
}

Outcome Kelvo(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
    args.insert(args.begin(), KELVO_BIN_DIR "/kelvo");
    return RunProgram(std::move(args), extraEnv);
}

std::string Describe(const Outcome& o) {
    return "status " + std::to_string(o.status) + "\nstdout: " + o.out + "\nstderr: " + o.err;
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

// One running kelvo-sim, killed at the end of the test.
class Simulator {
public:
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    // Starts it and waits for its "ready" line.
    ::testing::AssertionResult Start(std::vector<std::string> args) {
        args.insert(args.begin(), KELVO_BIN_DIR "/kelvo-sim");
        for (const char* a : {"--no-tls", "--exit-after-seconds", "60"})
            args.emplace_back(a);
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return ::testing::AssertionFailure() << "pipe";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env = ChildEnvironment({});
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = Pointers(env);
        int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = pipeFds[0];
        if (spawned != 0) {
            pid_ = -1;
            return ::testing::AssertionFailure() << "spawn: " << std::strerror(spawned);
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
        std::string seen;
        while (seen.find("ready\n") == std::string::npos) {
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, RemainingMs(deadline)) <= 0)
                return ::testing::AssertionFailure() << "no ready line: " << seen;
            char buffer[256];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return ::testing::AssertionFailure() << "simulator ended: " << seen;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
        return ::testing::AssertionSuccess();
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
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

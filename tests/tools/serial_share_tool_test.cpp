// Two kelvo programs on one serial line of kelvo-sim at the same time: with
// other runtime folders, and as two users. The line's lock keeps every
// request and its answer apart, so all 200 reads of each succeed.
#include "support/sim_process.h"
#include "tool_testing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

namespace kelvo::test {
namespace {

constexpr int kReads = 200;

TEST(KelvoToolSerialShare, TwoProgramsOfOtherEnvironmentsAndUsersNeverMix) {
    const std::string folder = testing::TempDir() + "kelvo-share-" + std::to_string(getpid());
    std::filesystem::remove_all(folder);
    for (const char* sub : {"/devices", "/run-a", "/run-b"})
        std::filesystem::create_directories(folder + sub);
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    const std::vector<std::string> devices = {"KELVO_DEVICES=" + folder + "/devices"};
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.104.30", "--no-tcp", "--no-tls", "--serial", "--link-com", "5"},
                  devices));
    ::chmod(sim.Line("serial").c_str(), 0666); // the second user opens it too

    std::vector<std::string> args = {"-c", "Kelvo:255,10000,0#COM:5", "par", "get"};
    std::string expected;
    for (int i = 0; i < kReads; ++i) {
        args.insert(args.end(), {"0x1004", "0", "i4"});
        expected += "-123456\n";
    }
    // (case, what the second program is started through)
    const std::tuple<const char*, std::vector<std::string>> cases[] = {
        {"another XDG_RUNTIME_DIR", {}},
        {"another user",
         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"}},
    };
    for (const auto& [name, prefix] : cases) {
        SCOPED_TRACE(name);
        if (!prefix.empty() && getuid() != 0)
            GTEST_SKIP() << "another user needs root to switch to";
        auto run = [&](const std::vector<std::string>& before, const std::string& runtime) {
            std::vector<std::string> argv = before;
            argv.push_back(KELVO_BIN_DIR "/kelvo");
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<std::string> env = devices;
            env.insert(env.end(), {"KELVO_CONF", "XDG_RUNTIME_DIR=" + folder + runtime});
            return RunProgram(argv, env);
        };
        auto first = std::async(std::launch::async, run, std::vector<std::string>{}, "/run-a");
        const ProgramOutcome second = run(prefix, "/run-b");
        const ProgramOutcome one = first.get();
        EXPECT_EQ(one.status, 0) << Describe(one);
        EXPECT_EQ(second.status, 0) << Describe(second);
        EXPECT_EQ(one.out, expected);
        EXPECT_EQ(second.out, expected);
    }
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace kelvo::test

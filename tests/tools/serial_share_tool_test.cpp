// Two kelvo programs at once on one serial line of kelvo-sim, with other
// runtime folders, and as two users: the line's lock keeps every request and
// its answer apart, so each of them reads its 200 parameters.
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

namespace kelvo::test {
namespace {

TEST(KelvoToolSerialShare, TwoProgramsOfOtherEnvironmentsAndUsersNeverMix) {
    TempFolder folder("share");
    ::chmod(folder.path().c_str(), 0755); // the second user reaches the line too
    for (const char* runtime : {"a", "b"}) {
        std::filesystem::create_directory(folder / runtime);
        ::chmod((folder / runtime).c_str(), 0777);
    }
    const std::string devices = "KELVO_DEVICES=" + folder.path();
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.104.30", "--no-tcp", "--no-tls", "--serial", "--link-com", "5"},
                  {devices}));
    ::chmod(sim.Line("serial").c_str(), 0666);
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
            return RunProgram(argv,
                              {devices, "KELVO_CONF", "XDG_RUNTIME_DIR=" + (folder / runtime)});
        };
        auto first = std::async(std::launch::async, run, std::vector<std::string>{}, "a");
        const ProgramOutcome second = run(otherUser ? asNobody : std::vector<std::string>{}, "b");
        for (const ProgramOutcome& o : {first.get(), second}) {
            EXPECT_EQ(o.status, 0) << "other user " << otherUser << "\n" << Describe(o);
            EXPECT_EQ(o.out, expected);
        }
    }
}

} // namespace
} // namespace kelvo::test

// Save_Command end to end where the real link matters: a connection the
// device closes, and one serial link shared by processes and threads.
#include "integration/sim_link.h"

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kelvo::test {
namespace {

using SaveAgainstSim = SimTest;

TEST_F(SaveAgainstSim, ClosedConnectionFailsAtOnceAndReopens) {
    SimProcess sim;
    auto d = Start(sim, Link::Tcp, "127.0.92.4", {"--fault", "close", "--fault-count", "1"});
    (*d)->timeOut = 10000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ((*d)->Save_Command(), E_FAIL);
    EXPECT_EQ((*d)->errorCode, 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(d->Open(u"TCPIP:127.0.92.4/17221,3000"), 1);
    EXPECT_EQ((*d)->Save_Command(), S_OK);
}

// Two processes with two threads each share one serial link through one comN;
// with the link lock their exchanges never mix, so every answer matches.
TEST_F(SaveAgainstSim, OneSerialLinkSharedByProcessesAndThreads) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.92.6", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "3", "--link-com", "9"}));
    constexpr int kPerThread = 750;
    auto hammer = [] {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&failures, t] {
                SimDevice d(u"COM:9,921600,N,8,1", true, 3);
                d->canNode = static_cast<std::uint8_t>(t);
                if (!d.opened) {
                    failures += kPerThread;
                    return;
                }
                for (int i = 0; i < kPerThread; ++i) {
                    if (d->Save_Command() != S_OK)
                        ++failures;
                }
            });
        }
        for (auto& th : threads)
            th.join();
        return failures.load();
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(hammer() == 0 ? 0 : 1);
    const int failures = hammer();
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace kelvo::test

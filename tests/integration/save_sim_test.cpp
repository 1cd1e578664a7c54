// Save_Command end to end where the real link matters: a connection the
// device closes. Processes sharing a link: PortwayLockTest.TwoProcessesOfTwoThreadsHammerOneLink.
#include "integration/sim_link.h"

#include <chrono>

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

} // namespace
} // namespace kelvo::test

// The read that follows a request: the transport waits for the answer in the
// link (a blocking receive under the time-out) and keeps what arrives beyond
// the asked length for the next reads.
#include "portway_testing.h"

#include <thread>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;

struct AnswerCase {
    const char* name;
    std::string answer; // what the peer sends after the request
    bool closeAfter;    // the peer then closes the connection
    std::size_t asked;  // bytes the transport reads
    ULONG timeoutMs;
    PortwayErrorCode expected;
};

class PortwayAnswerTest : public PortwayTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(PortwayAnswerTest, ReadAfterARequest) {
    const AnswerCase& c = GetParam();
    Listener listener("127.0.0.1");
    Transport t;
    ASSERT_EQ(t.Open(listener.Text()), S_OK);
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    std::thread device([&] {
        if (ReadExact(peer, 3) == "req" && SendAll(peer, c.answer) && c.closeAfter)
            ::shutdown(peer, SHUT_WR);
    });
    ASSERT_EQ(t.Write("req"), S_OK);
    const auto start = Clock::now();
    const std::optional<std::string> got = t.Read(c.asked, c.timeoutMs);
    const long long elapsed = MillisSince(start);
    device.join();
    EXPECT_EQ(t.Error(), c.expected);
    if (c.expected == PW_OK) {
        EXPECT_EQ(got, c.answer.substr(0, c.asked));
        // What came beyond the asked length is read next, and dropped by Reset.
        if (c.answer.size() > c.asked + 1) {
            EXPECT_EQ(t.Read(1, 1000), c.answer.substr(c.asked, 1));
            EXPECT_EQ(t->Reset(), S_OK);
            EXPECT_FALSE(t.Read(1, 20));
        }
    } else {
        EXPECT_FALSE(got);
    }
    if (c.expected == PW_TIMEOUT) {
        EXPECT_GE(elapsed, static_cast<long long>(c.timeoutMs) - 1);
        EXPECT_LT(elapsed, 1000);
    }
    if (c.expected == PW_PEER_CLOSED) {
        EXPECT_LT(elapsed, 1000);
    }
    ::close(peer);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortwayAnswerTest,
    ::testing::Values(AnswerCase{"Exact", "answer", false, 6, 2000, PW_OK},
                      AnswerCase{"MoreThanAsked", "header+value", false, 6, 2000, PW_OK},
                      AnswerCase{"LargerThanTheReadAhead", std::string(10000, 'v'), false, 9000,
                                 2000, PW_OK},
                      AnswerCase{"Silent", "", false, 4, 60, PW_TIMEOUT},
                      AnswerCase{"Short", "abc", false, 5, 60, PW_TIMEOUT},
                      AnswerCase{"ClosedInMidAnswer", "ab", true, 5, 5000, PW_PEER_CLOSED}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

} // namespace
} // namespace kelvo::test

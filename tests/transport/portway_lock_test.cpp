// The link lock across objects, threads and processes.
#include "portway_testing.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <future>
#include <pty.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>

namespace kelvo::test {
namespace {

using namespace std::chrono_literals;

// A TCP listener, and a pseudo-terminal linked as com3 and com4.
class PortwayLockTest : public PortwayTest {
protected:
    PortwayLockTest() {
        EXPECT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        std::filesystem::create_symlink(::ttyname(slave_), devices() + "/com3");
        std::filesystem::create_symlink(::ttyname(slave_), devices() + "/com4");
    }
    ~PortwayLockTest() override {
        ::close(slave_);
        ::close(master_);
    }

    Listener listener_{"127.0.0.1"};
    int master_ = -1;
    int slave_ = -1;
};

// Lock and Unlock on `t` in another thread succeed at once.
void ExpectFree(Transport& t) {
    std::thread([&] {
        EXPECT_EQ(t->Lock(), S_OK);
        EXPECT_EQ(t->Unlock(), S_OK);
    }).join();
}

// Lock in another thread on `contender` must wait until `holder` unlocks.
void ExpectWaitsForUnlock(Transport& holder, Transport& contender) {
    ASSERT_EQ(holder->Lock(), S_OK);
    std::promise<HRESULT> locked;
    std::future<HRESULT> result = locked.get_future();
    std::thread other([&] {
        locked.set_value(contender->Lock());
        contender->Unlock();
    });
    EXPECT_EQ(result.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(holder->Unlock(), S_OK);
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), S_OK);
    other.join();
}

TEST_F(PortwayLockTest, ReentrantPerLinkAndFreedByOneUnlockOrClose) {
    Listener otherLink("127.0.0.1");
    Transport a, b, other;
    ASSERT_EQ(a.Open(listener_.Text()), S_OK);
    ASSERT_EQ(b.Open(listener_.Text()), S_OK);
    ASSERT_EQ(other.Open(otherLink.Text()), S_OK);
    ASSERT_EQ(a->Lock(), S_OK);
    EXPECT_EQ(a->Lock(), S_OK);
    EXPECT_EQ(a->Lock(), S_OK);
    ExpectFree(other); // another link is not held
    EXPECT_EQ(a->Unlock(), S_OK);
    // Free after a single Unlock: another thread takes it at once.
    ExpectFree(b);
    EXPECT_EQ(a->Unlock(), E_FAIL);
    EXPECT_EQ(a.Error(), PW_LOCK_FAILED);

    ASSERT_EQ(a->Lock(), S_OK);
    EXPECT_EQ(a->Close(), S_OK);
    ExpectFree(b);

    // Two COM names of one device share its lock.
    Transport com3, com4;
    ASSERT_EQ(com3.Open("COM:3,921600,N,8,1"), S_OK);
    ASSERT_EQ(com4.Open("COM:4,921600,N,8,1"), S_OK);
    ExpectWaitsForUnlock(com3, com4);
}

// Runs `body` in a child process; its exit status (0 when it returned true).
template <typename Body> pid_t Spawn(Body body) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body() ? 0 : 1);
    return pid;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(PortwayLockTest, TwoProcessesOfTwoThreadsHammerOneLink) {
    // A counter in shared memory, incremented without atomics under the lock:
    // any overlap of two holders, in one process or across two, loses increments.
    auto* counter = static_cast<volatile long*>(
        ::mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counter, MAP_FAILED);
    *counter = 0;
    constexpr int kRounds = 400;
    std::string text = listener_.Text();
    auto work = [&] {
        std::atomic<bool> ok{true};
        auto thread = [&] {
            Transport t;
            if (FAILED(t.Open(text))) {
                ok = false;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                if (FAILED(t->Lock()) || FAILED(t->Lock())) {
                    ok = false;
                    return;
                }
                long v = *counter;
                sched_yield();
                *counter = v + 1;
                if (FAILED(t->Unlock()))
                    ok = false;
            }
        };
        std::thread first(thread);
        std::thread second(thread);
        first.join();
        second.join();
        return ok.load();
    };
    pid_t child = Spawn(work);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(work());
    EXPECT_EQ(ExitStatus(child), 0);
    EXPECT_EQ(*counter, 4 * kRounds);
    ::munmap(const_cast<long*>(counter), sizeof(long));
}

TEST_F(PortwayLockTest, AProcessKilledHoldingTheLinkFreesIt) {
    // On a TCP link and on a serial line (whose lock is its device node); the
    // process gone, or killed but not yet reaped (a zombie holds nothing).
    for (const std::string& text : {listener_.Text(), std::string("COM:3,921600,N,8,1")}) {
        for (const bool reaped : {true, false}) {
            pid_t child = Spawn([&] {
                Transport t;
                if (FAILED(t.Open(text)) || FAILED(t->Lock()))
                    return false;
                ::raise(SIGKILL); // without Unlock or Close
                return false;
            });
            ASSERT_GT(child, 0);
            siginfo_t info{};
            const int keep = reaped ? 0 : WNOWAIT;
            ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | keep), 0);
            ASSERT_EQ(info.si_code, CLD_KILLED) << "the child did not take the lock";
            Transport t;
            ASSERT_EQ(t.Open(text), S_OK);
            std::future<HRESULT> locked = std::async(std::launch::async, [&] {
                const HRESULT hr = t->Lock();
                t->Unlock();
                return hr;
            });
            ASSERT_EQ(locked.wait_for(5s), std::future_status::ready) << text << " " << reaped;
            EXPECT_EQ(locked.get(), S_OK);
            if (!reaped) {
                EXPECT_EQ(ExitStatus(child), -1);
            }
        }
    }
}

} // namespace
} // namespace kelvo::test

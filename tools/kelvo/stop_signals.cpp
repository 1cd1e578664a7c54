#include "stop_signals.h"

#include "kelvo/trace.h"

#include <atomic>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace kelvo::tool {
namespace {

std::atomic<int> g_signal{0};
std::atomic<bool> g_ending{false};
// Never destroyed: a program that returns early leaves it waiting.
std::thread* g_taker = nullptr;

// SIGUSR1 sent to the thread by EndStopSignals ends it.
constexpr int kEnd = SIGUSR1;

sigset_t StopSet(bool withEnd) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (withEnd)
        sigaddset(&set, kEnd);
    return set;
}

void TakeSignals() {
    const sigset_t set = StopSet(true);
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (signal == kEnd && !g_ending.load())
            continue; // sent from outside: not the end
        if (signal == kEnd) {
            // A stop signal sent before the end and not taken yet counts too.
            const sigset_t stop = StopSet(false);
            const timespec now{};
            const int pending = sigtimedwait(&stop, nullptr, &now);
            int none = 0;
            if (pending > 0)
                g_signal.compare_exchange_strong(none, pending);
            return;
        }
        if (g_signal.exchange(signal) == 0) {
            static const char kNote[] =
                "kelvo: stopping after the current exchange (again to quit at once)\n";
            [[maybe_unused]] ssize_t n = write(STDERR_FILENO, kNote, sizeof kNote - 1);
            continue;
        }
        RemoveTraceChannelName();
        _exit(128 + signal);
    }
}

} // namespace

void TakeStopSignals() {
    const sigset_t set = StopSet(true);
    if (g_taker || pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return;
    g_taker = new std::thread(TakeSignals);
}

int StopSignal() {
    return g_signal.load();
}

int EndStopSignals() {
    if (g_taker && g_taker->joinable()) {
        g_ending.store(true);
        pthread_kill(g_taker->native_handle(), kEnd);
        g_taker->join();
    }
    return g_signal.load();
}

} // namespace kelvo::tool

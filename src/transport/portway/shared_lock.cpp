#include "transport/portway/shared_lock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvo::portway {
namespace {

constexpr std::uint32_t kWaiters = 0x80000000u;
constexpr std::size_t kPage = 4096;
// How often a waiter looks whether the holder still lives.
constexpr long kLookNs = 100'000'000;

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* wait) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, wait, nullptr,
                     0);
}

// Whether process `pid` runs (a zombie no longer holds anything).
bool Lives(std::uint32_t pid) {
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    FILE* f = std::fopen(path, "re");
    if (!f)
        return true; // no /proc to ask (or just reaped: the next look sees it)
    // "pid (name) S ...": the state follows the last ')'.
    char text[512];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    char state = '?';
    for (std::size_t i = n; i-- > 0;) {
        if (text[i] == ')') {
            if (i + 2 < n)
                state = text[i + 2];
            break;
        }
    }
    return state != 'Z' && state != 'X';
}

} // namespace

std::unique_ptr<SharedLock> SharedLock::Map(int fd) {
    // Growing fills with zeros, the free word; a file already long enough
    // keeps its bytes, so a process that comes late never frees a held word.
    // The page gets its disk block now: a write into a page without one
    // would end the process (SIGBUS) on a full disk.
    if (::posix_fallocate(fd, 0, kPage) != 0)
        return nullptr;
    // Every user who reaches the file must be able to map it for writing:
    // one who could not would lock with flock and miss the word's holders.
    // (Only the file's owner can change its mode; others find it done.)
    ::fchmod(fd, 0666);
    void* page = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED)
        return nullptr;
    return std::unique_ptr<SharedLock>(new SharedLock(page));
}

SharedLock::~SharedLock() {
    ::munmap(page_, kPage);
}

std::atomic<std::uint32_t>& SharedLock::Word() const {
    return *static_cast<std::atomic<std::uint32_t>*>(page_);
}

void SharedLock::Lock(std::uint32_t self) {
    std::atomic<std::uint32_t>& word = Word();
    // Once it has slept, a waiter takes the word with the waiters bit set:
    // others may still sleep, and its Unlock must wake them.
    std::uint32_t desired = self;
    for (;;) {
        std::uint32_t seen = 0;
        if (word.compare_exchange_strong(seen, desired, std::memory_order_acquire))
            return;
        const std::uint32_t holder = seen & ~kWaiters;
        if (holder == self) {
            if (word.compare_exchange_strong(seen, desired | (seen & kWaiters),
                                             std::memory_order_acquire))
                return;
            continue;
        }
        if (!(seen & kWaiters)) {
            if (!word.compare_exchange_strong(seen, seen | kWaiters, std::memory_order_relaxed))
                continue;
            seen |= kWaiters;
        }
        const timespec look{0, kLookNs};
        const long slept = Futex(word, FUTEX_WAIT, seen, &look);
        desired = self | kWaiters;
        if (slept != 0 && errno == ETIMEDOUT && !Lives(holder) &&
            word.compare_exchange_strong(seen, desired, std::memory_order_acquire))
            return;
    }
}

void SharedLock::Unlock() {
    std::atomic<std::uint32_t>& word = Word();
    if (word.exchange(0, std::memory_order_release) & kWaiters)
        Futex(word, FUTEX_WAKE, 1, nullptr);
}

} // namespace kelvo::portway

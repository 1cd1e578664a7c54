#include "transport/portway/link_lock.h"

#include "transport/portway/device_paths.h"
#include "transport/portway/shared_lock.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

namespace kelvo::portway {
namespace {

// A device node is opened as it is (never created, never made the
// controlling terminal, no wait for a carrier); a lock file is made when
// missing.
int OpenLockFile(const std::string& path, bool deviceNode) {
    if (deviceNode) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        return fd;
    }
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0)
            return fd;
        if (errno == EINTR)
            continue;
        // A lock file made by another user may still be locked through reading.
        if (errno == EACCES)
            return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        return -1;
    }
}

// Forks this process went through (a child handler counts them), so that a
// descriptor opened before a fork is known without asking for the pid; and
// the pid itself, which a shared lock word holds.
std::atomic<unsigned> g_forks{0};
std::atomic<std::uint32_t> g_pid{0};

void CountForks() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pid = static_cast<std::uint32_t>(::getpid());
        ::pthread_atfork(nullptr, nullptr, [] {
            g_forks.fetch_add(1);
            g_pid = static_cast<std::uint32_t>(::getpid());
        });
    });
}

} // namespace

std::shared_ptr<LinkLock> LinkLock::ForLink(const std::string& linkId,
                                            const std::string& deviceNode) {
    // Never destroyed, so that transports released during process exit still
    // find them.
    static auto* mutex = new std::mutex;
    static auto* locks = new std::map<std::string, std::weak_ptr<LinkLock>>;

    CountForks();
    const bool onNode = !deviceNode.empty();
    std::string path = onNode ? deviceNode : LinkLockPath(linkId);
    std::lock_guard<std::mutex> guard(*mutex);
    for (auto it = locks->begin(); it != locks->end();) {
        if (it->second.expired())
            it = locks->erase(it);
        else
            ++it;
    }
    std::weak_ptr<LinkLock>& slot = (*locks)[path];
    std::shared_ptr<LinkLock> lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<LinkLock>(path, onNode);
        // TCP and TLS links exclude other processes on a word in their lock
        // file, which costs no system call while nobody waits.
        lock->sharedWord_ = linkId.rfind("tcp-", 0) == 0;
        slot = lock;
    }
    return lock;
}

LinkLock::~LinkLock() {
    if (fd_ < 0 || !OpenedHere())
        return;
    // A word, unlike a file lock, is not freed by closing the file.
    if (betweenHeld_ && shared_)
        shared_->Unlock();
    ::close(fd_);
}

bool LinkLock::OpenedHere() const {
    return forks_ == g_forks.load(std::memory_order_relaxed);
}

// A child process inherits the parent's state and lock descriptor, but not the
// parent's hold on the link: it drops both without unlocking the parent's file
// (closing its copy of the descriptor leaves the parent's lock in place).
void LinkLock::ForgetInheritedLocked() {
    if (fd_ < 0 || OpenedHere())
        return;
    shared_.reset();
    ::close(fd_);
    fd_ = -1;
    held_ = false;
    owner_ = nullptr;
    between_ = false;
    betweenHeld_ = false;
}

void LinkLock::FreeLocked() {
    if (betweenHeld_) {
        if (shared_)
            shared_->Unlock();
        else
            ::flock(fd_, LOCK_UN);
        betweenHeld_ = false;
        between_ = false;
    }
    held_ = false;
    owner_ = nullptr;
    freed_.notify_all();
}

PortwayErrorCode LinkLock::Acquire(const void* owner) {
    std::unique_lock<std::mutex> lock(mutex_);
    ForgetInheritedLocked();
    std::thread::id self = std::this_thread::get_id();
    if (held_ && thread_ == self)
        return PW_OK;
    freed_.wait(lock, [&] {
        ForgetInheritedLocked();
        return !held_ && !between_;
    });
    // Taken in this process; now wait for the other processes without blocking
    // the threads that only ask whether they hold it.
    held_ = true;
    thread_ = self;
    owner_ = owner;
    between_ = true;
    int fd = fd_;
    SharedLock* shared = shared_.get();
    lock.unlock();

    std::unique_ptr<SharedLock> mapped;
    if (fd < 0) {
        fd = OpenLockFile(path_, deviceNode_);
        if (fd >= 0 && sharedWord_)
            mapped = SharedLock::Map(fd);
        shared = mapped.get();
    }
    bool ok = fd >= 0;
    if (ok && shared)
        shared->Lock(g_pid.load(std::memory_order_relaxed));
    while (ok && !shared && ::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            ok = false;
    }

    lock.lock();
    if (fd >= 0 && fd != fd_) {
        fd_ = fd;
        shared_ = std::move(mapped);
        forks_ = g_forks.load(std::memory_order_relaxed);
    }
    betweenHeld_ = ok;
    if (!ok) {
        between_ = false;
        FreeLocked();
        return PW_LOCK_FAILED;
    }
    // Freed while it waited (the transport was closed): let go again.
    if (!held_ || thread_ != self || owner_ != owner) {
        FreeLocked();
        return PW_LOCK_FAILED;
    }
    return PW_OK;
}

bool LinkLock::Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!held_ || !OpenedHere() || thread_ != std::this_thread::get_id() || fd_ < 0)
        return false;
    FreeLocked();
    return true;
}

void LinkLock::ReleaseOwnedBy(const void* owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_ && OpenedHere() && owner_ == owner && fd_ >= 0)
        FreeLocked();
}

} // namespace kelvo::portway

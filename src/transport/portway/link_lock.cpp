#include "transport/portway/link_lock.h"

#include "transport/portway/device_paths.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <unistd.h>

namespace kelvo::portway {
namespace {

int OpenLockFile(const std::string& path) {
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

} // namespace

std::shared_ptr<LinkLock> LinkLock::ForLink(const std::string& linkId) {
    // Never destroyed, so that transports released during process exit still
    // find them.
    static auto* mutex = new std::mutex;
    static auto* locks = new std::map<std::string, std::weak_ptr<LinkLock>>;

    std::string path = LinkLockPath(linkId);
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
        lock = std::make_shared<LinkLock>(path);
        slot = lock;
    }
    return lock;
}

LinkLock::~LinkLock() {
    if (fd_ >= 0 && pid_ == ::getpid())
        ::close(fd_);
}

// A child process inherits the parent's state and lock descriptor, but not the
// parent's hold on the link: it drops both without unlocking the parent's file.
void LinkLock::ForgetInheritedLocked() {
    if (!held_ || pid_ == ::getpid())
        return;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    held_ = false;
    owner_ = nullptr;
}

void LinkLock::FreeLocked() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    fd_ = -1;
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
        return !held_;
    });
    // Taken in this process; now wait for the other processes without blocking
    // the threads that only ask whether they hold it.
    held_ = true;
    thread_ = self;
    owner_ = owner;
    pid_ = ::getpid();
    fd_ = -1;
    lock.unlock();

    int fd = OpenLockFile(path_);
    bool ok = fd >= 0;
    while (ok && ::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            ok = false;
    }

    lock.lock();
    fd_ = fd;
    if (!ok) {
        FreeLocked();
        return PW_LOCK_FAILED;
    }
    return PW_OK;
}

bool LinkLock::Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!held_ || pid_ != ::getpid() || thread_ != std::this_thread::get_id() || fd_ < 0)
        return false;
    FreeLocked();
    return true;
}

void LinkLock::ReleaseOwnedBy(const void* owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_ && pid_ == ::getpid() && owner_ == owner && fd_ >= 0)
        FreeLocked();
}

} // namespace kelvo::portway

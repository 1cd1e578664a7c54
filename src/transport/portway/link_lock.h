// The link lock: exclusive use of one link across the threads of a process and
// across processes. Inside a process, one LinkLock object per link (shared by every
// transport object open on it) excludes other threads; between processes an
// advisory flock excludes other processes. A serial line flocks its resolved
// device node, so every process on the machine that opens the line meets the
// same lock whatever its user or environment; a socket bridge flocks a lock file
// named after the link (device_paths.h); TCP and TLS links use a word in a shared
// mapping of their lock file (shared_lock.h), which costs no system call while no
// other process waits.
//
// The holder is a thread: a further Acquire by the holding thread succeeds at
// once, and one Release frees the link. Acquire waits without a time-out: a
// holder that ends its process frees the file lock with it.
//
// The lock file stays open while the LinkLock lives, so an exchange costs two
// flock calls and nothing more (none with the shared word). A child process made by fork opens its
// own descriptor: the inherited one shares the parent's open file, and so its lock.
#pragma once

#include "kelvo/portway.h"
#include "transport/portway/shared_lock.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kelvo::portway {

class LinkLock {
public:
    // The lock shared by everything in this process open on the link: on
    // `deviceNode` when one is given, else on the lock file of `linkId`.
    static std::shared_ptr<LinkLock> ForLink(const std::string& linkId,
                                             const std::string& deviceNode = {});

    LinkLock(std::string path, bool deviceNode) : path_(std::move(path)), deviceNode_(deviceNode) {}
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;
    ~LinkLock();

    // `owner` tags the transport object that took the lock, for ReleaseOwnedBy.
    PortwayErrorCode Acquire(const void* owner);
    // Frees the link if the calling thread holds it; false otherwise.
    bool Release();
    // Frees the link if `owner` took it (a transport closing while it holds it).
    void ReleaseOwnedBy(const void* owner);

    const std::string& path() const { return path_; }

private:
    void FreeLocked();
    void ForgetInheritedLocked();
    bool OpenedHere() const;

    const std::string path_;
    const bool deviceNode_;
    bool sharedWord_ = false; // set once by ForLink
    std::mutex mutex_;
    std::condition_variable freed_;
    bool held_ = false;
    std::thread::id thread_;
    const void* owner_ = nullptr;
    unsigned forks_ = 0; // the process's fork count when fd_ was opened
    int fd_ = -1;
    std::unique_ptr<SharedLock> shared_; // the word, on links that use one
    // A thread of this process takes (between_) or holds (betweenHeld_) the
    // lock between processes; no other thread starts to take it meanwhile.
    bool between_ = false;
    bool betweenHeld_ = false;
};

} // namespace kelvo::portway

// Exclusion between processes on one 32-bit word in a shared mapping of a lock
// file: 0 while free, else the holder's process id, with the top bit set while
// others wait. Taking a free lock and freeing one that nobody waits for are one
// atomic operation each, without a system call; waiters sleep on the word (a
// futex) until it is freed. A holder that died without freeing it (its process
// gone or a zombie) is found out by its waiters, who look every 100 ms while
// they wait and then take the lock over. The processes sharing a lock file see
// each other's process ids, as those of one machine and one pid namespace do.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kelvo::portway {

class SharedLock {
public:
    // Maps the word of the lock file open as `fd` (read and write), growing the
    // file to one page when it is shorter and letting every user write it;
    // null when that is not possible (the link lock then uses flock, which
    // excludes only others that use flock too).
    static std::unique_ptr<SharedLock> Map(int fd);
    ~SharedLock();
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

    // Waits until the word is free and takes it for process `self`. A word
    // that names `self` is a leftover (this process does not hold it: its
    // threads meet in the link lock first) and is taken over at once.
    void Lock(std::uint32_t self);
    void Unlock();

private:
    explicit SharedLock(void* page) : page_(page) {}
    std::atomic<std::uint32_t>& Word() const;

    void* page_;
};

} // namespace kelvo::portway

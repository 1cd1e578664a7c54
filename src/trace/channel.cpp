#include "trace/channel.h"

#include "protocol/bytes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kelvo::trace {
namespace {

static_assert(std::endian::native == std::endian::little,
              "entries are copied as little-endian bytes");

// An object without a writer id yet is being set up by its creator; only
// when it stays so for this long is it taken for the leftover of a crash.
constexpr std::time_t kUnstampedGraceSeconds = 10;

std::atomic_ref<std::uint32_t> Field(std::uint8_t* base, std::size_t offset) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + offset));
}

// Whether the existing object of that name was left by a writer that is gone.
bool IsStale(const std::string& path) {
    const int fd = ::shm_open(path.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return errno == ENOENT;
    struct stat st;
    bool stale = false;
    if (::fstat(fd, &st) == 0) {
        std::uint32_t pid = 0;
        if (static_cast<std::size_t>(st.st_size) >= kHeaderSize) {
            void* map = ::mmap(nullptr, kHeaderSize, PROT_READ, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                pid = ldle_u32(static_cast<const std::uint8_t*>(map) + kHeaderPid);
                ::munmap(map, kHeaderSize);
            }
        }
        if (pid != 0)
            stale = !ProcessAlive(pid);
        else
            stale = std::time(nullptr) - st.st_ctime > kUnstampedGraceSeconds;
    }
    ::close(fd);
    return stale;
}

} // namespace

std::string SectionName(std::string_view baseName) {
    std::string name(kSectionPrefix);
    name += baseName;
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name;
}

std::string PidSuffix(long pid) {
    std::string suffix = "_" + std::to_string(pid);
    if (suffix.size() > 9)
        suffix.resize(9);
    return suffix;
}

bool ProcessAlive(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX))
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

TraceChannel::~TraceChannel() {
    RemoveName();
    if (!base_)
        return;
    if (memory_ == Memory::Shared)
        ::munmap(base_, size_);
    else
        std::free(base_);
}

bool TraceChannel::Open(std::string_view baseName, std::uint32_t capacity, bool perProcessName) {
    std::lock_guard guard(lock_);
    if (base_)
        return false;
    const std::uint64_t size = SectionSize(capacity);
    if (size > kMaxSectionSize)
        return false;
    size_ = static_cast<std::size_t>(size);
    capacity_ = capacity;

    std::string name = SectionName(baseName);
    const std::string suffix = PidSuffix(static_cast<long>(::getpid()));
    if (perProcessName)
        name += suffix;
    Create result = CreateShared(name);
    if (result == Create::Exists && !perProcessName)
        result = CreateShared(name + suffix);
    if (result != Create::Created) {
        // Entries still go somewhere, only no viewer can see them.
        OpenPrivate();
        return false;
    }
    Initialise();
    return true;
}

bool TraceChannel::OpenLocal(std::uint32_t capacity) {
    std::lock_guard guard(lock_);
    const std::uint64_t size = SectionSize(capacity);
    if (base_ || size > kMaxSectionSize)
        return false;
    size_ = static_cast<std::size_t>(size);
    capacity_ = capacity;
    return OpenPrivate();
}

TraceChannel::Create TraceChannel::CreateShared(const std::string& name) {
    const std::string path = "/" + name;
    int fd = ::shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        if (!IsStale(path))
            return Create::Exists;
        ::shm_unlink(path.c_str());
        fd = ::shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            return Create::Exists;
    }
    if (fd < 0)
        return Create::Failed;
    // Reserve the memory now: a full /dev/shm then fails here, not as a
    // fault on a later write. The umask must not open or close it further.
    bool ok = ::fchmod(fd, 0600) == 0 && ::posix_fallocate(fd, 0, static_cast<off_t>(size_)) == 0;
    void* map = MAP_FAILED;
    if (ok)
        map = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        ::shm_unlink(path.c_str());
        return Create::Failed;
    }
    base_ = static_cast<std::uint8_t*>(map);
    memory_ = Memory::Shared;
    name_ = name;
    creator_ = static_cast<long>(::getpid());
    named_ = true;
    // The writer's id at once, so that another process sees a living owner
    // from the start (the reset records it again).
    Field(base_, kHeaderPid).store(static_cast<std::uint32_t>(creator_), std::memory_order_release);
    return Create::Created;
}

bool TraceChannel::OpenPrivate() {
    base_ = static_cast<std::uint8_t*>(std::calloc(1, size_));
    if (!base_)
        return false;
    memory_ = Memory::Private;
    Initialise();
    return true;
}

void TraceChannel::Initialise() {
    // New memory is zero already (fresh object or calloc).
    stle_u32(base_ + kHeaderCapacity, capacity_);
    Field(base_, kHeaderValid).store(1, std::memory_order_release);
}

std::uint32_t TraceChannel::SetMask(std::uint32_t mask) {
    if (!base_)
        return 0;
    return Field(base_, kHeaderMask).exchange(mask, std::memory_order_relaxed);
}

void TraceChannel::Stamp(std::uint32_t pid, std::int64_t startTime) {
    if (!base_)
        return;
    std::lock_guard guard(lock_);
    stle_u64(base_ + kHeaderStartTime, static_cast<std::uint64_t>(startTime));
    Field(base_, kHeaderPid).store(pid, std::memory_order_release);
}

bool TraceChannel::Write(const EntryHead& head, const void* payload, std::size_t size) {
    if (!base_ || size > kEntryPayloadSize)
        return false;
    std::lock_guard guard(lock_);
    const std::uint32_t next = Field(base_, kHeaderNext).load(std::memory_order_relaxed);
    if (next >= capacity_)
        return false;
    std::uint8_t* slot = base_ + kHeaderSize + static_cast<std::size_t>(next) * kEntrySize;
    stle_u32(slot + kEntryTime, head.time);
    stle_u32(slot + kEntryCategory, head.category);
    stle_u32(slot + kEntryCallerTag, head.callerTag);
    stle_u16(slot + kEntryKind, head.kind);
    stle_u16(slot + kEntryLength, head.length);
    if (size > 0)
        std::memcpy(slot + kEntryPayload, payload, size);
    // The slot first, then next, first and count, so a reader that sees the
    // new count finds the entry complete.
    const std::uint32_t advanced = next + 1 == capacity_ ? 0 : next + 1;
    Field(base_, kHeaderNext).store(advanced, std::memory_order_release);
    auto first = Field(base_, kHeaderFirst);
    if (advanced == first.load(std::memory_order_relaxed)) {
        const std::uint32_t f = first.load(std::memory_order_relaxed) + 1;
        first.store(f == capacity_ ? 0 : f, std::memory_order_release);
    }
    auto count = Field(base_, kHeaderCount);
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
}

void TraceChannel::RemoveName() {
    if (!named_ || creator_ != static_cast<long>(::getpid()))
        return;
    named_ = false;
    ::shm_unlink(("/" + name_).c_str());
}

} // namespace kelvo::trace

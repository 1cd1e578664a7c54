// The trace channel: a ring of fixed-size entries in a named POSIX shared
// memory object that a viewer in another process maps and reads while the
// writer runs. Only the writer's process writes into it; a viewer reads
// without locking (see reader.h).
//
// Layout (little-endian): a 252-byte header at offset 0, then `capacity`
// entries of 496 bytes from offset 252; the object is capacity * 496 + 256
// bytes long, the last 4 bytes unused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kelvo::trace {

inline constexpr std::size_t kHeaderSize = 252;
inline constexpr std::size_t kEntrySize = 496;
inline constexpr std::size_t kEntryHeadSize = 16;
inline constexpr std::size_t kEntryPayloadSize = kEntrySize - kEntryHeadSize;
inline constexpr std::size_t kTextChars = kEntryPayloadSize / 2; // 239 and the terminator
inline constexpr std::uint64_t kMaxSectionSize = 0x20000000;
inline constexpr std::string_view kSectionPrefix = "ALTRACE_";

// Header field offsets.
inline constexpr std::size_t kHeaderFirst = 0;
inline constexpr std::size_t kHeaderNext = 4;
inline constexpr std::size_t kHeaderCount = 8;
inline constexpr std::size_t kHeaderCapacity = 12;
inline constexpr std::size_t kHeaderPid = 16;
inline constexpr std::size_t kHeaderMask = 20;
inline constexpr std::size_t kHeaderFlags = 24;
inline constexpr std::size_t kHeaderValid = 28;
inline constexpr std::size_t kHeaderStartTime = 40;

// Entry field offsets.
inline constexpr std::size_t kEntryTime = 0; // the sequence number
inline constexpr std::size_t kEntryCategory = 4;
inline constexpr std::size_t kEntryCallerTag = 8;
inline constexpr std::size_t kEntryKind = 12;
inline constexpr std::size_t kEntryLength = 14;
inline constexpr std::size_t kEntryPayload = 16;

// Entry kinds: 0 is text; 1 and 2 are reserved for CAN frames received and
// sent, which this component never writes.
inline constexpr std::uint16_t kKindText = 0;

// Bytes of a channel of `capacity` entries.
constexpr std::uint64_t SectionSize(std::uint32_t capacity) {
    return static_cast<std::uint64_t>(capacity) * kEntrySize + 256;
}

// "ALTRACE_" and the base name, all upper case.
std::string SectionName(std::string_view baseName);
// "_<pid>", cut to 9 characters.
std::string PidSuffix(long pid);
// True while a process of that id runs.
bool ProcessAlive(std::uint32_t pid);

// The head of one entry; the payload follows it in the slot.
struct EntryHead {
    std::uint32_t time = 0; // sequence number
    std::uint32_t category = 0;
    std::uint32_t callerTag = 0;
    std::uint16_t kind = kKindText;
    std::uint16_t length = 0;
};

class TraceChannel {
public:
    enum class Memory { None, Shared, Private };

    TraceChannel() = default;
    // Removes the name (when this process created it) and unmaps.
    ~TraceChannel();
    TraceChannel(const TraceChannel&) = delete;
    TraceChannel& operator=(const TraceChannel&) = delete;

    // Creates and maps the shared object "ALTRACE_<BASE>" (with
    // `perProcessName`: "ALTRACE_<BASE>_<pid>"). When that name is held by a
    // living writer, the pid-suffixed name is tried (without
    // `perProcessName`); an object left by a dead writer is replaced. When no
    // shared object can be had, the channel lives in private memory. True only
    // for a shared object; false also when this channel is already open
    // (nothing changes then) or the size is above 512 MiB (no channel).
    bool Open(std::string_view baseName, std::uint32_t capacity, bool perProcessName);
    // A channel in private memory only (no other process sees it). False when
    // already open or when the memory cannot be had.
    bool OpenLocal(std::uint32_t capacity);

    // Sets the category mask recorded in the header; returns the previous one.
    std::uint32_t SetMask(std::uint32_t mask);
    // Records the writer's process id and the start time (seconds since 1970).
    void Stamp(std::uint32_t pid, std::int64_t startTime);
    // Copies the head and `size` payload bytes (at most 480) into the next
    // slot and advances the ring. False when the entry was dropped.
    bool Write(const EntryHead& head, const void* payload, std::size_t size);

    // Removes the shared object's name so no new viewer finds it; mappings stay.
    // Only the creating process removes it (not a forked child).
    void RemoveName();

    Memory memory() const { return memory_; }
    bool IsOpen() const { return base_ != nullptr; }
    // Object name without the leading '/', when shared.
    const std::string& name() const { return name_; }
    std::uint32_t capacity() const { return capacity_; }
    const std::uint8_t* data() const { return base_; }
    std::size_t size() const { return size_; }

private:
    enum class Create { Created, Exists, Failed };
    Create CreateShared(const std::string& name);
    bool OpenPrivate();
    void Initialise();

    std::mutex lock_; // the writer lock: one entry copied at a time
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::uint32_t capacity_ = 0;
    Memory memory_ = Memory::None;
    std::string name_;
    long creator_ = 0; // process that created the name
    bool named_ = false;
};

} // namespace kelvo::trace

// Reading a trace channel: by name from another process (the viewer), or
// from memory of this process. The reader takes no lock; an entry the writer
// overwrites while it is being read is dropped when the reader can tell, and
// read as whatever bytes it holds otherwise (never beyond its slot).
#pragma once

#include "trace/channel.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::trace {

struct ChannelHeader {
    std::uint32_t first = 0;
    std::uint32_t next = 0;
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;
    std::uint32_t pid = 0;
    std::uint32_t mask = 0;
    std::uint32_t flags = 0;
    std::uint32_t valid = 0;
    std::int64_t startTime = 0;
};

// One entry as read.
struct TraceRecord {
    std::uint32_t sequence = 0;
    std::uint32_t category = 0;
    std::uint32_t callerTag = 0;
    std::uint16_t kind = kKindText;
    std::uint16_t length = 0;
    std::u16string text;            // text entries, up to the terminator
    std::vector<std::uint8_t> data; // data records: `length` bytes (at most 480)
};

class TraceReader {
public:
    TraceReader() = default;
    ~TraceReader();
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    // Maps the shared object `name` ("ALTRACE_KELVO") read-only. False with a
    // reason in `error` when it does not exist or is no trace channel.
    bool Open(const std::string& name, std::string* error = nullptr);
    // Reads a channel in this process's memory (which must outlive the reader).
    bool Attach(const std::uint8_t* base, std::size_t size);
    void Close();
    bool IsOpen() const { return base_ != nullptr; }

    ChannelHeader Header() const;
    // The slots the ring holds entries in, capacity clamped to the mapping.
    std::uint32_t Capacity() const;

    // Every entry the ring holds, oldest first (while the writer is busy,
    // the oldest may come out mixed with its successor). `cursor`, when
    // given, is set for ReadSince to go on after them.
    std::vector<TraceRecord> ReadAll(std::uint32_t* cursor = nullptr);
    // Entries written since `cursor` (a count value), oldest first; `cursor`
    // moves to the current count. Only complete entries are returned: one
    // that lagged a whole ring behind is dropped, and `lost` (when given)
    // grows by the entries overwritten before they could be read.
    std::vector<TraceRecord> ReadSince(std::uint32_t& cursor, std::uint64_t* lost = nullptr);

    // Whether `name` now names another object than the one mapped (the
    // writer ended and a new one took the name) or none.
    bool NameMovedOn() const;
    const std::string& name() const { return name_; }

private:
    struct Snapshot {
        std::uint32_t count = 0;
        std::uint32_t next = 0; // slot of the entry after the newest
    };
    Snapshot Take() const;
    std::vector<TraceRecord> ReadRange(const Snapshot& s, std::uint32_t from, bool strict,
                                       std::uint64_t* lost);
    TraceRecord ReadSlot(std::uint32_t slot) const;

    const std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::string name_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// A channel that exists now.
struct ChannelInfo {
    std::string name;
    std::uint32_t pid = 0;
    bool writerAlive = false;
    std::uint32_t capacity = 0;
    std::uint32_t count = 0;
    std::int64_t startTime = 0;
};
// All "ALTRACE_*" objects, by name.
std::vector<ChannelInfo> ListChannels();

// Label of a category ("Read operations"), or empty for another value.
std::string_view CategoryLabel(std::uint32_t category);

// "<sequence> [<label>] <text>" (UTF-8); data records show their bytes in hex.
std::string FormatRecord(const TraceRecord& record);
// One JSON object: {"sequence":..,"category":..,"label":"..","text":".."}
// (data records: "kind" and "data" in hex instead of "text").
std::string RecordJson(const TraceRecord& record);

} // namespace kelvo::trace

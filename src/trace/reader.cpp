#include "trace/reader.h"

#include "kelvo/automation.h"
#include "protocol/bytes.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kelvo::trace {
namespace {

// Where the system keeps its POSIX shared memory objects.
constexpr const char* kShmFolder = "/dev/shm";

std::uint32_t Load(const std::uint8_t* base, std::size_t offset) {
    // The writer may change the word at any time: read it as an atomic.
    auto* word = const_cast<std::uint32_t*>(reinterpret_cast<const std::uint32_t*>(base + offset));
    return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
}

std::string ObjectPath(const std::string& name) {
    return name.starts_with('/') ? name : "/" + name;
}

std::string Hex(const std::vector<std::uint8_t>& data, const char* separator) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += separator;
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
    }
    return out;
}

} // namespace

TraceReader::~TraceReader() {
    Close();
}

bool TraceReader::Open(const std::string& name, std::string* error) {
    Close();
    const std::string path = ObjectPath(name);
    const int fd = ::shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (error)
            *error = name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kHeaderSize) {
        ::close(fd);
        if (error)
            *error = name + ": not a trace channel";
        return false;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        if (error)
            *error = name + ": " + std::strerror(errno);
        return false;
    }
    base_ = static_cast<const std::uint8_t*>(map);
    size_ = size;
    mapped_ = true;
    name_ = path.substr(1);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool TraceReader::Attach(const std::uint8_t* base, std::size_t size) {
    Close();
    if (!base || size < kHeaderSize)
        return false;
    base_ = base;
    size_ = size;
    return true;
}

void TraceReader::Close() {
    if (mapped_ && base_)
        ::munmap(const_cast<std::uint8_t*>(base_), size_);
    base_ = nullptr;
    size_ = 0;
    mapped_ = false;
    name_.clear();
}

ChannelHeader TraceReader::Header() const {
    ChannelHeader h;
    if (!base_)
        return h;
    h.first = Load(base_, kHeaderFirst);
    h.next = Load(base_, kHeaderNext);
    h.count = Load(base_, kHeaderCount);
    h.capacity = Load(base_, kHeaderCapacity);
    h.pid = Load(base_, kHeaderPid);
    h.mask = Load(base_, kHeaderMask);
    h.flags = Load(base_, kHeaderFlags);
    h.valid = Load(base_, kHeaderValid);
    h.startTime = static_cast<std::int64_t>(Load(base_, kHeaderStartTime)) |
                  static_cast<std::int64_t>(
                      static_cast<std::uint64_t>(Load(base_, kHeaderStartTime + 4)) << 32);
    return h;
}

std::uint32_t TraceReader::Capacity() const {
    if (!base_)
        return 0;
    const std::size_t fits = (size_ - kHeaderSize) / kEntrySize;
    return static_cast<std::uint32_t>(std::min<std::size_t>(Load(base_, kHeaderCapacity), fits));
}

TraceReader::Snapshot TraceReader::Take() const {
    Snapshot s;
    const std::uint32_t capacity = Capacity();
    if (capacity == 0)
        return s;
    // The writer stores next before count; a count that stays the same
    // around the read of next was read with it.
    std::uint32_t next = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        s.count = Load(base_, kHeaderCount);
        next = Load(base_, kHeaderNext);
        if (Load(base_, kHeaderCount) == s.count)
            break;
    }
    // A writer paused between its two stores shows next one slot ahead of
    // count. Until count wraps at 2^32 the slot after the newest entry is
    // count % capacity, so that reading wins whenever next agrees with it or
    // is that one slot ahead; after a wrap next is taken as it stands.
    const std::uint32_t expected = s.count % capacity;
    const bool agrees = next % capacity == expected || next % capacity == (expected + 1) % capacity;
    s.next = agrees ? expected : next % capacity;
    return s;
}

TraceRecord TraceReader::ReadSlot(std::uint32_t slot) const {
    // Word by word, as the writer may be copying into this slot right now.
    std::uint8_t bytes[kEntrySize];
    const std::size_t offset = kHeaderSize + static_cast<std::size_t>(slot) * kEntrySize;
    for (std::size_t i = 0; i < kEntrySize; i += 4)
        stle_u32(bytes + i, Load(base_, offset + i));

    TraceRecord r;
    r.sequence = ldle_u32(bytes + kEntryTime);
    r.category = ldle_u32(bytes + kEntryCategory);
    r.callerTag = ldle_u32(bytes + kEntryCallerTag);
    r.kind = ldle_u16(bytes + kEntryKind);
    r.length = ldle_u16(bytes + kEntryLength);
    const std::uint8_t* payload = bytes + kEntryPayload;
    if (r.kind != kKindText) {
        const std::size_t n = std::min<std::size_t>(r.length, kEntryPayloadSize);
        r.data.assign(payload, payload + n);
        return r;
    }
    for (std::size_t i = 0; i < kTextChars; ++i) {
        const char16_t c = ldle_u16(payload + 2 * i);
        if (c == 0)
            break;
        r.text.push_back(c);
    }
    return r;
}

std::vector<TraceRecord> TraceReader::ReadRange(const Snapshot& s, std::uint32_t from, bool strict,
                                                std::uint64_t* lost) {
    std::vector<TraceRecord> records;
    const std::uint32_t capacity = Capacity();
    const std::uint32_t n = s.count - from;
    if (capacity == 0 || n == 0 || n > capacity)
        return records;
    records.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        // Entry `from + i` lies `n - i` entries back from the newest.
        const std::uint32_t back = n - i;
        records.push_back(ReadSlot((s.next + capacity - back) % capacity));
    }
    // Entries whose slot the writer has reused meanwhile are dropped: those
    // overwritten by a finished entry, and (strict) the one whose slot the
    // writer may be copying into right now.
    const std::uint32_t written = Load(base_, kHeaderCount) - s.count;
    const std::uint32_t room = capacity - n;
    std::uint32_t gone = 0;
    if (strict && written >= room)
        gone = written - room + 1;
    else if (written > room)
        gone = written - room;
    gone = std::min(gone, n);
    if (gone > 0) {
        records.erase(records.begin(), records.begin() + gone);
        if (lost)
            *lost += gone;
    }
    return records;
}

std::vector<TraceRecord> TraceReader::ReadAll(std::uint32_t* cursor) {
    const Snapshot s = Take();
    const std::uint32_t capacity = Capacity();
    if (cursor)
        *cursor = s.count;
    return ReadRange(s, s.count - std::min(s.count, capacity), false, nullptr);
}

std::vector<TraceRecord> TraceReader::ReadSince(std::uint32_t& cursor, std::uint64_t* lost) {
    const Snapshot s = Take();
    const std::uint32_t capacity = Capacity();
    // The slot after the newest entry may be in the writer's hands: a reader
    // that keeps up reads at most capacity - 1 entries at a time.
    const bool strict = capacity > 1;
    const std::uint32_t window = strict ? capacity - 1 : capacity;
    std::uint32_t from = cursor;
    const std::uint32_t ahead = s.count - from;
    if (ahead > window) {
        if (lost)
            *lost += ahead - window;
        from = s.count - window;
    }
    std::vector<TraceRecord> records = ReadRange(s, from, strict, lost);
    cursor = s.count;
    return records;
}

bool TraceReader::NameMovedOn() const {
    if (!mapped_)
        return false;
    const int fd = ::shm_open(ObjectPath(name_).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct stat st;
    const bool moved = ::fstat(fd, &st) == 0 && (st.st_dev != device_ || st.st_ino != inode_);
    ::close(fd);
    return moved;
}

std::vector<ChannelInfo> ListChannels() {
    std::vector<ChannelInfo> list;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(kShmFolder, ec)) {
        const std::string name = item.path().filename().string();
        if (!name.starts_with(kSectionPrefix))
            continue;
        TraceReader reader;
        if (!reader.Open(name))
            continue;
        const ChannelHeader h = reader.Header();
        list.push_back({name, h.pid, ProcessAlive(h.pid), h.capacity, h.count, h.startTime});
    }
    std::sort(list.begin(), list.end(),
              [](const ChannelInfo& a, const ChannelInfo& b) { return a.name < b.name; });
    return list;
}

std::string_view CategoryLabel(std::uint32_t category) {
    switch (category) {
    case 1:
        return "Kelvo library connection";
    case 2:
        return "Read operations";
    case 4:
        return "Write operations";
    case 8:
        return "Low-level read operations";
    case 16:
        return "Low-level write operations";
    }
    return {};
}

std::string FormatRecord(const TraceRecord& record) {
    char head[48];
    std::snprintf(head, sizeof head, "%u ", record.sequence);
    std::string out = head;
    const std::string_view label = CategoryLabel(record.category);
    if (label.empty()) {
        std::snprintf(head, sizeof head, "[0x%X] ", record.category);
        out += head;
    } else {
        out += "[";
        out += label;
        out += "] ";
    }
    if (record.kind == kKindText)
        return out + Utf16ToUtf8(record.text);
    std::snprintf(head, sizeof head, "kind %u: ", record.kind);
    return out + head + Hex(record.data, " ");
}

std::string RecordJson(const TraceRecord& record) {
    nlohmann::ordered_json out = {{"sequence", record.sequence},
                                  {"category", record.category},
                                  {"label", std::string(CategoryLabel(record.category))}};
    if (record.kind == kKindText) {
        out["text"] = Utf16ToUtf8(record.text);
    } else {
        out["kind"] = record.kind;
        out["data"] = Hex(record.data, "");
    }
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace kelvo::trace

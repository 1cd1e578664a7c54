#include "capture_file.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <vector>

namespace kelvo::capture {

namespace {
// Longest record kept; device frames are far shorter.
constexpr int kSnapLength = 65535;
} // namespace

CaptureFile::~CaptureFile() {
    if (dumper_)
        pcap_dump_close(dumper_);
    if (pcap_)
        pcap_close(pcap_);
}

bool CaptureFile::Open(const std::string& path, std::string& error) {
    std::lock_guard lock(mutex_);
    pcap_ = pcap_open_dead(kLinkTypeUser0, kSnapLength);
    if (!pcap_) {
        error = path + ": cannot start a capture";
        return false;
    }
    dumper_ = pcap_dump_open(pcap_, path.c_str());
    if (!dumper_) {
        error = path + ": " + pcap_geterr(pcap_);
        return false;
    }
    return true;
}

void CaptureFile::Write(Direction direction, LinkType link, std::uint16_t number,
                        std::span<const std::uint8_t> bytes, Time when) {
    std::vector<std::uint8_t> record;
    record.reserve(bytes.size() + 4);
    record.push_back(static_cast<std::uint8_t>(direction));
    record.push_back(static_cast<std::uint8_t>(link));
    record.push_back(static_cast<std::uint8_t>(number & 0xFF));
    record.push_back(static_cast<std::uint8_t>(number >> 8));
    record.insert(record.end(), bytes.begin(), bytes.end());

    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(micros / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    header.len = static_cast<bpf_u_int32>(record.size());
    header.caplen = std::min<bpf_u_int32>(header.len, kSnapLength);

    std::lock_guard lock(mutex_);
    if (!dumper_)
        return;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, record.data());
    pcap_dump_flush(dumper_);
}

} // namespace kelvo::capture

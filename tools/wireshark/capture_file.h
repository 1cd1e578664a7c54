// Capture files of device frames for the Wireshark dissector (kelvo.lua):
// pcap with the link type DLT_USER0 (147). Every record is one frame as it
// went over the wire (serial: with address byte and CRC), behind a 4-byte
// pseudo-header:
//   byte 0    direction: 0 request (host to device), 1 answer (device to host),
//             2 streamed push data (device to host, no request)
//   byte 1    link: 0 serial, 1 TCP, 2 TLS (the bytes inside the session)
//   bytes 2-3 link number, little-endian: which of several links of the
//             program (the tool's connections, the simulator's devices), from 1
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace kelvo::capture {

enum class Direction : std::uint8_t { Request = 0, Answer = 1, Stream = 2 };
enum class LinkType : std::uint8_t { Serial = 0, Tcp = 1, Tls = 2 };

constexpr int kLinkTypeUser0 = 147;

// One open capture file; records may come from several threads.
class CaptureFile {
public:
    using Time = std::chrono::system_clock::time_point;

    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates (or replaces) the file; false with the reason in `error`.
    bool Open(const std::string& path, std::string& error);
    // Appends one record and flushes it, so the file is readable at any time.
    void Write(Direction direction, LinkType link, std::uint16_t number,
               std::span<const std::uint8_t> bytes, Time when = std::chrono::system_clock::now());

private:
    std::mutex mutex_;
    pcap_t* pcap_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
};

} // namespace kelvo::capture

// --wire and --capture: every frame between the tool and the device, printed on
// standard error with a timestamp and a decoded line (--wire), and written to a
// pcap file for the Wireshark dissector (--capture FILE). A transport put in
// place of "Portway.Portway2.1" forwards every call to the real one and hands
// the frames it sees to the log (wire_tap.cpp); the component is not touched.
#pragma once

#include "wireshark/capture_file.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace CLI {
class App;
}

namespace kelvo::tool {

using capture::Direction;
using capture::LinkType;
using WireTime = capture::CaptureFile::Time;

// One frame as a link saw it: a request as written, an answer as read, or
// push data read outside an exchange.
struct WireFrame {
    Direction direction;
    LinkType link;
    std::uint16_t number; // the link, numbered from 1 in the order they were made
    std::span<const std::uint8_t> bytes;
    WireTime when;
    std::uint16_t requestCommand = 0; // an answer: the command of the request before it
    WireTime requestTime{};           // an answer: when that request went out
};

// Safe to use from the threads of several connections.
class WireLog {
public:
    // --wire, --capture FILE.
    void AddOptions(CLI::App& app);
    // When an option asks for it: opens the capture file and puts the
    // recording transport in place. False, with the reason on standard error,
    // when the file cannot be written.
    bool Start(bool showSecrets);
    void Frame(const WireFrame& frame);

private:
    bool print_ = false;
    std::string capturePath_;
    bool showSecrets_ = false;
    std::unique_ptr<capture::CaptureFile> file_;
    std::mutex mutex_; // keeps the two lines of a frame together
};

// The frame as hex, passwords shown as *** unless `showSecrets`.
std::string WireHex(Direction direction, LinkType link, std::span<const std::uint8_t> bytes,
                    bool showSecrets);
// The short decoded line: command name, counter, and for an answer its status
// ("success", "device error 0x........" or "other status 0x...."). An answer is
// named after `requestCommand`, the command of the request before it.
std::string WireSummary(Direction direction, LinkType link, std::span<const std::uint8_t> bytes,
                        std::uint16_t requestCommand);

// Puts the recording transport in place of "Portway.Portway2.1" (wire_tap.cpp).
void InstallWireTap(WireLog& log);

} // namespace kelvo::tool

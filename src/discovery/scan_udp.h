// UDP discovery of devices on the local network: one broadcast request to
// port 17220, every answer that comes back within the time-out rendered as one
// text line. Runs on its own socket and touches no state of a Kelvo object.
//
// Datagram: kind (1 request, 2 answer), item count (signed), two bytes not
// examined, then the items: type and length big-endian, then the value.
//
// Rendering of hostile or cut answers (the value of an item is never read
// beyond its own length nor beyond the received bytes):
// - Items are rendered while their 4-byte item header lies inside the
//   datagram; the first item whose header does not fit ends the line, and the
//   missing items add nothing (no text, no tab).
// - An item whose value runs past the end of the datagram keeps the bytes that
//   arrived; it is the last item rendered.
// - A number or address item whose value is shorter than the type's width is
//   read from zero-filled bytes ("1.2.0.0" from the two bytes 01 02).
// - A text item (types 6 and 7) ends at its first zero byte and is cut after
//   99 bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::discovery {

constexpr std::uint16_t kDiscoveryPort = 17220;
constexpr std::size_t kScanRequestSize = 12;
// Longest datagram taken; longer ones are cut by the receive.
constexpr std::size_t kScanReceiveSize = 512;
// Longest text of a text item.
constexpr std::size_t kScanTextMax = 99;
constexpr std::uint8_t kKindRequest = 1;
constexpr std::uint8_t kKindAnswer = 2;
// Item type of the request's time value.
constexpr std::uint16_t kTimeItem = 10;

// The request: kind 1, one item of type 10 holding the low 32 bits of
// `seconds` little-endian (its type and length fields are big-endian).
std::array<std::uint8_t, kScanRequestSize> ScanRequest(std::uint32_t seconds);

// Appends the line of one datagram: each item's text followed by a tab, then a
// line feed. A datagram that is not an answer (kind other than 2, or empty)
// appends nothing and gives false. Never reads outside `datagram`.
bool RenderScanAnswer(std::span<const std::uint8_t> datagram, std::string& text);

// One item of an answer: its type and its text as the line shows it.
struct ScanItem {
    std::uint16_t type;
    std::string text;
};
// The items of an answer datagram as RenderScanAnswer renders them (hosts
// that want to know each item's type); false when it is not an answer.
bool ScanAnswerItems(std::span<const std::uint8_t> datagram, std::vector<ScanItem>& items);

// Where the request goes and how long one listening step lasts. The defaults
// are those of the interface operation; tests send to a loopback responder and
// shorten the step.
struct ScanRoute {
    std::uint32_t destination = 0xFFFFFFFF; // IPv4 address, host order
    // The time-out counts whole steps: listening lasts while fewer than
    // TimeOut steps have elapsed, each wait lasting at most one step.
    std::chrono::milliseconds step{1000};
    // Called with every datagram received and its sender (IPv4, host order).
    std::function<void(std::span<const std::uint8_t> datagram, std::uint32_t sender)> received;
};

// Binds a UDP socket to srcIP:17220 (dotted IPv4 text), sends the request once
// and collects answers for `timeOut` steps into `text` (cleared first). A
// time-out of 0 or less sends the request and returns at once with no text.
// False when the socket cannot be made or bound (also for a srcIP that is no
// address), the request is not sent, or a wait or receive fails; `text` is
// empty then.
bool ScanUdp(std::string_view srcIP, std::int32_t timeOut, std::string& text,
             const ScanRoute& route = {});

} // namespace kelvo::discovery

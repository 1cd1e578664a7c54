// UDP discovery scan: the request, the rendering of the answers and the
// listening loop; ScanUDP of the Kelvo object on top.
#include "discovery/scan_udp.h"

#include "device/kelvo_object.h"
#include "protocol/bytes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace kelvo::discovery {
namespace {

std::uint16_t ldbe_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The first `width` bytes of a value, zero-filled when it is shorter.
template <std::size_t Width>
std::array<std::uint8_t, Width> Fixed(std::span<const std::uint8_t> v) {
    std::array<std::uint8_t, Width> out{};
    std::copy_n(v.begin(), std::min(Width, v.size()), out.begin());
    return out;
}

template <class... A> void AppendFormat(std::string& text, const char* format, A... args) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n > 0)
        text.append(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
}

void AppendItem(std::uint16_t type, std::span<const std::uint8_t> value, std::string& text) {
    switch (type) {
    case 1:
    case 2:
    case 3:
    case 4: {
        const auto b = Fixed<4>(value);
        AppendFormat(text, "%u.%u.%u.%u", unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]},
                     unsigned{b[3]});
        return;
    }
    case 5:
    case 11:
        AppendFormat(text, "%u", unsigned{Fixed<1>(value)[0]});
        return;
    case 6:
    case 7: {
        const std::size_t limit = std::min(value.size(), kScanTextMax);
        const auto end = std::find(value.begin(), value.begin() + limit, std::uint8_t{0});
        text.append(value.begin(), end);
        return;
    }
    case 8:
    case 10:
        AppendFormat(text, "%u", static_cast<unsigned>(ldle_u32(Fixed<4>(value).data())));
        return;
    case 9: {
        const auto b = Fixed<6>(value);
        AppendFormat(text, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned{b[0]}, unsigned{b[1]},
                     unsigned{b[2]}, unsigned{b[3]}, unsigned{b[4]}, unsigned{b[5]});
        return;
    }
    default:
        return; // other types: an empty field
    }
}

// Closes the descriptor on every way out.
class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Whole steps since the epoch; with one-second steps the seconds of time().
std::int64_t StepsNow(std::chrono::milliseconds step) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return now.count() / std::max<std::int64_t>(1, step.count());
}

} // namespace

std::array<std::uint8_t, kScanRequestSize> ScanRequest(std::uint32_t seconds) {
    std::array<std::uint8_t, kScanRequestSize> request{kKindRequest, 1, 0, 0, 0, kTimeItem, 0, 4};
    stle_u32(&request[8], seconds);
    return request;
}

bool ScanAnswerItems(std::span<const std::uint8_t> datagram, std::vector<ScanItem>& items) {
    items.clear();
    if (datagram.empty() || datagram[0] != kKindAnswer)
        return false;
    const int count = datagram.size() > 1 ? static_cast<std::int8_t>(datagram[1]) : 0;
    std::size_t at = 4;
    for (int i = 0; i < count && at + 4 <= datagram.size(); ++i) {
        const std::uint16_t type = ldbe_u16(&datagram[at]);
        const std::size_t length = ldbe_u16(&datagram[at + 2]);
        const std::size_t start = at + 4;
        items.push_back({type, {}});
        AppendItem(type, datagram.subspan(start, std::min(length, datagram.size() - start)),
                   items.back().text);
        at = start + length;
    }
    return true;
}

bool RenderScanAnswer(std::span<const std::uint8_t> datagram, std::string& text) {
    std::vector<ScanItem> items;
    if (!ScanAnswerItems(datagram, items))
        return false;
    for (const ScanItem& item : items)
        text += item.text + '\t';
    text.push_back('\n');
    return true;
}

bool ScanUdp(std::string_view srcIP, std::int32_t timeOut, std::string& text,
             const ScanRoute& route) {
    text.clear();
    Socket s;
    if (s.fd() < 0)
        return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryPort);
    const std::string address(srcIP);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        return false;
    if (bind(s.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return false;
    // The result is not examined: without the option a broadcast send fails,
    // which is reported there. Linux takes the option as an int.
    const int on = 1;
    setsockopt(s.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    const auto request = ScanRequest(static_cast<std::uint32_t>(std::time(nullptr)));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDiscoveryPort);
    to.sin_addr.s_addr = htonl(route.destination);
    if (sendto(s.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(request.size()))
        return false;

    const std::int64_t start = StepsNow(route.step);
    const int wait = static_cast<int>(std::clamp<std::int64_t>(route.step.count(), 1, 60000));
    std::string lines;
    while (StepsNow(route.step) - start < std::int64_t{timeOut}) {
        pollfd p{s.fd(), POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        std::uint8_t datagram[kScanReceiveSize];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = recvfrom(s.fd(), datagram, sizeof datagram, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        const std::span received(datagram, static_cast<std::size_t>(n));
        RenderScanAnswer(received, lines);
        if (route.received)
            route.received(received, ntohl(from.sin_addr.s_addr));
    }
    text = std::move(lines);
    return true;
}

} // namespace kelvo::discovery

HRESULT CKelvo::ScanUDP(BSTR srcIP, LONG TimeOut, BSTR* result) {
    if (!result)
        return E_POINTER;
    std::string text;
    if (!kelvo::discovery::ScanUdp(kelvo::ToAnsi(kelvo::BstrView(srcIP)), TimeOut, text))
        return E_FAIL;
    const std::u16string wide = kelvo::FromAnsi(text);
    *result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return S_OK;
}

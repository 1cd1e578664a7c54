// The three transport texts the component hands to Open:
//   "TCPIP:host/port,connectTimeout[,SSL]"
//   "COM:n[,baud[,parity[,dataBits[,stopBits]]]]"      e.g. COM:3,921600,N,8,1
//   "SOCK:name_COM,n[,baud[,parity[,dataBits[,stopBits]]]]"
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kelvo::portway {

struct TcpTarget {
    std::string host; // may be empty: it then resolves to nothing
    unsigned port = 0;
    unsigned connectTimeoutMs = 0;
    bool tls = false;
};

struct SerialSettings {
    unsigned baud = 921600;
    char parity = 'N'; // 'N', 'E' or 'O'
    unsigned dataBits = 8;
    unsigned stopBits = 1;
};

struct SerialTarget {
    unsigned port = 0; // COMn, 1 to 256
    SerialSettings settings;
};

// A serial link reached through a Unix-domain socket bridge named `name`.
struct BridgeTarget {
    std::string name;
    unsigned port = 0;
    SerialSettings settings;
};

using LinkTarget = std::variant<TcpTarget, SerialTarget, BridgeTarget>;

constexpr unsigned kMaxComPort = 256;

// Parses a transport text; nullopt when the text has no known form or an item is
// out of range. Prefixes and "SSL" are matched without regard to case; blanks
// around items are ignored.
std::optional<LinkTarget> ParseConnectionText(std::string_view text);

} // namespace kelvo::portway

// Byte channels under the transport: a descriptor (TCP socket, Unix socket,
// serial device) or a TLS session on a TCP socket. ReadSome and WriteSome never
// block; the caller waits with poll on fd() for the direction a call asks for,
// or reads with ReadWithin, which waits itself (a socket in one blocking receive
// under a receive time-out, saving the poll).
#pragma once

#include "kelvo/portway.h"
#include "transport/portway/connection_text.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvo::portway {

using Clock = std::chrono::steady_clock;

enum class IoStatus {
    Done,      // count bytes moved
    WantRead,  // nothing now: wait until fd() is readable
    WantWrite, // nothing now: wait until fd() is writable
    Closed,    // the peer closed the connection (or the line hung up)
    Failed,    // any other error
    TimedOut,  // ReadWithin: nothing arrived before the deadline
};

struct IoResult {
    IoStatus status;
    std::size_t count;
};

class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    virtual ~Channel();

    int fd() const { return fd_; }

    virtual IoResult ReadSome(std::uint8_t* data, std::size_t size) = 0;
    // Waits until some bytes arrive or the deadline passes, then reads them
    // like ReadSome; never WantRead.
    virtual IoResult ReadWithin(std::uint8_t* data, std::size_t size, Clock::time_point deadline);
    virtual IoResult WriteSome(const std::uint8_t* data, std::size_t size) = 0;
    // Drops whatever was received but not read; false when the peer has closed.
    virtual bool DropInput();
    // Waits until written bytes have left the host.
    virtual bool Drain() { return true; }
    // Received bytes held inside the channel, where poll on fd() does not see them.
    virtual bool HasBuffered() const { return false; }
    // The last receive from the peer came back with room to spare, so it took
    // everything that had arrived, and nothing waits inside the channel. Links
    // that cannot tell answer false.
    virtual bool InputDrained() const { return false; }

    // Certificate validity of a TLS peer as seconds since 1970; false without one.
    virtual bool CertificateDates(std::int64_t* notBefore, std::int64_t* notAfter) const;
    // SHA-256 of the TLS peer's certificate; false without one.
    virtual bool CertificateFingerprint(std::array<std::uint8_t, 32>* digest) const;

protected:
    int fd_;
};

enum class WaitResult { Ready, TimedOut, Failed };

// The result of a read made when no time is left: nothing there is a time-out.
IoResult LastTry(IoResult r);

// The SO_RCVTIMEO of a blocking socket, set to the milliseconds left until a
// deadline; changed only when that number changes.
class ReceiveTimeout {
public:
    // False when the option could not be set; *timedOut when no time is left.
    bool Set(int fd, Clock::time_point deadline, bool* timedOut);

private:
    long long ms_ = -1;
};

// Waits with poll until fd has one of `events` or the deadline passes.
WaitResult WaitFor(int fd, short events, Clock::time_point deadline);

struct OpenResult {
    std::unique_ptr<Channel> channel;
    PortwayErrorCode error = PW_OK;
    std::string linkId;  // names the link for its lock
    std::string failure; // why the open failed, in the system's words
    // Serial: the resolved device node, which is itself the lock file, so that
    // every process on the machine that opens the line takes the same lock.
    std::string lockNode;
};

// The system's text for an errno value, starting in lower case
// ("connection refused").
std::string SystemText(int error);

using Fingerprint = std::array<std::uint8_t, 32>;

// Parses hex digits of a SHA-256 fingerprint (colons and blanks between them are
// ignored); nullopt unless exactly 32 bytes result.
std::optional<Fingerprint> ParseFingerprint(std::string_view text);

OpenResult OpenTcp(const TcpTarget& target, const std::optional<Fingerprint>& pin);
OpenResult OpenSerial(const SerialTarget& target);
OpenResult OpenBridge(const BridgeTarget& target);

// Runs a TLS client handshake on a connected non-blocking socket until the
// deadline; takes ownership of fd in every case.
OpenResult StartTls(int fd, const std::string& host, Clock::time_point deadline,
                    const std::optional<Fingerprint>& pin);

} // namespace kelvo::portway

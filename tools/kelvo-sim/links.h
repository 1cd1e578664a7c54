// The device's links: TCP and TLS listeners (one client at a time each, the
// others wait in the backlog) and a pseudo-terminal serial line. Each link
// runs on its own thread until the stop signal is raised.
#pragma once

#include "kelvo-sim/simulator.h"

#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvo::sim {

// Once raised, stays raised; its descriptor turns readable for poll.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise();
    bool Raised() const;
    int Fd() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

// Shared by the links of one run.
struct LinkContext {
    Simulator& sim;
    StopSignal& stop;
    // Raise the stop signal after this many requests (0: never).
    std::uint64_t maxRequests = 0;
};

// Quiet time after which the bytes of an incomplete serial request are
// dropped, so the line finds the start of the next request.
constexpr int kSerialGapMs = 50;

class SocketListener {
public:
    // `tls` null: plain TCP.
    SocketListener(LinkContext& context, SSL_CTX* tls);
    ~SocketListener();
    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    // Binds and listens; port 0 takes a free port.
    bool Open(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t Port() const { return port_; }
    // Accepts and serves clients one after the other until stopped.
    void Run();

private:
    LinkContext& context_;
    SSL_CTX* tls_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

class SerialLine {
public:
    explicit SerialLine(LinkContext& context);
    ~SerialLine(); // removes the comN link it made
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Makes the pseudo-terminal pair, raw.
    bool Open(std::string& error);
    const std::string& SlavePath() const { return slavePath_; }
    // Points DIR/comN at the slave side (DIR made when missing, an old link
    // replaced); returns the link's path in `linkPath`.
    bool LinkCom(int number, std::string& linkPath, std::string& error);
    void Run();

private:
    LinkContext& context_;
    int master_ = -1;
    int slave_ = -1; // kept open so the master never sees a hang-up
    std::string slavePath_;
    std::string linkPath_;
};

// Folder of the comN links: $KELVO_DEVICES, else kelvo/devices in the
// per-user settings folder ($APPDATA, $XDG_CONFIG_HOME, $HOME/.config), else
// /etc/kelvo/devices.
std::string DevicesFolder();

} // namespace kelvo::sim

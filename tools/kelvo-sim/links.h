// The device's links: TCP and TLS listeners (one client at a time each, the
// others wait in the backlog) and a pseudo-terminal serial line. All of them
// are served by one event loop until the stop signal is raised.
#pragma once

#include "kelvo-sim/event_loop.h"
#include "kelvo-sim/simulator.h"

#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvo::sim {

class RequestedCertificates;

// Shared by the links of one device.
struct LinkContext {
    Simulator& sim;
    StopSignal& stop;
    // Raise the stop signal after this many requests (0: never).
    std::uint64_t maxRequests = 0;
    // The certificate a TLS handshake of this device serves (none: the
    // context's own).
    RequestedCertificates* certificates = nullptr;
};

// Quiet time after which the bytes of an incomplete serial request are
// dropped, so the line finds the start of the next request.
constexpr int kSerialGapMs = 50;

class Session;

class SocketListener final : public Watcher {
public:
    // `tls` null: plain TCP.
    SocketListener(LinkContext& context, SSL_CTX* tls);
    ~SocketListener() override;

    // Binds and listens; port 0 takes a free port.
    bool Open(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t Port() const { return port_; }
    // Accepts and serves clients one after the other on `loop`.
    void Attach(EventLoop& loop);

    void OnEvents(std::uint32_t events) override;
    void OnTimer() override;

private:
    void Accept();
    void SessionEnded();

    LinkContext& context_;
    SSL_CTX* tls_;
    EventLoop* loop_ = nullptr;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::unique_ptr<Session> session_;
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
    // Serves the line on `loop`.
    void Attach(EventLoop& loop);
    // Serves the line on a loop of its own until the stop signal.
    void Run();

private:
    LinkContext& context_;
    int master_ = -1;
    int slave_ = -1; // kept open so the master never sees a hang-up
    std::string slavePath_;
    std::string linkPath_;
    std::unique_ptr<Session> session_;
};

// Folder of the comN links: $KELVO_DEVICES, else kelvo/devices in the
// per-user settings folder ($APPDATA, $XDG_CONFIG_HOME, $HOME/.config), else
// /etc/kelvo/devices.
std::string DevicesFolder();

} // namespace kelvo::sim

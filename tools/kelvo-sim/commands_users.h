// The certificate the device was asked to make by CreateCertificate, served
// on its TLS link.
#pragma once

#include <cstdint>
#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kelvo::sim {

class Simulator;
class TlsServer;

// Serves the certificate last requested from one device on its TLS link,
// from the next handshake on; until then the link's own one. A handshake
// finds it as the application data of its SSL object (the links set it).
// Must live while the link runs.
class RequestedCertificates {
public:
    explicit RequestedCertificates(const Simulator& sim);
    ~RequestedCertificates();
    RequestedCertificates(const RequestedCertificates&) = delete;
    RequestedCertificates& operator=(const RequestedCertificates&) = delete;

    // Lets the handshakes of `context` ask the device of their connection.
    static void Install(SSL_CTX* context);

private:
    static int OnHandshake(SSL* ssl, void* unused);

    const Simulator& sim_;
    std::uint32_t served_ = 0;
    std::unique_ptr<TlsServer> made_;
};

} // namespace kelvo::sim

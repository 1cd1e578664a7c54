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

// Serves the certificate last requested from the device on the TLS link of
// `context`, from the next handshake on; until then the link's own one. Must
// live while the link runs.
class RequestedCertificates {
public:
    RequestedCertificates(SSL_CTX* context, const Simulator& sim);
    ~RequestedCertificates();
    RequestedCertificates(const RequestedCertificates&) = delete;
    RequestedCertificates& operator=(const RequestedCertificates&) = delete;

private:
    static int OnHandshake(SSL* ssl, void* self);

    SSL_CTX* context_;
    const Simulator& sim_;
    std::uint32_t served_ = 0;
    std::unique_ptr<TlsServer> made_;
};

} // namespace kelvo::sim

// Server side TLS: the certificate (made at start or read from files) and
// the OpenSSL context the TLS listener accepts with.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvo::sim {

struct CertificateOptions {
    // Both set: certificate chain and private key in PEM files. Both empty: a
    // self-signed certificate is made at start.
    std::string certFile;
    std::string keyFile;
    // Validity of a made certificate, seconds since 1970; defaults: one hour
    // ago and 365 days on.
    std::optional<std::int64_t> notBefore;
    std::optional<std::int64_t> notAfter;
};

class TlsServer {
public:
    TlsServer();
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    bool Init(const CertificateOptions& options, std::string& error);

    SSL_CTX* Context() const { return ctx_.get(); }
    // SHA-256 of the certificate (DER), 64 lower-case hex digits.
    const std::string& Fingerprint() const { return fingerprint_; }
    std::int64_t NotBefore() const { return notBefore_; }
    std::int64_t NotAfter() const { return notAfter_; }

private:
    struct CtxFree {
        void operator()(SSL_CTX* ctx) const;
    };
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::string fingerprint_;
    std::int64_t notBefore_ = 0;
    std::int64_t notAfter_ = 0;
};

} // namespace kelvo::sim

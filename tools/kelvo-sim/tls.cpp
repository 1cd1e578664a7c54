#include "kelvo-sim/tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>

namespace kelvo::sim {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

constexpr std::int64_t kDefaultValidSeconds = 365LL * 24 * 3600;

std::string OpenSslError(const std::string& what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

bool ToEpoch(const ASN1_TIME* time, std::int64_t& seconds) {
    std::tm tm{};
    if (ASN1_TIME_to_tm(time, &tm) != 1)
        return false;
    seconds = static_cast<std::int64_t>(timegm(&tm));
    return true;
}

// A self-signed certificate over a fresh P-256 key.
bool MakeCertificate(const CertificateOptions& options, PkeyPtr& key, X509Ptr& cert,
                     std::string& error) {
    key.reset(EVP_EC_gen("P-256"));
    cert.reset(X509_new());
    if (!key || !cert) {
        error = OpenSslError("cannot make a key");
        return false;
    }
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t notBefore = options.notBefore.value_or(now - 3600);
    std::int64_t notAfter = options.notAfter.value_or(now + kDefaultValidSeconds);

    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        error = OpenSslError("no random serial number");
        return false;
    }
    std::int64_t serialNumber = 0;
    for (unsigned char b : serial)
        serialNumber = (serialNumber << 8) | b;
    serialNumber &= 0x7FFFFFFFFFFFFFFFLL;

    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* commonName = reinterpret_cast<const unsigned char*>("kelvo-sim");
    bool ok = X509_set_version(cert.get(), 2) == 1 &&
              ASN1_INTEGER_set_int64(X509_get_serialNumber(cert.get()), serialNumber) == 1 &&
              ASN1_TIME_set(X509_getm_notBefore(cert.get()), static_cast<time_t>(notBefore)) &&
              ASN1_TIME_set(X509_getm_notAfter(cert.get()), static_cast<time_t>(notAfter)) &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
              X509_set_issuer_name(cert.get(), name) == 1 &&
              X509_set_pubkey(cert.get(), key.get()) == 1 &&
              X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = OpenSslError("cannot make the certificate");
        return false;
    }
    return true;
}

} // namespace

void TlsServer::CtxFree::operator()(SSL_CTX* ctx) const {
    SSL_CTX_free(ctx);
}

TlsServer::TlsServer() = default;
TlsServer::~TlsServer() = default;

bool TlsServer::Init(const CertificateOptions& options, std::string& error) {
    ctx_.reset(SSL_CTX_new(TLS_server_method()));
    if (!ctx_) {
        error = OpenSslError("no TLS context");
        return false;
    }
    if (options.certFile.empty() != options.keyFile.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    if (!options.certFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx_.get(), options.certFile.c_str()) != 1) {
            error = OpenSslError("cannot use certificate " + options.certFile);
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx_.get(), options.keyFile.c_str(), SSL_FILETYPE_PEM) !=
            1) {
            error = OpenSslError("cannot use key " + options.keyFile);
            return false;
        }
    } else {
        PkeyPtr key;
        X509Ptr cert;
        if (!MakeCertificate(options, key, cert, error))
            return false;
        if (SSL_CTX_use_certificate(ctx_.get(), cert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx_.get(), key.get()) != 1) {
            error = OpenSslError("cannot use the made certificate");
            return false;
        }
    }
    if (SSL_CTX_check_private_key(ctx_.get()) != 1) {
        error = OpenSslError("certificate and key do not match");
        return false;
    }

    X509* cert = SSL_CTX_get0_certificate(ctx_.get());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &digestLength) != 1 ||
        !ToEpoch(X509_get0_notBefore(cert), notBefore_) ||
        !ToEpoch(X509_get0_notAfter(cert), notAfter_)) {
        error = OpenSslError("cannot read the certificate");
        return false;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    fingerprint_.clear();
    for (unsigned int i = 0; i < digestLength; ++i) {
        fingerprint_.push_back(kDigits[digest[i] >> 4]);
        fingerprint_.push_back(kDigits[digest[i] & 0x0F]);
    }
    return true;
}

} // namespace kelvo::sim

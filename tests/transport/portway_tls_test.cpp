// The TLS link against an in-test TLS server with a self-signed certificate.
#include "portway_testing.h"

#include <fstream>
#include <linux/sockios.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <set>
#include <signal.h>
#include <sys/ioctl.h>
#include <thread>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kNotBefore = 1700000000; // 2023-11-14
constexpr long kNotAfter = 2000000000;  // 2033-05-18

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// A server context with a fresh self-signed certificate; its SHA-256 in hex.
std::unique_ptr<SSL_CTX, SslCtxFree> MakeServerContext(std::string* fingerprint) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    ASN1_TIME_set(X509_getm_notBefore(cert), kNotBefore);
    ASN1_TIME_set(X509_getm_notAfter(cert), kNotAfter);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("device"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());

    unsigned char digest[32];
    unsigned int len = 0;
    X509_digest(cert, EVP_sha256(), digest, &len);
    fingerprint->clear();
    for (unsigned i = 0; i < len; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        *fingerprint += hex;
    }

    std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(ctx.get(), cert);
    SSL_CTX_use_PrivateKey(ctx.get(), key);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

class PortwayTlsTest : public PortwayTest {
protected:
    void SetUp() override {
        PortwayTest::SetUp();
        ctx_ = MakeServerContext(&fingerprint_);
    }
    void TearDown() override {
        server_.reset();
        if (peer_ >= 0)
            ::close(peer_);
        PortwayTest::TearDown();
    }

    // Opens the transport while a thread runs the server side of the handshake.
    HRESULT Connect(Transport& t, unsigned timeoutMs = 3000) {
        bool accepted = false;
        std::thread server([&] {
            // A client that drops the connection must not end the test with
            // SIGPIPE while this thread still writes; blocked here, it only
            // makes the write fail.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            peer_ = listener_.Accept();
            if (peer_ < 0)
                return;
            timeval limit{5, 0};
            ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            server_.reset(SSL_new(ctx_.get()));
            SSL_set_fd(server_.get(), peer_);
            accepted = SSL_accept(server_.get()) == 1;
        });
        HRESULT hr = t.Open(listener_.Text(timeoutMs, true));
        server.join();
        if (SUCCEEDED(hr)) {
            EXPECT_TRUE(accepted);
        }
        return hr;
    }

    bool ServerSend(const std::string& data) {
        return SSL_write(server_.get(), data.data(), static_cast<int>(data.size())) ==
               static_cast<int>(data.size());
    }
    // Waits until the client's kernel has acknowledged everything sent, so
    // that it sits in the client's socket; false after two seconds.
    bool Delivered() const {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(2);
        int unacked = 1;
        while (::ioctl(peer_, SIOCOUTQ, &unacked) == 0 && unacked > 0 && Clock::now() < end)
            std::this_thread::yield();
        return unacked == 0;
    }
    std::string ServerReceive(std::size_t n) {
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            int r = SSL_read(server_.get(), out.data() + got, static_cast<int>(n - got));
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }

    Listener listener_{"127.0.0.1"};
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> server_;
    std::string fingerprint_;
    int peer_ = -1;
};

TEST_F(PortwayTlsTest, ExchangesBytes) {
    Transport t;
    ASSERT_EQ(Connect(t), S_OK);
    ASSERT_TRUE(ServerSend("hello"));
    ASSERT_TRUE(ServerSend(" world"));
    EXPECT_EQ(t.Read(11, 2000), "hello world");
    EXPECT_EQ(t.Write("request"), S_OK);
    EXPECT_EQ(t->Flush(), S_OK);
    EXPECT_EQ(ServerReceive(7), "request");

    ASSERT_TRUE(ServerSend("abc"));
    auto start = Clock::now();
    EXPECT_FALSE(t.Read(4, 50));
    EXPECT_EQ(t.Error(), PW_TIMEOUT);
    EXPECT_LT(MillisSince(start), 1000);

    Variant notBefore;
    Variant notAfter;
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_CERT_NOT_BEFORE, &notBefore), S_OK);
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_CERT_NOT_AFTER, &notAfter), S_OK);
    EXPECT_EQ(notBefore.vt, VT_UI4);
    EXPECT_EQ(notBefore.ulVal, static_cast<ULONG>(kNotBefore));
    EXPECT_EQ(notAfter.vt, VT_UI4);
    EXPECT_EQ(notAfter.ulVal, static_cast<ULONG>(kNotAfter));

    Variant digest;
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_TLS_FINGERPRINT, &digest), S_OK);
    ASSERT_EQ(digest.vt, VT_BSTR);
    EXPECT_EQ(Utf16ToUtf8(BstrView(digest.bstrVal)), fingerprint_);
}

TEST_F(PortwayTlsTest, ResetDropsPendingInput) {
    // Bytes held decrypted by the session after a partial read, and a record
    // still queued in the socket that the session has not seen.
    for (bool partlyRead : {true, false}) {
        SCOPED_TRACE(partlyRead);
        Transport t;
        ASSERT_EQ(Connect(t), S_OK);
        ASSERT_TRUE(ServerSend("0123456789"));
        if (partlyRead) {
            ASSERT_EQ(t.Read(1, 2000), "0");
        } else {
            ASSERT_TRUE(Delivered());
        }
        EXPECT_EQ(t->Reset(), S_OK);
        EXPECT_FALSE(t.Read(1, 50));
        EXPECT_EQ(t.Error(), PW_TIMEOUT);

        ASSERT_TRUE(ServerSend("next"));
        EXPECT_EQ(t.Read(4, 2000), "next");
    }
}

TEST_F(PortwayTlsTest, PeerCloseFailsReadsAtOnce) {
    Transport t;
    ASSERT_EQ(Connect(t), S_OK);
    ASSERT_TRUE(ServerSend("bye"));
    SSL_shutdown(server_.get());
    ::shutdown(peer_, SHUT_RDWR);
    EXPECT_EQ(t.Read(3, 2000), "bye");
    auto start = Clock::now();
    EXPECT_FALSE(t.Read(1, 5000));
    EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
    EXPECT_FALSE(t.Read(1, 5000));
    EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
    EXPECT_LT(MillisSince(start), 1000);
}

TEST_F(PortwayTlsTest, PinnedFingerprint) {
    for (bool byProperty : {true, false}) {
        for (bool matching : {true, false}) {
            SCOPED_TRACE(std::to_string(byProperty) + std::to_string(matching));
            const std::string pin = matching ? fingerprint_ : std::string(64, '0');
            Transport t;
            std::optional<ScopedEnv> env;
            if (byProperty) {
                // Colon-separated upper-case form, as certificate viewers print it.
                std::string shown;
                for (std::size_t i = 0; i < pin.size(); i += 2)
                    shown += (i ? ":" : "") + pin.substr(i, 2);
                for (char& ch : shown)
                    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                Variant v;
                v.vt = VT_BSTR;
                v.bstrVal = SysAllocString(Utf8ToUtf16(shown).c_str());
                ASSERT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, v), S_OK);
            } else {
                env.emplace("KELVO_TLS_FINGERPRINT", pin);
            }
            EXPECT_EQ(Connect(t), matching ? S_OK : E_FAIL);
            if (!matching) {
                EXPECT_EQ(t.Error(), PW_TLS_FAILED);
            }
            server_.reset();
            ::close(peer_);
            peer_ = -1;
        }
    }
}

// SSLKEYLOGFILE set: the session secrets are appended as NSS key-log lines
// (label, client random, secret); unset: no file is written.
TEST_F(PortwayTlsTest, KeyLogOnlyWhenAsked) {
    const std::string path = dir() + "/keys.log";
    for (bool asked : {false, true}) {
        ScopedEnv env("SSLKEYLOGFILE", asked ? path : std::string());
        Transport t;
        ASSERT_EQ(Connect(t), S_OK);
        server_.reset();
        ::close(peer_);
        peer_ = -1;
        EXPECT_EQ(std::filesystem::exists(path), asked);
    }
    std::ifstream in(path);
    std::set<std::string> labels;
    for (std::string label, random, secret; in >> label >> random >> secret;) {
        labels.insert(label);
        EXPECT_EQ(random.size(), 64u);
    }
    EXPECT_TRUE(labels.count("CLIENT_TRAFFIC_SECRET_0") && labels.count("SERVER_TRAFFIC_SECRET_0"));
}

TEST_F(PortwayTlsTest, SilentServerFailsWithinConnectTimeout) {
    // A listener that never answers the handshake.
    Transport t;
    auto start = Clock::now();
    EXPECT_EQ(t.Open(listener_.Text(150, true)), E_FAIL);
    long long elapsed = MillisSince(start);
    EXPECT_EQ(t.Error(), PW_TLS_FAILED);
    EXPECT_GE(elapsed, 140);
    EXPECT_LT(elapsed, 1000);
}

TEST_F(PortwayTlsTest, PlainServerFailsTheHandshake) {
    Transport t;
    std::thread server([&] {
        peer_ = listener_.Accept();
        SendAll(peer_, std::string(64, 'x'));
    });
    EXPECT_EQ(t.Open(listener_.Text(2000, true)), E_FAIL);
    server.join();
    EXPECT_EQ(t.Error(), PW_TLS_FAILED);
}

} // namespace
} // namespace kelvo::test

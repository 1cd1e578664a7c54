// Helpers for the transport tests: a transport object, loopback peers and a
// private folder for devices, socket bridges and lock files.
#pragma once

#include "kelvo/portway.h"
#include "support/scoped_env.h"
#include "support/temp_folder.h"
#include "transport/portway/portway.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kelvo::test {

// One reference to a transport object.
class Transport {
public:
    Transport() {
        void* p = nullptr;
        HRESULT hr = PortwayClassFactory()->CreateInstance(nullptr, IID_IPortway, &p);
        EXPECT_EQ(hr, S_OK);
        p_ = static_cast<IPortway*>(p);
    }
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    ~Transport() {
        if (p_)
            p_->Release();
    }

    IPortway* operator->() const { return p_; }
    IPortway* get() const { return p_; }

    HRESULT Open(const std::string& text) {
        Bstr b(Utf8ToUtf16(text));
        return p_->Open(b.get());
    }
    PortwayErrorCode Error() const {
        PortwayErrorCode code = PW_OK;
        p_->get_ErrorCode(&code);
        return code;
    }
    // Reads exactly n bytes; the text read, or nullopt when Read failed.
    std::optional<std::string> Read(std::size_t n, ULONG timeoutMs) {
        std::string data(n, '\0');
        if (FAILED(p_->Read(data.data(), static_cast<ULONG>(n), timeoutMs)))
            return std::nullopt;
        return data;
    }
    HRESULT Write(const std::string& data) {
        return p_->Write(data.data(), static_cast<ULONG>(data.size()));
    }

private:
    IPortway* p_ = nullptr;
};

// A VT_BSTR variant holding the text.
struct TextVariant : Variant {
    explicit TextVariant(const std::string& text) {
        vt = VT_BSTR;
        bstrVal = SysAllocString(Utf8ToUtf16(text).c_str());
    }
};

inline long long MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// A private folder that serves as $XDG_RUNTIME_DIR (lock files, socket bridges)
// and holds a devices folder serving as $KELVO_DEVICES.
class PortwayTest : public ::testing::Test {
protected:
    PortwayTest() { std::filesystem::create_directory(devices()); }

    std::string devices() const { return folder_ / "devices"; }
    const std::string& dir() const { return folder_.path(); }

private:
    TempFolder folder_{"portway"};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir()};
    ScopedEnv devicesEnv_{"KELVO_DEVICES", devices()};
    ScopedEnv fingerprintEnv_{"KELVO_TLS_FINGERPRINT", ""};
};

// A listening TCP socket on a loopback address and an ephemeral port.
class Listener {
public:
    explicit Listener(const char* address = "127.0.0.1", int backlog = 16) : address_(address) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        if (backlog >= 0) {
            EXPECT_EQ(::listen(fd_, backlog), 0);
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { ::close(fd_); }

    unsigned port() const { return port_; }
    // "TCPIP:address/port,timeout"
    std::string Text(unsigned timeoutMs = 3000, bool tls = false) const {
        return "TCPIP:" + address_ + "/" + std::to_string(port_) + "," + std::to_string(timeoutMs) +
               (tls ? ",SSL" : "");
    }
    // The next connection, or -1 after 5 s.
    int Accept() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    std::string address_;
    int fd_ = -1;
    unsigned port_ = 0;
};

// Reads exactly n bytes from a descriptor within timeoutMs; what arrived.
inline std::string ReadExact(int fd, std::size_t n, int timeoutMs = 5000) {
    std::string out;
    auto start = std::chrono::steady_clock::now();
    while (out.size() < n) {
        int left = timeoutMs - static_cast<int>(MillisSince(start));
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) != 1)
            break;
        char buf[256];
        ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

} // namespace kelvo::test

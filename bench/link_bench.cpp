// Parameter reads over real links, each measured against its limit in the
// same run:
//
// - TCP, TLS and the serial pseudo-terminal: the component (get_Par through
//   CComPort and the Linux transport) against a raw client that sends the
//   same request bytes to the same kelvo-sim and reads the answer by hand.
// - The peer library (when built with libmodbus): client cost, each client
//   against a canned-answer responder thread of the same shape, and the whole
//   stack, the component against kelvo-sim and libmodbus against a server
//   loop on modbus_receive/modbus_reply. Both read 4 bytes per request.
//
// The two sides of a comparison run in alternating rounds, each on a fresh
// connection, so that load on the machine falls on both alike. Every read's
// latency is kept for p50 and p99.
#include "device/kelvo_object.h"
#include "kelvo/runtime.h"
#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/sim_device.h"

#include "alloc_count.h"
#include "bench_table.h"
#include "sim_child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#if KELVO_BENCH_MODBUS
#include <modbus.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Loopback addresses of this program (the transport dials 17221 and 17222).
constexpr char kSimAddress[] = "127.0.105.250";
constexpr char kKelvoCannedAddress[] = "127.0.105.252";
constexpr char kModbusCannedAddress[] = "127.0.105.253";
constexpr char kModbusServerAddress[] = "127.0.105.254";
constexpr std::uint16_t kKelvoPort = 17221;
constexpr std::uint16_t kKelvoTlsPort = 17222;
constexpr std::uint16_t kModbusPort = 17502;

constexpr int kSerialCom = 99;
constexpr std::uint8_t kBusAddress = 5;
constexpr std::uint16_t kParameter = 0x1004; // 4-byte value in the simulator's table
constexpr int kTimeoutMs = 2000;

// ---- The two sides of a comparison ----

class Client {
public:
    virtual ~Client() = default;
    virtual bool Open() = 0;
    // One request and its complete answer; false on any failure.
    virtual bool Once() = 0;
    virtual void Close() = 0;
};

// The component: get_Par of a 4-byte parameter.
class KelvoClient final : public Client {
public:
    KelvoClient(std::string text, bool serial) : text_(std::move(text)), serial_(serial) {}
    bool Open() override {
        device_.emplace(Utf8ToUtf16(text_), serial_, kBusAddress);
        if (device_->opened != 1)
            std::fprintf(stderr, "%s: open failed, transport error %d\n", text_.c_str(),
                         static_cast<int>(device_->error));
        return device_->opened == 1;
    }
    bool Once() override {
        VARIANT v;
        return (*device_)->get_Par(kParameter, 0, VT_I4, &v) == S_OK && v.vt == VT_I4;
    }
    void Close() override {
        // Without its adapter the object's Close sends no logout (the canned
        // responder would not answer one).
        if (device_)
            (*device_)->portAdapter.reset();
        device_.reset();
    }

private:
    std::string text_;
    bool serial_;
    std::optional<test::SimDevice> device_;
};

bool Deadline(Clock::time_point deadline, int fd) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

// A hand-written client of the device protocol: one write of the request,
// then the answer as the protocol gives it, each piece awaited with poll
// under one deadline: the header (serial: address echo and header) with the
// value length, then the value (serial: and the CRC trailer). It checks the
// counter echo and the status word (serial: address echo and CRC).
class RawClient final : public Client {
public:
    enum Kind { Tcp, Tls, Serial };
    RawClient(Kind kind, std::string where) : kind_(kind), where_(std::move(where)) {}
    ~RawClient() override { Close(); }

    bool Open() override {
        if (kind_ == Serial)
            return OpenSerial();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kind_ == Tls ? kKelvoTlsPort : kKelvoPort);
        ::inet_pton(AF_INET, where_.c_str(), &a.sin_addr);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        if (kind_ == Tls) {
            ctx_ = SSL_CTX_new(TLS_client_method());
            ssl_ = ctx_ ? SSL_new(ctx_) : nullptr;
            if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1)
                return false;
        }
        return ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK) == 0;
    }

    bool Once() override {
        std::uint8_t request[12] = {0, 0, 0, 5, 0x01, 0x02, 0, 0, 0};
        stle_u16(request + 1, counter_);
        stle_u16(request + 6, kParameter);
        std::size_t size = 9;
        if (kind_ == Serial) {
            std::memmove(request + 1, request, 9);
            request[0] = kBusAddress;
            stle_u16(request + 10, Crc16(request, 10, kCrc16Start));
            size = 12;
        }
        const std::uint16_t sent = counter_;
        counter_ = static_cast<std::uint16_t>((counter_ + 1) % 1024);
        if (!Write(request, size))
            return false;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
        const std::size_t head = kind_ == Serial ? 11 : 10;
        std::uint8_t answer[1 + 10 + 255 + 2];
        if (!Read(answer, head, deadline))
            return false;
        const std::uint8_t* header = answer + head - 10;
        if ((kind_ == Serial && answer[0] != kBusAddress) || ldle_u16(header + 1) != sent ||
            ldle_u16(header + 4) != 0x0210)
            return false;
        const std::size_t rest = header[9] + (kind_ == Serial ? 2u : 0u);
        if (!Read(answer + head, rest, deadline))
            return false;
        if (kind_ != Serial)
            return true;
        const std::size_t body = head + header[9];
        return ldle_u16(answer + body) == Crc16(answer, body, kCrc16Start);
    }

    void Close() override {
        if (ssl_)
            SSL_free(ssl_);
        if (ctx_)
            SSL_CTX_free(ctx_);
        ssl_ = nullptr;
        ctx_ = nullptr;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    bool OpenSerial() {
        fd_ = ::open(where_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd_ < 0 || ::tcgetattr(fd_, &t) != 0)
            return false;
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B921600);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        return ::tcsetattr(fd_, TCSANOW, &t) == 0 && ::tcflush(fd_, TCIOFLUSH) == 0;
    }

    bool Write(const std::uint8_t* data, std::size_t size) {
        if (ssl_)
            return SSL_write(ssl_, data, static_cast<int>(size)) == static_cast<int>(size);
        return ::write(fd_, data, size) == static_cast<ssize_t>(size);
    }

    bool Read(std::uint8_t* out, std::size_t length, Clock::time_point deadline) {
        std::size_t got = 0;
        while (got < length) {
            if (!(ssl_ && SSL_pending(ssl_) > 0) && !Deadline(deadline, fd_))
                return false;
            if (ssl_) {
                const int n = SSL_read(ssl_, out + got, static_cast<int>(length - got));
                if (n > 0)
                    got += static_cast<std::size_t>(n);
                else if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ)
                    return false;
                continue;
            }
            const ssize_t n = ::read(fd_, out + got, length - got);
            if (n > 0)
                got += static_cast<std::size_t>(n);
            else if (n == 0 || errno != EAGAIN)
                return false;
        }
        return true;
    }

    Kind kind_;
    std::string where_;
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::uint16_t counter_ = 0;
};

#if KELVO_BENCH_MODBUS
// libmodbus: modbus_read_registers of two registers (4 bytes).
class ModbusClient final : public Client {
public:
    explicit ModbusClient(const char* address) : address_(address) {}
    ~ModbusClient() override { Close(); }
    bool Open() override {
        ctx_ = modbus_new_tcp(address_, kModbusPort);
        if (!ctx_)
            return false;
        modbus_set_response_timeout(ctx_, kTimeoutMs / 1000, 0);
        return modbus_connect(ctx_) == 0;
    }
    bool Once() override {
        std::uint16_t registers[2];
        return modbus_read_registers(ctx_, 0, 2, registers) == 2;
    }
    void Close() override {
        if (!ctx_)
            return;
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }

private:
    const char* address_;
    modbus_t* ctx_ = nullptr;
};
#endif

#if KELVO_BENCH_MODBUS
// ---- Canned-answer responder ----

// A loopback TCP server thread that answers every request of a fixed size
// with one precomputed answer, into which only the request's 2-byte
// transaction number is copied (at the same offset in both).
class CannedResponder {
public:
    CannedResponder(const char* address, std::uint16_t port, std::size_t requestSize, Bytes answer,
                    std::size_t counterOffset)
        : requestSize_(requestSize), answer_(std::move(answer)), counterOffset_(counterOffset) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        ok_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::listen(listen_, 4) == 0;
        if (ok_)
            thread_ = std::thread([this] { Run(); });
    }
    ~CannedResponder() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(listen_);
    }
    bool ok() const { return ok_; }

private:
    void Run() {
        while (!stop_) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Bytes answer = answer_;
            std::uint8_t request[64];
            for (;;) {
                std::size_t got = 0;
                while (got < requestSize_) {
                    const ssize_t n = ::recv(fd, request + got, requestSize_ - got, 0);
                    if (n <= 0)
                        break;
                    got += static_cast<std::size_t>(n);
                }
                if (got < requestSize_)
                    break;
                std::memcpy(answer.data() + counterOffset_, request + counterOffset_, 2);
                if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(answer.size()))
                    break;
            }
            ::close(fd);
        }
    }

    std::size_t requestSize_;
    Bytes answer_;
    std::size_t counterOffset_;
    int listen_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The answer of the component's 9-byte read request: header with the
// success word 0x0210 and the value length 4, then 4 value bytes.
Bytes KelvoCannedAnswer() {
    return {0, 0, 0, 12, 0x10, 0x02, 0x04, 0x10, 0, 4, 0x40, 0xE2, 0x01, 0};
}

// The answer of a 12-byte read of 2 holding registers: MBAP header, unit
// 0xFF, function 3, byte count 4, 4 register bytes.
Bytes ModbusCannedAnswer() {
    return {0, 0, 0, 0, 0, 7, 0xFF, 0x03, 4, 0x00, 0x01, 0xE2, 0x40};
}

// The libmodbus server loop in a child process (as kelvo-sim is one):
// modbus_receive and modbus_reply on a mapping of 16 holding registers.
pid_t StartModbusServer() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(ready[1]);
        char c = 0;
        const bool up = pid > 0 && ::read(ready[0], &c, 1) == 1 && c == 'r';
        ::close(ready[0]);
        return up ? pid : -1;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(ready[0]);
    modbus_t* ctx = modbus_new_tcp(kModbusServerAddress, kModbusPort);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 16, 0);
    int server = ctx && map ? modbus_tcp_listen(ctx, 1) : -1;
    if (server < 0)
        ::_exit(1);
    map->tab_registers[0] = 1;
    map->tab_registers[1] = 0xE240;
    [[maybe_unused]] ssize_t n = ::write(ready[1], "r", 1);
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int client = modbus_tcp_accept(ctx, &server);
        if (client < 0)
            continue;
        const int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (;;) {
            const int rc = modbus_receive(ctx, query);
            if (rc > 0)
                modbus_reply(ctx, query, rc, map);
            else if (rc == -1)
                break;
        }
        ::close(client);
    }
}
#endif

// ---- Measurement ----

struct Series {
    std::vector<double> ns; // one latency per read
    std::string error;

    double PerSecond() const {
        double total = 0;
        for (double v : ns)
            total += v;
        return total > 0 ? static_cast<double>(ns.size()) * 1e9 / total : 0;
    }
    double Percentile(double p) {
        if (ns.empty())
            return 0;
        std::vector<double> sorted = ns;
        const std::size_t at = std::min(
            sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())));
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                         sorted.end());
        return sorted[at];
    }
};

// One round: a fresh connection, a short warm-up, then reads for `seconds`.
void Round(Client& client, Series& series, double seconds) {
    if (!series.error.empty())
        return;
    if (!client.Open()) {
        series.error = "cannot connect";
        client.Close();
        return;
    }
    for (int i = 0; i < 20; ++i) {
        if (!client.Once()) {
            series.error = "read failed";
            client.Close();
            return;
        }
    }
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    Clock::time_point before = Clock::now();
    while (before < end) {
        if (!client.Once()) {
            series.error = "read failed";
            break;
        }
        const Clock::time_point after = Clock::now();
        series.ns.push_back(std::chrono::duration<double, std::nano>(after - before).count());
        before = after;
    }
    client.Close();
}

struct Comparison {
    Series first;
    Series second;
    std::vector<double> ratios; // first / second reads per second, round by round

    // The median of the round ratios: a round with a burst of load on the
    // machine moves it less than it moves the totals.
    double Ratio() {
        if (ratios.empty())
            return 0;
        std::vector<double> sorted = ratios;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

double g_secondsPerSide = 3.0;
// --only=<text>: the link and peer rows whose name starts with it (all when empty).
std::string g_only;

bool Wanted(const std::string& row) {
    return row.compare(0, g_only.size(), g_only) == 0;
}
constexpr int kRounds = 30;

Comparison Compare(Client& first, Client& second) {
    Comparison c;
    const double seconds = g_secondsPerSide / kRounds;
    for (int round = 0; round < kRounds; ++round) {
        Series a;
        Series b;
        a.error = c.first.error;
        b.error = c.second.error;
        // Alternate who goes first, so that neither always follows the other.
        if (round % 2 == 0) {
            Round(first, a, seconds);
            Round(second, b, seconds);
        } else {
            Round(second, b, seconds);
            Round(first, a, seconds);
        }
        if (a.error.empty() && b.error.empty() && b.PerSecond() > 0)
            c.ratios.push_back(a.PerSecond() / b.PerSecond());
        c.first.error = a.error;
        c.second.error = b.error;
        c.first.ns.insert(c.first.ns.end(), a.ns.begin(), a.ns.end());
        c.second.ns.insert(c.second.ns.end(), b.ns.begin(), b.ns.end());
    }
    return c;
}

std::vector<std::string> Cells(Series& s) {
    if (!s.error.empty())
        return {s.error, "", ""};
    return {Format("%.0f", s.PerSecond()), Duration(s.Percentile(0.50)),
            Duration(s.Percentile(0.99))};
}

void AddRow(Table& table, const std::string& name, Comparison& c) {
    std::vector<std::string> row{name};
    for (auto& cell : Cells(c.first))
        row.push_back(cell);
    for (auto& cell : Cells(c.second))
        row.push_back(cell);
    const bool both = c.first.error.empty() && c.second.error.empty();
    row.push_back(both ? Format("%.3f", c.Ratio()) : "");
    table.Row(row);
    std::fprintf(stderr, "%s: done\n", name.c_str());
}

// Allocations of the whole program per read, over 1000 reads.
std::string AllocationsPerRead(Client& client) {
    if (!kCountsAllocations)
        return "not counted under a sanitizer";
    constexpr int kReads = 1000;
    bool ok = client.Open();
    for (int i = 0; ok && i < 20; ++i)
        ok = client.Once();
    std::size_t count = 0;
    {
        AllocationScope scope;
        for (int i = 0; ok && i < kReads; ++i)
            ok = client.Once();
        count = scope.count();
    }
    client.Close();
    return ok ? Format("%.2f", static_cast<double>(count) / kReads) : "read failed";
}

std::string TcpText(const char* address, bool tls) {
    return std::string("TCPIP:") + address + "/" +
           std::to_string(tls ? kKelvoTlsPort : kKelvoPort) + ",3000" + (tls ? ",SSL" : "");
}

std::string ComText() {
    return "COM:" + std::to_string(kSerialCom) + ",921600,N,8,1";
}

int Main(int argc, char** argv) {
    const std::string markdown = TakeMarkdownFlag(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            g_secondsPerSide = std::max(0.1, std::atof(argv[i] + 10));
        else if (std::strncmp(argv[i], "--only=", 7) == 0)
            g_only = argv[i] + 7;
    }
    RegisterPortwayClass();

#if KELVO_BENCH_MODBUS
    // Forked before any thread of this process starts.
    const pid_t modbusServer = StartModbusServer();
#endif

    const std::string devices = "/tmp/kelvo-bench-devices-" + std::to_string(::getpid());
    ::setenv("KELVO_DEVICES", devices.c_str(), 1);
    SimChild sim;
    const bool simUp =
        sim.Start({"--addr", kSimAddress, "--serial", "--serial-address",
                   std::to_string(kBusAddress), "--link-com", std::to_string(kSerialCom)});
    if (!simUp)
        std::fprintf(stderr, "kelvo-sim did not start: the link rows are left out\n");

    Table links(
        "Parameter reads over a link: the component against a raw client",
        {"link", "component reads/s", "p50", "p99", "raw client reads/s", "p50", "p99", "ratio"});
    Table allocations("Heap allocations per parameter read over a link (4-byte value)",
                      {"link", "component", "raw client"});
    if (simUp) {
        struct Link {
            const char* name;
            std::string text;
            bool serial;
            RawClient::Kind raw;
            std::string where;
        } const all[] = {
            {"TCP", TcpText(kSimAddress, false), false, RawClient::Tcp, kSimAddress},
            {"TLS", TcpText(kSimAddress, true), false, RawClient::Tls, kSimAddress},
            {"serial (pseudo-terminal)", ComText(), true, RawClient::Serial, sim.serial()},
        };
        for (const Link& link : all) {
            if (!Wanted(link.name))
                continue;
            KelvoClient component(link.text, link.serial);
            RawClient raw(link.raw, link.where);
            Comparison c = Compare(component, raw);
            AddRow(links, link.name, c);
        }
        for (const Link& link : all) {
            if (!Wanted(link.name))
                continue;
            KelvoClient component(link.text, link.serial);
            RawClient raw(link.raw, link.where);
            allocations.Row({link.name, AllocationsPerRead(component), AllocationsPerRead(raw)});
        }
    }
    links.Note("Goal: ratio of at least 0.95. Ratio: the median over the rounds of component / "
               "raw client reads per second; reads/s: all reads over all rounds.");
    allocations.Note(
        "Goal: none for a numeric read (a string read allocates its result only). "
        "Over TLS both sides show what OpenSSL allocates per record sent and received.");

    Table peer("Parameter read against the peer library (4 bytes per read)",
               {"row", "Kelvo reads/s", "p50", "p99", "libmodbus reads/s", "p50", "p99", "ratio"});
    peer.Note("Ratio: the median over the rounds of Kelvo / libmodbus reads per second.");
#if KELVO_BENCH_MODBUS
    {
        CannedResponder kelvoCanned(kKelvoCannedAddress, kKelvoPort, 9, KelvoCannedAnswer(), 1);
        CannedResponder modbusCanned(kModbusCannedAddress, kModbusPort, 12, ModbusCannedAnswer(),
                                     0);
        if (kelvoCanned.ok() && modbusCanned.ok() && Wanted("client cost")) {
            KelvoClient kelvo(TcpText(kKelvoCannedAddress, false), false);
            ModbusClient modbus(kModbusCannedAddress);
            Comparison c = Compare(kelvo, modbus);
            AddRow(peer, "client cost (canned-answer responder)", c);
        }
    }
    if (simUp && modbusServer > 0 && Wanted("whole stack")) {
        KelvoClient kelvo(TcpText(kSimAddress, false), false);
        ModbusClient modbus(kModbusServerAddress);
        Comparison c = Compare(kelvo, modbus);
        AddRow(peer, "whole stack (kelvo-sim / modbus_reply server)", c);
    }
    if (modbusServer > 0) {
        ::kill(modbusServer, SIGKILL);
        ::waitpid(modbusServer, nullptr, 0);
    }
#else
    peer.Note("Built without libmodbus (scripts/install-bench-deps.sh installs it): no rows.");
#endif

    std::printf("\n%s%s%s", links.Text().c_str(), allocations.Text().c_str(), peer.Text().c_str());
    links.Append(markdown);
    allocations.Append(markdown);
    peer.Append(markdown);
    std::filesystem::remove_all(devices);
    return 0;
}

} // namespace
} // namespace kelvo::bench

int main(int argc, char** argv) {
    return kelvo::bench::Main(argc, argv);
}

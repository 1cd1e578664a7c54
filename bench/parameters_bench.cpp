// Parameter access speed.
//
// Component: get_Par and put_Par against a transport that answers at once
// from memory, so the time is the component's own (frame building, the
// answer steps, conversion); the same over the recording scripted transport
// of the tests.
//
// Link: parameter reads per second against kelvo-sim over TCP and over the
// serial pseudo-terminal, through the component and the Linux transport, and
// from a raw client that sends the same bytes to the same simulator. The
// ratio component/raw is printed at the end; the raw client is the limit the
// component can reach.
#include "device/kelvo_object.h"
#include "kelvo/runtime.h"
#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/connected_kelvo.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace kelvo::bench {
namespace {

using test::Bytes;

constexpr char kTcpAddress[] = "127.0.105.250";
constexpr char kSerialAddress[] = "127.0.105.251";
constexpr int kSerialCom = 99;
constexpr std::uint8_t kBusAddress = 5;
constexpr LONG kBenchParameter = 0x1004; // i4 in the simulator's built-in table

// ---- A transport that answers every parameter request from memory ----

class ReplayTransport final : public IPortway {
public:
    bool serial = false;
    std::size_t valueLength = 4;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPortway) {
            *ppv = static_cast<IPortway*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT Open(BSTR) override { return S_OK; }
    HRESULT Close() override { return S_OK; }
    HRESULT Reset() override {
        pos_ = size_ = 0;
        return S_OK;
    }
    HRESULT Lock() override { return S_OK; }
    HRESULT Unlock() override { return S_OK; }
    HRESULT Read(void* buffer, ULONG length, ULONG) override {
        if (size_ - pos_ < length)
            return E_FAIL;
        std::memcpy(buffer, answer_ + pos_, length);
        pos_ += length;
        return S_OK;
    }
    // Prepares the answer of a parameter read or write.
    HRESULT Write(const void* buffer, ULONG) override {
        const auto* frame = static_cast<const std::uint8_t*>(buffer) + (serial ? 1 : 0);
        const std::uint16_t command = ldle_u16(frame + 4);
        std::size_t n = 0;
        if (serial)
            answer_[n++] = kBusAddress;
        answer_[n++] = 0;
        answer_[n++] = frame[1];
        answer_[n++] = frame[2];
        const bool read = (command & 0x0F) == 1;
        const std::size_t data = read ? 4 + valueLength : 0;
        answer_[n++] = static_cast<std::uint8_t>(2 + data);
        stle_u16(answer_ + n,
                 static_cast<std::uint16_t>((command & 0xFF00) | (command & 0x0F) << 4));
        n += 2;
        if (read) {
            std::memcpy(answer_ + n, frame + 6, 3);
            answer_[n + 3] = static_cast<std::uint8_t>(valueLength);
            std::memset(answer_ + n + 4, 'a', valueLength);
            n += data;
        }
        if (serial) {
            stle_u16(answer_ + n, Crc16(answer_, n, kCrc16Start));
            n += 2;
        }
        pos_ = 0;
        size_ = n;
        return S_OK;
    }
    HRESULT WriteVariantData(VARIANT) override { return E_NOTIMPL; }
    HRESULT ReadVariantData(VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT get_ErrorCode(PortwayErrorCode* error) override {
        *error = PW_OK;
        return S_OK;
    }
    HRESULT SendVariantMessage(LONG, VARIANT) override { return E_NOTIMPL; }
    HRESULT ReceiveVariantMessage(LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT AddMessageFilter(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT RemMessageFilter(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT RequireMessage(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT ReceiveVariantEvent(LONG*, LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT PutProperty(SHORT, VARIANT) override { return E_NOTIMPL; }
    HRESULT GetProperty(SHORT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT Flush() override { return S_OK; }

private:
    ULONG refs_ = 1;
    std::uint8_t answer_[300] = {};
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
};

class ReplayFactory final : public IClassFactory {
public:
    ReplayTransport* next = nullptr;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = this;
        return riid == IID_IUnknown || riid == IID_IClassFactory ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        return next->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

// A Kelvo object whose adapter runs on a fresh ReplayTransport.
struct ReplayKelvo {
    explicit ReplayKelvo(bool serial, std::size_t valueLength = 4) {
        static ReplayFactory factory;
        transport = new ReplayTransport;
        transport->serial = serial;
        transport->valueLength = valueLength;
        factory.next = transport;
        RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &factory);
        kelvo = new CKelvo;
        kelvo->AddRef();
        kelvo->serialMode = serial ? 1 : 0;
        kelvo->address = kBusAddress;
        kelvo->portAdapter = std::make_unique<CComPort>();
        kelvo->portAdapter->open(u"TCPIP:bench/17221,1000", nullptr);
    }
    ~ReplayKelvo() {
        kelvo->Release();
        transport->Release();
    }
    CKelvo* kelvo;
    ReplayTransport* transport;
};

void Component_ReadI4(benchmark::State& state) {
    ReplayKelvo r(state.range(0) != 0);
    for (auto _ : state) {
        VARIANT v;
        if (r.kelvo->get_Par(kBenchParameter, 0, VT_I4, &v) != S_OK)
            state.SkipWithError("get_Par failed");
        benchmark::DoNotOptimize(v.lVal);
    }
}
BENCHMARK(Component_ReadI4)->ArgName("serial")->Arg(0)->Arg(1);

void Component_ReadString(benchmark::State& state) {
    ReplayKelvo r(false, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        Variant v;
        if (r.kelvo->get_Par(kBenchParameter, 0, VT_BSTR, &v) != S_OK)
            state.SkipWithError("get_Par failed");
    }
}
BENCHMARK(Component_ReadString)->ArgName("bytes")->Arg(16)->Arg(255);

void Component_WriteI4(benchmark::State& state) {
    ReplayKelvo r(state.range(0) != 0);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 12;
    for (auto _ : state) {
        if (r.kelvo->put_Par(kBenchParameter, 0, VT_I4, v) != S_OK)
            state.SkipWithError("put_Par failed");
    }
}
BENCHMARK(Component_WriteI4)->ArgName("serial")->Arg(0)->Arg(1);

void Component_WriteTextAsI4(benchmark::State& state) {
    ReplayKelvo r(false);
    Bstr text(u"12");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    for (auto _ : state) {
        if (r.kelvo->put_Par(kBenchParameter, 0, VT_I4, v) != S_OK)
            state.SkipWithError("put_Par failed");
    }
}
BENCHMARK(Component_WriteTextAsI4);

void Component_ParDWord(benchmark::State& state) {
    ReplayKelvo r(false);
    for (auto _ : state) {
        LONG value = 0;
        if (r.kelvo->get_ParDWord(kBenchParameter, 0, &value) != S_OK)
            state.SkipWithError("get_ParDWord failed");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(Component_ParDWord);

// The same read over the tests' scripted transport, which records every call.
void Scripted_ReadI4(benchmark::State& state) {
    test::ConnectedKelvo c;
    const Bytes answer{0, 0, 0, 10, 0x10, 0x02, 0x04, 0x10, 0, 4, 1, 2, 3, 4};
    for (auto _ : state) {
        Bytes a = answer;
        stle_u16(&a[1], c.kelvo->frameCount);
        c.transport->Answer(a);
        VARIANT v;
        if (c.kelvo->get_Par(kBenchParameter, 0, VT_I4, &v) != S_OK)
            state.SkipWithError("get_Par failed");
        c.transport->calls.clear();
        c.transport->writes.clear();
    }
}
BENCHMARK(Scripted_ReadI4);

// ---- Against kelvo-sim ----

struct Sims {
    test::SimProcess tcp;
    test::SimProcess serial;
    std::string serialPath;
    bool ready = false;
};

Sims& TheSims() {
    static Sims sims;
    return sims;
}

bool StartSims() {
    Sims& s = TheSims();
    const std::string devices = "/tmp/kelvo-bench-devices-" + std::to_string(getpid());
    setenv("KELVO_DEVICES", devices.c_str(), 1);
    if (!s.tcp.Start({"--addr", kTcpAddress, "--no-tls"}))
        return false;
    if (!s.serial.Start({"--addr", kSerialAddress, "--no-tcp", "--no-tls", "--serial",
                         "--serial-address", std::to_string(kBusAddress), "--link-com",
                         std::to_string(kSerialCom)}))
        return false;
    s.serialPath = s.serial.Line("serial");
    s.ready = true;
    return true;
}

// The 9-byte read request of kBenchParameter with the given counter.
Bytes ReadRequest(std::uint16_t counter) {
    Bytes frame{0, 0, 0, 5, 0x01, 0x02, 0, 0, 0};
    stle_u16(&frame[1], counter);
    stle_u16(&frame[6], static_cast<std::uint16_t>(kBenchParameter));
    return frame;
}

bool ReadExactly(int fd, std::uint8_t* out, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return false;
        const ssize_t n = read(fd, out + got, length - got);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void Link_Component(benchmark::State& state) {
    const bool serial = state.range(0) != 0;
    if (!TheSims().ready) {
        state.SkipWithError("no simulator");
        return;
    }
    RegisterPortwayClass();
    const std::string text = serial ? "COM:" + std::to_string(kSerialCom) + ",921600,N,8,1"
                                    : std::string("TCPIP:") + kTcpAddress + "/17221,3000";
    test::SimDevice d(Utf8ToUtf16(text), serial, kBusAddress);
    if (d.opened != 1) {
        state.SkipWithError("cannot connect");
        return;
    }
    for (auto _ : state) {
        VARIANT v;
        if (d->get_Par(kBenchParameter, 0, VT_I4, &v) != S_OK) {
            state.SkipWithError("get_Par failed");
            break;
        }
        benchmark::DoNotOptimize(v.lVal);
    }
    state.counters["reads_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Link_Component)->ArgName("serial")->Arg(0)->Arg(1)->UseRealTime();

void Link_Raw(benchmark::State& state) {
    const bool serial = state.range(0) != 0;
    if (!TheSims().ready) {
        state.SkipWithError("no simulator");
        return;
    }
    int fd = -1;
    if (serial) {
        fd = open(TheSims().serialPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            tcflush(fd, TCIOFLUSH);
        }
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(17221);
        inet_pton(AF_INET, kTcpAddress, &a.sin_addr);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::uint16_t counter = 0;
    std::uint8_t answer[32];
    const std::size_t answerSize = serial ? 1 + 14 + 2 : 14;
    for (auto _ : state) {
        Bytes request = ReadRequest(counter);
        counter = static_cast<std::uint16_t>((counter + 1) % 1024);
        if (serial)
            request = test::SerialWrap(kBusAddress, request);
        if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()) ||
            !ReadExactly(fd, answer, answerSize)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
    }
    close(fd);
    state.counters["reads_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Link_Raw)->ArgName("serial")->Arg(0)->Arg(1)->UseRealTime();

// Console output, and the link rates kept for the ratio.
class RateReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                run.real_accumulated_time > 0)
                rates[run.benchmark_name()] =
                    static_cast<double>(run.iterations) / run.real_accumulated_time;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace
} // namespace kelvo::bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!kelvo::bench::StartSims())
        std::fprintf(stderr, "kelvo-sim did not start: the link benchmarks are skipped\n");
    kelvo::bench::RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* link : {"serial:0", "serial:1"}) {
        const std::string component = std::string("Link_Component/") + link + "/real_time";
        const std::string raw = std::string("Link_Raw/") + link + "/real_time";
        auto c = reporter.rates.find(component);
        auto r = reporter.rates.find(raw);
        if (c == reporter.rates.end() || r == reporter.rates.end())
            continue;
        std::printf("%s reads per second: component %.0f, raw client %.0f, ratio %.3f\n",
                    std::string(link) == "serial:0" ? "TCP" : "serial", c->second, r->second,
                    c->second / r->second);
    }
    std::filesystem::remove_all("/tmp/kelvo-bench-devices-" + std::to_string(getpid()));
    benchmark::Shutdown();
    return 0;
}

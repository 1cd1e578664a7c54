// Parameter access without a link: get_Par and put_Par against a transport
// that answers at once from memory, so the time is the component's own (frame
// building, the answer steps, CRC, conversion); the same read over the
// recording scripted transport of the tests; heap allocations per read.
// The reads over real links are bench_link_bench.
#include "device/kelvo_object.h"
#include "kelvo/runtime.h"
#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/connected_kelvo.h"
#include "support/portway_double.h"

#include "alloc_count.h"
#include "bench_table.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace kelvo::bench {
namespace {

using test::Bytes;

constexpr std::uint8_t kBusAddress = 5;
constexpr LONG kBenchParameter = 0x1004; // i4 in the simulator's built-in table

// ---- A transport that answers every parameter request from memory ----

class ReplayTransport final : public test::PortwayDouble {
public:
    bool serial = false;
    std::size_t valueLength = 4;

    HRESULT Reset() override {
        pos_ = size_ = 0;
        return S_OK;
    }
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

private:
    std::uint8_t answer_[300] = {};
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
};

class ReplayFactory final : public test::StaticClassFactory {
public:
    ReplayTransport* next = nullptr;
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        return next->QueryInterface(riid, ppv);
    }
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

// ---- Heap allocations per read ----

// Allocations of one get_Par, over the in-memory transport; a string read
// may allocate its returned BSTR and nothing else.
void Allocations_Read(benchmark::State& state) {
    const auto type = static_cast<SHORT>(state.range(0));
    const std::size_t length = type == VT_BSTR ? static_cast<std::size_t>(state.range(1))
                               : type == VT_R8 ? 8
                                               : 4;
    ReplayKelvo r(state.range(2) != 0, length);
    std::size_t allocations = 0;
    for (auto _ : state) {
        VARIANT v;
        VariantInit(&v);
        HRESULT hr;
        {
            AllocationScope scope;
            hr = r.kelvo->get_Par(kBenchParameter, 0, type, &v);
            allocations += scope.count();
        }
        if (hr != S_OK)
            state.SkipWithError("get_Par failed");
        VariantClear(&v);
    }
    if (!kCountsAllocations)
        state.SkipWithError("not counted under a sanitizer");
    state.counters["allocs_per_read"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(Allocations_Read)
    ->ArgNames({"type", "bytes", "serial"})
    ->Args({VT_I4, 4, 0})
    ->Args({VT_I4, 4, 1})
    ->Args({VT_R8, 8, 0})
    ->Args({VT_BSTR, 16, 0})
    ->Args({VT_BSTR, 255, 1});

} // namespace
} // namespace kelvo::bench

int main(int argc, char** argv) {
    return kelvo::bench::RunBenchmarks(argc, argv,
                                       "Parameter access without a link (bench_parameters_bench)");
}

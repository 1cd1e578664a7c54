// Cost of tracing: a category outside the mask (one bit test, nothing
// formatted), a formatted line written into the ring, a ready text, and the
// viewer reading a full ring of 100000 entries.
#include "kelvo/trace.h"
#include "trace/channel.h"
#include "trace/reader.h"
#include "trace/writer.h"

#include "bench_table.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <string>

namespace {

using kelvo::trace::TraceChannel;

// A channel of this process installed for the benchmark's life.
class Installed {
public:
    Installed(std::uint32_t capacity, std::uint32_t mask) {
        channel_.Open("KBench" + std::to_string(::getpid()), capacity, false);
        kelvo::trace::SetTraceTarget({&channel_, mask});
    }
    ~Installed() { kelvo::trace::SetTraceTarget({}); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;
    TraceChannel& channel() { return channel_; }

private:
    TraceChannel channel_;
};

// The bare category test, for comparison with a Trace call outside the mask.
void BM_CategoryTestOnly(benchmark::State& state) {
    Installed on(2048, kelvo::TRACE_CONNECTION);
    for (auto _ : state) {
        bool enabled = kelvo::TraceEnabled(kelvo::TRACE_READ);
        benchmark::DoNotOptimize(enabled);
    }
}
BENCHMARK(BM_CategoryTestOnly);

void BM_TraceCategoryOff(benchmark::State& state) {
    Installed on(2048, kelvo::TRACE_CONNECTION);
    const std::u16string user = u"admin";
    for (auto _ : state) {
        bool written =
            kelvo::Trace(kelvo::TRACE_READ, u"CKelvo::get_Par %i %i %i %s", 1001, 2, 3, user);
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_TraceCategoryOff);

void BM_TraceFormattedAndWritten(benchmark::State& state) {
    Installed on(2048, 0xFFFF);
    const std::u16string user = u"admin";
    for (auto _ : state) {
        bool written =
            kelvo::Trace(kelvo::TRACE_READ, u"CKelvo::get_Par %i %i %i %s", 1001, 2, 3, user);
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_TraceFormattedAndWritten);

void BM_TraceTextWritten(benchmark::State& state) {
    Installed on(2048, 0xFFFF);
    for (auto _ : state) {
        bool written = kelvo::TraceText(kelvo::TRACE_READ, u"CKelvo::Save_Command");
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_TraceTextWritten);

void BM_ReadFullRing(benchmark::State& state) {
    const auto capacity = static_cast<std::uint32_t>(state.range(0));
    Installed on(capacity, 0xFFFF);
    for (std::uint32_t i = 0; i < capacity + 7; ++i)
        kelvo::Trace(kelvo::TRACE_READ, u"CKelvo::get_Par fail 8 (%i) entry %i", 352321538, i);
    kelvo::trace::TraceReader reader;
    reader.Attach(on.channel().data(), on.channel().size());
    std::size_t entries = 0;
    for (auto _ : state) {
        auto records = reader.ReadAll();
        entries = records.size();
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(entries));
}
BENCHMARK(BM_ReadFullRing)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kelvo::bench::RunBenchmarks(argc, argv, "Trace (bench_trace_bench)");
}

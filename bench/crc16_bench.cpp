// CRC-16 throughput over buffers of a serial frame's size up to a large
// block, in bytes per second.
#include "protocol/crc16.h"

#include "bench_table.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_Crc16(benchmark::State& state) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    std::uint16_t crc = kelvo::kCrc16Start;
    for (auto _ : state) {
        crc = kelvo::Crc16(data.data(), data.size(), kelvo::kCrc16Start);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(17)->Arg(258)->Arg(65536);

} // namespace

int main(int argc, char** argv) {
    return kelvo::bench::RunBenchmarks(argc, argv, "CRC-16 (bench_crc16_bench)");
}

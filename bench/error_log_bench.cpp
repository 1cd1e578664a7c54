// Error-log decoding cost by the number of fields in the description: the
// download of one 208-byte record over the scripted transport, then the
// decoding into an XML file. The time should grow linearly with the fields.
#include "protocol/bytes.h"
#include "support/connected_kelvo.h"

#include "bench_table.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using kelvo::test::AnswerFrame;
using kelvo::test::Bytes;
using kelvo::test::ConnectedKelvo;

namespace fs = std::filesystem;

// One data frame (status 0x04B0) holding the whole record for entry 0.
Bytes RecordFrame(std::uint16_t counter) {
    Bytes record(208, 0);
    kelvo::stle_u32(record.data(), 26);
    for (std::size_t i = 8; i < record.size(); ++i)
        record[i] = static_cast<std::uint8_t>(i);
    Bytes rest{0, 0, 0xEE, 0, static_cast<std::uint8_t>(record.size())};
    rest.insert(rest.end(), record.begin(), record.end());
    return AnswerFrame(counter, 0x04B0, rest);
}

void WriteDescription(const fs::path& dir, int fields) {
    std::ofstream out(dir / "FPR_Version_0000001a.xml");
    out << "<?xml version=\"1.0\"?>\n<Record>\n <Group name=\"g\">\n";
    for (int i = 0; i < fields; ++i)
        out << "  <Element><Offset>" << (i % 200) << "</Offset><DataType>unsignedChar"
            << "</DataType></Element>\n";
    out << " </Group>\n</Record>\n";
}

void BM_DecodeFields(benchmark::State& state) {
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-errorlog-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    WriteDescription(dir, static_cast<int>(state.range(0)));
    kelvo::Bstr file(kelvo::Utf8ToUtf16((dir / "out.xml").string()));
    kelvo::Bstr parser(kelvo::Utf8ToUtf16(dir.string()));
    ConnectedKelvo c;
    for (auto _ : state) {
        c.transport->Answer(RecordFrame(c.kelvo->frameCount));
        c.transport->calls.clear();
        c.transport->writes.clear();
        if (c.kelvo->ReadErrorLog(0, file.get(), parser.get()) != S_OK)
            state.SkipWithError("ReadErrorLog failed");
    }
    state.SetComplexityN(state.range(0));
    // Fields decoded per second: its inverse is the time per field.
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    fs::remove_all(dir);
}
BENCHMARK(BM_DecodeFields)->RangeMultiplier(10)->Range(10, 10000)->Complexity(benchmark::oN);

} // namespace

int main(int argc, char** argv) {
    return kelvo::bench::RunBenchmarks(
        argc, argv, "Error-log decoding by description fields (bench_error_log_bench)");
}

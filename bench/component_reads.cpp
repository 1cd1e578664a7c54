// The C++ side of the Python row of make bench: get_Par of the 4-byte
// parameter 0x1004 through the component in a loop of its own, on one new
// connection. bench/python_bench.py runs it in rounds that alternate with the
// same reads made from Python, against the same kelvo-sim.
//
//   bench_component_reads CONNECTION_TEXT SECONDS
//
// After 20 untimed reads it prints the nanoseconds of every read for SECONDS,
// one per line. Exit status 1 when the connection or a read fails.
#include "device/kelvo_object.h"
#include "transport/portway/portway.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool Read(CKelvo& k) {
    VARIANT v;
    VariantInit(&v);
    return k.get_Par(0x1004, 0, VT_I4, &v) == S_OK && v.vt == VT_I4;
}

int Run(const char* text, double seconds) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    kelvo::Bstr conf(kelvo::Utf8ToUtf16(text));
    bool ok = k->Init(conf.get()) == S_OK;
    for (int i = 0; ok && i < 20; ++i)
        ok = Read(*k);
    std::vector<long long> ns;
    ns.reserve(static_cast<std::size_t>(seconds * 100000) + 16);
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    for (Clock::time_point before = Clock::now(); ok && before < end;) {
        ok = Read(*k);
        const Clock::time_point after = Clock::now();
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count());
        before = after;
    }
    k->Release();
    if (!ok) {
        std::fprintf(stderr, "bench_component_reads: %s: connect or read failed\n", text);
        return 1;
    }
    std::string out;
    for (long long v : ns)
        out += std::to_string(v) + '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_component_reads CONNECTION_TEXT SECONDS\n");
        return 2;
    }
    kelvo::RegisterPortwayClass();
    return Run(argv[1], std::atof(argv[2]));
}

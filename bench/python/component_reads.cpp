// The C++ side of the Python row of make bench: get_Par of the 4-byte
// parameter 0x1004 through the component in a C++ loop, on a new connection.
// A Python module, so that bench/python_bench.py runs both sides in its one
// process, as bench_link_bench does with its two sides (a process of its own
// would be treated differently by the scheduler of a loaded machine).
//
//   _component_reads.timed_reads(CONNECTION_TEXT, SECONDS) -> [ns, ...]
//
// After 20 untimed reads, the nanoseconds of every read for SECONDS; the GIL
// is released for the whole round.
#include "device/kelvo_object.h"
#include "transport/portway/portway.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool Read(CKelvo& k) {
    VARIANT v;
    VariantInit(&v);
    return k.get_Par(0x1004, 0, VT_I4, &v) == S_OK && v.vt == VT_I4;
}

bool TimedReads(const std::string& text, double seconds, std::vector<long long>& ns) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    kelvo::Bstr conf(kelvo::Utf8ToUtf16(text));
    bool ok = k->Init(conf.get()) == S_OK;
    for (int i = 0; ok && i < 20; ++i)
        ok = Read(*k);
    ns.reserve(static_cast<std::size_t>(seconds * 100000) + 16);
    const Clock::time_point end =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (Clock::time_point before = Clock::now(); ok && before < end;) {
        ok = Read(*k);
        const Clock::time_point after = Clock::now();
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count());
        before = after;
    }
    k->Release();
    return ok;
}

} // namespace

PYBIND11_MODULE(_component_reads, module) {
    kelvo::RegisterPortwayClass();
    module.def("timed_reads", [](const std::string& text, double seconds) {
        std::vector<long long> ns;
        bool ok = false;
        {
            pybind11::gil_scoped_release free;
            ok = TimedReads(text, seconds, ns);
        }
        if (!ok)
            throw std::runtime_error(text + ": connect or read failed");
        return ns;
    });
}

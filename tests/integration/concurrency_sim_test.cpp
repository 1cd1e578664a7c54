// Several Kelvo objects on one serial link of kelvo-sim, each on its own
// thread, with tracing on and the trace read while it is written (each fault
// with its lock released: the fault matrix). Run under ThreadSanitizer
// too (the tsan presets select the tests named Concurrency.*).
#include "integration/sim_link.h"
#include "kelvo/trace.h"
#include "trace/writer.h"

#include <atomic>
#include <map>
#include <thread>

namespace kelvo::test {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 60;

// The operations each thread runs in turn, with their trace entry lines.
struct Step {
    const char16_t* entry;
    HRESULT (*run)(CKelvo*);
};

const Step kSteps[] = {
    {u"CKelvo::Save_Command", [](CKelvo* k) { return k->Save_Command(); }},
    {u"CKelvo::get_Par (ipa 4100 subidx 0 type 3)",
     [](CKelvo* k) {
         Variant v;
         return k->get_Par(0x1004, 0, VT_I4, &v);
     }},
    {u"CKelvo::ReadSafeObject",
     [](CKelvo* k) {
         ULONG value = 0;
         return k->ReadSafeObject(0x6000, 0, &value);
     }},
};

using Concurrency = SimTest;

// Every call succeeds and writes its entry line once, whole, although the
// threads share the link, the link lock and the trace writer, and a reader
// takes entries while they are written.
TEST_F(Concurrency, ObjectsOnOneSerialLinkTraceFromEveryThread) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.114.57", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "6", "--link-com", "3"}));
    trace::LocalTrace trace(TRACE_READ, 4096);
    std::atomic<bool> done{false};
    std::vector<trace::TraceRecord> records;
    std::thread reader([&] {
        while (!done.load()) {
            for (auto& r : trace.Take())
                records.push_back(std::move(r));
            std::this_thread::yield();
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failures] {
            SimDevice d(u"COM:3,921600,N,8,1", true, 6);
            for (int round = 0; round < kRounds; ++round) {
                if (!d.opened || kSteps[round % std::size(kSteps)].run(d.get()) != S_OK)
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    done = true;
    reader.join();
    for (auto& r : trace.Take())
        records.push_back(std::move(r));

    EXPECT_EQ(failures.load(), 0);
    // By sequence number: a reader that meets the writer between its stores
    // of next and count may hand one entry out twice (the trace reader's
    // snapshot, reported); what counts here is that none is lost or mixed.
    std::map<std::uint32_t, std::u16string> entries;
    for (const auto& r : records)
        entries.emplace(r.sequence, r.text);
    std::map<std::u16string, int> seen;
    for (const auto& [sequence, text] : entries)
        ++seen[text];
    for (std::size_t s = 0; s < std::size(kSteps); ++s) {
        const int calls =
            kThreads * static_cast<int>((kRounds + std::size(kSteps) - 1 - s) / std::size(kSteps));
        EXPECT_EQ(seen[kSteps[s].entry], calls) << Utf16ToUtf8(kSteps[s].entry);
    }
}

} // namespace
} // namespace kelvo::test

// Many devices at once. N Kelvo objects on N devices of one kelvo-sim plant,
// each object read by a thread of its own as a host drives it, against a raw
// client that drives N connections to the same devices from one epoll loop
// with the same request bytes. The two sides alternate in rounds of the same
// run, on connections opened once per N. Rows per N: reads per second, the
// client's CPU time (user + system) and context switches per read, and the
// fewest, median and most reads of one connection. Then the resident memory
// of a connected object at the largest N, idle and with its thread reading.
#include "device/kelvo_object.h"
#include "kelvo/runtime.h"
#include "protocol/bytes.h"
#include "support/sim_device.h"

#include "bench_table.h"
#include "sim_child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kFirstAddress[] = "127.0.106.1";
constexpr std::size_t kCounts[] = {1, 16, 64, 256};
constexpr std::size_t kMostDevices = 256;
constexpr std::uint16_t kPort = 17221;
constexpr std::uint16_t kParameter = 0x1004; // 4-byte value in the simulator's table
constexpr std::uint16_t kReadCommand = 0x0201;
constexpr int kTimeoutMs = 3000;
constexpr double kWarmUpSeconds = 0.2;

double g_seconds = 1.0; // per side and round
int g_rounds = 7;
// --side=objects, pool or raw: that side only (to watch one with strace or
// perf); --side=memory or --side=backup: that table only.
std::string g_side;
// --devices=N: that number of devices only.
std::size_t g_devices = 0;

std::string Address(std::size_t index) {
    in_addr a{};
    ::inet_pton(AF_INET, kFirstAddress, &a);
    a.s_addr = htonl(ntohl(a.s_addr) + static_cast<std::uint32_t>(index));
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// CPU time and context switches of the whole process so far.
struct Usage {
    double cpu = 0;
    double switches = 0;

    static Usage Now() {
        rusage r{};
        ::getrusage(RUSAGE_SELF, &r);
        auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return {seconds(r.ru_utime) + seconds(r.ru_stime),
                static_cast<double>(r.ru_nvcsw + r.ru_nivcsw)};
    }
};

// Resident memory of the process in bytes.
double Resident() {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        long size = 0;
        if (std::fscanf(f, "%ld %ld", &size, &pages) != 2)
            pages = 0;
        std::fclose(f);
    }
    return static_cast<double>(pages) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

// What one side did in the measured part of its rounds.
struct Tally {
    std::vector<std::uint64_t> reads; // per connection
    double seconds = 0;
    Usage used;
    std::string error;

    std::uint64_t Total() const {
        std::uint64_t total = 0;
        for (std::uint64_t r : reads)
            total += r;
        return total;
    }
    double PerSecond() const { return seconds > 0 ? static_cast<double>(Total()) / seconds : 0; }
};

// Adds what a round measured: counts at its start and end, and the usage.
void Add(Tally& tally, const std::vector<std::uint64_t>& before,
         const std::vector<std::uint64_t>& after, double seconds, const Usage& from,
         const Usage& to) {
    tally.reads.resize(after.size());
    for (std::size_t i = 0; i < after.size(); ++i)
        tally.reads[i] += after[i] - before[i];
    tally.seconds += seconds;
    tally.used.cpu += to.cpu - from.cpu;
    tally.used.switches += to.switches - from.switches;
}

// ---- The raw client: every connection from one epoll loop ----

class RawClient {
public:
    ~RawClient() { Close(); }

    bool Open(std::size_t count) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        connections_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            Connection& c = connections_[i];
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kPort);
            ::inet_pton(AF_INET, Address(i).c_str(), &a.sin_addr);
            const int one = 1;
            ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                return false;
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = &c;
            if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &event) != 0)
                return false;
        }
        return true;
    }

    void Close() {
        for (Connection& c : connections_) {
            if (c.fd >= 0)
                ::close(c.fd);
        }
        connections_.clear();
        if (epoll_ >= 0)
            ::close(epoll_);
        epoll_ = -1;
    }

    // Reads every parameter of `list` (index, sub-index 0) once on every
    // connection; false on any failure.
    bool ReadList(const std::vector<std::uint16_t>& list) {
        list_ = &list;
        std::size_t left = connections_.size();
        for (Connection& c : connections_) {
            c.next = 0;
            if (!Send(c))
                return false;
        }
        epoll_event events[256];
        while (left > 0) {
            const int n = ::epoll_wait(epoll_, events, 256, kTimeoutMs);
            if (n <= 0)
                return false;
            for (int i = 0; i < n; ++i) {
                auto& c = *static_cast<Connection*>(events[i].data.ptr);
                if (!Receive(c))
                    return false;
                left -= c.waiting ? 0 : 1;
            }
        }
        list_ = nullptr;
        return true;
    }

    // Reads on every connection for the warm-up and then `seconds`.
    bool Round(Tally& tally, double seconds) {
        for (Connection& c : connections_) {
            if (!Send(c))
                return false;
        }
        const Clock::time_point start = Clock::now();
        const Clock::time_point measured = start + Seconds(kWarmUpSeconds);
        const Clock::time_point end = measured + Seconds(seconds);
        std::vector<std::uint64_t> before;
        Usage from;
        epoll_event events[256];
        for (;;) {
            const int n = ::epoll_wait(epoll_, events, 256, kTimeoutMs);
            if (n <= 0)
                return false;
            for (int i = 0; i < n; ++i) {
                if (!Receive(*static_cast<Connection*>(events[i].data.ptr)))
                    return false;
            }
            const Clock::time_point now = Clock::now();
            if (before.empty() && now >= measured) {
                before = Counts();
                from = Usage::Now();
            }
            if (now >= end)
                break;
        }
        const Usage to = Usage::Now();
        const double took =
            std::chrono::duration<double>(Clock::now() - start).count() - kWarmUpSeconds;
        Add(tally, before, Counts(), took, from, to);
        return Drain();
    }

private:
    struct Connection {
        int fd = -1;
        std::uint16_t counter = 0;
        bool waiting = false;
        std::size_t got = 0;
        std::uint8_t answer[10 + 255];
        std::uint64_t reads = 0;
        std::size_t next = 0; // in a list: the parameter being read
    };

    static Clock::duration Seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    std::vector<std::uint64_t> Counts() const {
        std::vector<std::uint64_t> counts;
        for (const Connection& c : connections_)
            counts.push_back(c.reads);
        return counts;
    }

    // The request the component sends for get_Par(ipa, 0): one write; the
    // parameter is 0x1004, or the connection's next one of a list.
    bool Send(Connection& c) const {
        std::uint8_t request[9] = {0, 0, 0, 5, 0, 0, 0, 0, 0};
        stle_u16(request + 1, c.counter);
        stle_u16(request + 4, kReadCommand);
        stle_u16(request + 6, list_ ? (*list_)[c.next] : kParameter);
        c.got = 0;
        c.waiting = true;
        return ::send(c.fd, request, sizeof request, MSG_NOSIGNAL) == sizeof request;
    }

    // Takes what came; a complete answer is checked, counted, and the next
    // request sent.
    bool Receive(Connection& c) {
        const ssize_t n = ::recv(c.fd, c.answer + c.got, sizeof c.answer - c.got, MSG_DONTWAIT);
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        c.got += static_cast<std::size_t>(n);
        if (c.got < 10 || c.got < 10u + c.answer[9])
            return true;
        if (ldle_u16(c.answer + 1) != c.counter || ldle_u16(c.answer + 4) != 0x0210 ||
            c.got != 10u + c.answer[9])
            return false;
        c.waiting = false;
        ++c.reads;
        c.counter = static_cast<std::uint16_t>((c.counter + 1) % 1024);
        if (list_ && ++c.next == list_->size())
            return true;
        return stopping_ || Send(c);
    }

    // Takes the answers still on their way, so the next round starts clean.
    bool Drain() {
        stopping_ = true;
        std::size_t waiting = 0;
        for (const Connection& c : connections_)
            waiting += c.waiting ? 1 : 0;
        while (waiting > 0) {
            epoll_event events[256];
            const int n = ::epoll_wait(epoll_, events, 256, kTimeoutMs);
            if (n <= 0)
                break;
            for (int i = 0; i < n; ++i) {
                auto& c = *static_cast<Connection*>(events[i].data.ptr);
                const bool was = c.waiting;
                if (!Receive(c)) {
                    stopping_ = false;
                    return false;
                }
                waiting -= was && !c.waiting ? 1 : 0;
            }
        }
        stopping_ = false;
        return waiting == 0;
    }

    int epoll_ = -1;
    bool stopping_ = false;
    const std::vector<std::uint16_t>* list_ = nullptr;
    std::vector<Connection> connections_;
};

// ---- The component: one object and one thread per device ----

class ObjectClients {
public:
    bool Open(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::string text = "TCPIP:" + Address(i) + "/" + std::to_string(kPort) + ",3000";
            objects_.push_back(std::make_unique<test::SimDevice>(Utf8ToUtf16(text)));
            if (objects_.back()->opened != 1)
                return false;
        }
        reads_ = std::vector<Counter>(count);
        return true;
    }

    void Close() {
        for (auto& object : objects_)
            (*object)->portAdapter.reset();
        objects_.clear();
    }

    // Every object read for the warm-up and then `seconds`, by a thread of
    // its own (`pool` 0) or by `pool` threads that take the objects in turn
    // (the next one not in use), as a pool works through a queue of reads;
    // `during` runs on this thread half-way through.
    template <class F> bool Round(Tally& tally, double seconds, F during, std::size_t pool = 0) {
        std::atomic<bool> stop{false};
        std::atomic<bool> failed{false};
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> threads;
        auto read = [&](std::size_t i) {
            VARIANT v;
            if ((*objects_[i])->get_Par(kParameter, 0, VT_I4, &v) != S_OK)
                failed = true;
            std::atomic<std::uint64_t>& reads = reads_[i].value;
            reads.store(reads.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        };
        for (std::size_t t = 0; t < (pool ? pool : objects_.size()); ++t) {
            threads.emplace_back([&, t] {
                while (!stop.load(std::memory_order_relaxed) && !failed) {
                    if (!pool) {
                        read(t);
                        continue;
                    }
                    const std::size_t i = next.fetch_add(1) % objects_.size();
                    if (reads_[i].busy.exchange(true))
                        continue;
                    read(i);
                    reads_[i].busy = false;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
        const std::vector<std::uint64_t> before = Counts();
        const Usage from = Usage::Now();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        during();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        const std::vector<std::uint64_t> after = Counts();
        const Usage to = Usage::Now();
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        stop = true;
        for (std::thread& t : threads)
            t.join();
        Add(tally, before, after, took, from, to);
        return !failed;
    }

private:
    struct alignas(64) Counter {
        std::atomic<std::uint64_t> value{0};
        std::atomic<bool> busy{false}; // a pool thread reads the object
    };

    std::vector<std::uint64_t> Counts() const {
        std::vector<std::uint64_t> counts;
        for (const Counter& c : reads_)
            counts.push_back(c.value.load(std::memory_order_relaxed));
        return counts;
    }

    std::vector<std::unique_ptr<test::SimDevice>> objects_;
    std::vector<Counter> reads_;
};

// The threads of a pool: one a core.
std::size_t PoolSize() {
    return std::max(1u, std::thread::hardware_concurrency());
}

// ---- Rows ----

std::string Spread(std::vector<std::uint64_t> reads) {
    if (reads.empty())
        return "";
    std::sort(reads.begin(), reads.end());
    return Format("%.0f", static_cast<double>(reads.front())) + " / " +
           Format("%.0f", static_cast<double>(reads[reads.size() / 2])) + " / " +
           Format("%.0f", static_cast<double>(reads.back()));
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string PerRead(const Tally& t, double value, const char* format) {
    const std::uint64_t total = t.Total();
    return total ? Format(format, value / static_cast<double>(total)) : "";
}

// One N: the objects with a thread each, the objects in a pool and the raw
// client, in rounds, each in turn first. A row per way of driving the objects.
void Compare(Table& table, std::size_t count) {
    struct Side {
        std::string name;
        std::size_t pool = 0; // 0: a thread each; raw: unused
        bool raw = false;
        Tally tally;
        std::vector<double> perSecond; // round by round
        std::vector<double> cpuPerRead;
    };
    std::vector<Side> sides;
    auto add = [&](std::string name, std::size_t pool, bool raw) {
        Side side;
        side.name = std::move(name);
        side.pool = pool;
        side.raw = raw;
        sides.push_back(std::move(side));
    };
    if (g_side.empty() || g_side == "objects")
        add("a thread each", 0, false);
    // Pools of one thread (the raw client's own parallelism) and of one a core.
    for (std::size_t pool : {std::size_t{1}, PoolSize()}) {
        const bool again = pool == PoolSize() && pool == 1;
        if ((g_side.empty() || g_side == "pool") && count > pool && !again)
            add("pool of " + std::to_string(pool) + (pool == 1 ? " thread" : " threads"), pool,
                false);
    }
    if (g_side.empty() || g_side == "raw")
        add("raw", 0, true);
    std::string error;
    for (int round = 0; round < g_rounds && error.empty(); ++round) {
        for (std::size_t k = 0; k < sides.size() && error.empty(); ++k) {
            // A device serves one client at a time: each side connects for
            // its part of the round only.
            Side& side = sides[(k + static_cast<std::size_t>(round)) % sides.size()];
            Tally t;
            if (side.raw) {
                RawClient raw;
                if (!raw.Open(count) || !raw.Round(t, g_seconds))
                    error = "raw client failed";
            } else {
                ObjectClients objects;
                if (!objects.Open(count) || !objects.Round(
                                                t, g_seconds, [] {}, side.pool))
                    error = "objects failed";
                objects.Close();
            }
            side.perSecond.push_back(t.PerSecond());
            side.cpuPerRead.push_back(t.used.cpu /
                                      static_cast<double>(std::max<std::uint64_t>(1, t.Total())));
            Side& into = side;
            into.tally.reads.resize(t.reads.size());
            for (std::size_t i = 0; i < t.reads.size(); ++i)
                into.tally.reads[i] += t.reads[i];
            into.tally.seconds += t.seconds;
            into.tally.used.cpu += t.used.cpu;
            into.tally.used.switches += t.used.switches;
        }
    }
    if (!error.empty()) {
        table.Row({std::to_string(count), error});
        return;
    }
    const Side* raw = sides.back().raw ? &sides.back() : nullptr;
    for (const Side& side : sides) {
        if (side.raw && sides.size() > 1)
            continue;
        const Tally& t = side.tally;
        const double cpu = t.used.cpu / static_cast<double>(std::max<std::uint64_t>(1, t.Total()));
        std::vector<std::string> row{std::to_string(count), side.name,
                                     Format("%.0f", t.PerSecond())};
        if (raw && !side.raw) {
            // Ratios round by round: a burst of load on the machine moves
            // their median less than it moves the totals.
            std::vector<double> ratios;
            std::vector<double> cpuRatios;
            for (std::size_t r = 0; r < side.perSecond.size(); ++r) {
                ratios.push_back(raw->perSecond[r] > 0 ? side.perSecond[r] / raw->perSecond[r] : 0);
                cpuRatios.push_back(side.cpuPerRead[r] / raw->cpuPerRead[r]);
            }
            const double rawCpu = raw->tally.used.cpu / static_cast<double>(raw->tally.Total());
            row.insert(row.end(),
                       {Format("%.0f", raw->tally.PerSecond()), Format("%.3f", Median(ratios)),
                        Duration(cpu * 1e9), Duration(rawCpu * 1e9),
                        Format("%.2f", Median(cpuRatios)), PerRead(t, t.used.switches, "%.2f"),
                        PerRead(raw->tally, raw->tally.used.switches, "%.2f"), Spread(t.reads),
                        Spread(raw->tally.reads)});
        } else {
            row.insert(row.end(), {"", "", Duration(cpu * 1e9), "", "",
                                   PerRead(t, t.used.switches, "%.2f"), "", Spread(t.reads), ""});
        }
        table.Row(row);
    }
    std::fprintf(stderr, "%zu devices: done\n", count);
}

// Resident memory per connected object with `count` objects: idle, read by
// a pool, and each read by a thread of its own.
void Memory(Table& table, std::size_t count) {
    {
        // One object first, so that what the first one sets up once (the
        // transport's class, OpenSSL, the trace) is not charged to all.
        ObjectClients first;
        Tally ignored;
        if (!first.Open(1) || !first.Round(ignored, 0.1, [] {}))
            return table.Row({std::to_string(count), "cannot connect"});
        first.Close();
    }
    ::malloc_trim(0);
    const double base = Resident();
    ObjectClients objects;
    if (!objects.Open(count))
        return table.Row({std::to_string(count), "cannot connect"});
    const double idle = Resident();
    double pooled = 0;
    double running = 0;
    Tally ignored;
    const bool ok = objects.Round(
                        ignored, 1.0, [&] { pooled = Resident(); }, PoolSize()) &&
                    objects.Round(ignored, 1.0, [&] { running = Resident(); });
    objects.Close();
    if (!ok)
        return table.Row({std::to_string(count), "read failed"});
    auto each = [&](double resident) {
        return Format("%.1f KiB", (resident - base) / static_cast<double>(count) / 1024);
    };
    table.Row({std::to_string(count), each(idle), each(pooled), each(running)});
}

// ---- params backup of a parameter list from every device ----

constexpr std::size_t kListSize = 1000;
constexpr std::uint16_t kListFirst = 0x5000;

// Writes into `folder` the plant's state file (0x1004 as usual, and the
// list's parameters, of every number type and text) and the parameter list
// of the backup; returns the list's indexes.
std::vector<std::uint16_t> WriteBackupFiles(const std::string& folder) {
    static constexpr struct {
        const char* type;
        const char* value;
    } kKinds[] = {
        {"i4", "-123456"},           {"u2", "54321"}, {"r4", "1.5"},   {"i8", "-5000000000"},
        {"str", "a parameter text"}, {"u1", "200"},   {"r8", "-2.25"}, {"u4", "3000000000"}};
    std::ofstream state(folder + "/state.xml");
    std::ofstream list(folder + "/list.csv");
    state << "<kelvo-sim><parameters>\n"
             "<parameter index=\"0x1004\" sub=\"0\" type=\"i4\" value=\"-123456\"/>\n";
    list << "ipa,sub,type\n";
    std::vector<std::uint16_t> indexes;
    for (std::size_t i = 0; i < kListSize; ++i) {
        const auto& kind = kKinds[i % std::size(kKinds)];
        const auto ipa = static_cast<std::uint16_t>(kListFirst + i);
        state << "<parameter index=\"" << ipa << "\" sub=\"0\" type=\"" << kind.type
              << "\" value=\"" << kind.value << "\"/>\n";
        list << ipa << ",0," << kind.type << "\n";
        indexes.push_back(ipa);
    }
    state << "</parameters></kelvo-sim>\n";
    return indexes;
}

// The kelvo tool run to its end: its wall time, CPU time, peak resident
// memory and exit status (-1 when it did not start or was killed).
struct ToolRun {
    double seconds = 0;
    double cpu = 0;
    double peakKiB = 0;
    int status = -1;
};

// `out`: where its standard output goes (null: nowhere).
ToolRun RunTool(std::vector<std::string> args, std::string* out = nullptr) {
    const char* own = std::getenv("KELVO_BENCH_TOOL");
    args.insert(args.begin(), own && *own ? own : KELVO_BIN_DIR "/kelvo");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ToolRun run;
    int pipeFds[2] = {-1, -1};
    if (out && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return run;
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(out ? pipeFds[1] : null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (out) {
        ::close(pipeFds[1]);
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            out->append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
              usage.ru_stime.tv_usec / 1e6;
    run.peakKiB = static_cast<double>(usage.ru_maxrss);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// `kelvo params backup` of the list from every device of the plant against
// the raw client reading the same parameters on as many connections, in
// alternating rounds.
void Backup(Table& table, const std::string& folder, const std::vector<std::uint16_t>& list) {
    std::string help;
    RunTool({"params", "--help"}, &help);
    if (help.find("backup") == std::string::npos) {
        table.Note("This kelvo has no `params backup`: no rows.");
        return;
    }
    // The tool's own memory: a backup of one device.
    {
        std::ifstream all(folder + "/devices.txt");
        std::string first;
        std::getline(all, first);
        std::ofstream(folder + "/one.txt") << first << "\n";
    }
    const std::string output = folder + "/sets";
    const ToolRun one = RunTool(
        {"params", "backup", folder + "/list.csv", "--devices", folder + "/one.txt", "-o", output});
    std::vector<double> tool;
    std::vector<double> raw;
    std::vector<double> toolCpu;
    std::vector<double> rawCpu;
    double peakKiB = 0;
    for (int round = 0; round < g_rounds; ++round) {
        auto toolRound = [&] {
            std::filesystem::remove_all(output);
            const ToolRun run = RunTool({"params", "backup", folder + "/list.csv", "--devices",
                                         folder + "/devices.txt", "-o", output});
            if (run.status != 0)
                return false;
            tool.push_back(run.seconds);
            toolCpu.push_back(run.cpu);
            peakKiB = std::max(peakKiB, run.peakKiB);
            return true;
        };
        auto rawRound = [&] {
            const Usage from = Usage::Now();
            const Clock::time_point start = Clock::now();
            RawClient client;
            if (!client.Open(kMostDevices) || !client.ReadList(list))
                return false;
            client.Close();
            raw.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            rawCpu.push_back(Usage::Now().cpu - from.cpu);
            return true;
        };
        const bool ok = round % 2 == 0 ? toolRound() && rawRound() : rawRound() && toolRound();
        if (!ok) {
            table.Row({std::to_string(kMostDevices), "backup failed"});
            return;
        }
    }
    const double reads = static_cast<double>(kMostDevices * list.size());
    table.Row(
        {std::to_string(kMostDevices), Format("%.2f s", Median(tool)),
         Format("%.2f s", Median(raw)), Format("%.3f", Median(tool) / Median(raw)),
         Duration(Median(toolCpu) / reads * 1e9), Duration(Median(rawCpu) / reads * 1e9),
         Format("%.1f MiB", peakKiB / 1024) +
             " (one device: " + Format("%.1f MiB", one.peakKiB / 1024) + "; " +
             Format("%.1f KiB", (peakKiB - one.peakKiB) / static_cast<double>(kMostDevices - 1)) +
             " per further device)"});
    std::fprintf(stderr, "params backup: done\n");
}

int Main(int argc, char** argv) {
    const std::string markdown = TakeMarkdownFlag(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            g_seconds = std::max(0.2, std::atof(argv[i] + 10));
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            g_rounds = std::max(1, std::atoi(argv[i] + 9));
        else if (std::strncmp(argv[i], "--side=", 7) == 0)
            g_side = argv[i] + 7;
        else if (std::strncmp(argv[i], "--devices=", 10) == 0)
            g_devices = static_cast<std::size_t>(std::atol(argv[i] + 10));
    }
    RegisterPortwayClass();
    // Each side holds a descriptor per device.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }

    const std::string folder = "/tmp/kelvo-scale-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::vector<std::uint16_t> list = WriteBackupFiles(folder);
    SimChild sim;
    if (!sim.Start({"--addr", kFirstAddress, "--devices", std::to_string(kMostDevices), "--no-tls",
                    "--state", folder + "/state.xml", "--list-file", folder + "/devices.txt"})) {
        std::fprintf(stderr, "kelvo-sim did not start\n");
        return 1;
    }
    // The plant stands for devices of their own: it should not wait for CPU
    // behind hundreds of client threads (nor behind the rest of the machine).
    const bool favoured = ::setpriority(PRIO_PROCESS, static_cast<id_t>(sim.pid()), -10) == 0;
    if (!favoured)
        std::fprintf(stderr, "kelvo-sim runs at normal priority (not allowed to raise it)\n");

    Table memory("Resident memory per connected Kelvo object",
                 {"objects", "idle", "read by a pool", "each read by its own thread"});
    if ((g_side.empty() && g_devices == 0) || g_side == "memory")
        Memory(memory, kMostDevices);
    memory.Note("Goal: at most 32 KiB. The growth of the process's resident memory from before "
                "the objects were made, divided by their number; while they are read (a pool of "
                "one thread a core, then a thread each), sampled half-way through a second of "
                "reads (with the page of each link's lock file and the threads' stacks).");

    Table scale("Many devices: N objects driven as a host would, against one epoll loop",
                {"devices", "objects driven by", "objects reads/s", "raw reads/s", "ratio",
                 "objects CPU/read", "raw CPU/read", "CPU ratio", "objects switches/read",
                 "raw switches/read", "objects reads per connection (fewest / median / most)",
                 "raw reads per connection"});
    for (std::size_t count : kCounts) {
        if ((g_devices == 0 || g_devices == count) && g_side != "memory" && g_side != "backup")
            Compare(scale, count);
    }
    scale.Note(
        "One kelvo-sim process serves all devices (127.0.106.1 on)" +
        std::string(favoured ? ", at nice -10" : "") +
        ". Objects driven by a thread each, or by a pool of one thread (as many as the raw "
        "client has) or of one thread a core, whose threads take the objects in turn (the next "
        "one no other thread reads). Goals: ratio (the median "
        "over the rounds of objects / raw "
        "reads per second) at least 0.9; CPU ratio (the median over the rounds of the client's "
        "user + system time per read, objects / raw) at most 1.3; the fewest reads of one object "
        "at least half the median. " +
        std::to_string(g_rounds) + " rounds of " + Format("%.1f", g_seconds) +
        " s per side, after a 0.2 s warm-up each; CPU time and context switches are the "
        "benchmark process's own (getrusage), the simulator's not included.\n");

    Table backup("params backup of " + std::to_string(kListSize) + " parameters from " +
                     std::to_string(kMostDevices) + " devices",
                 {"devices", "kelvo params backup", "raw client", "ratio", "tool CPU/read",
                  "raw CPU/read", "tool peak memory"});
    if (g_side.empty() || g_side == "backup")
        Backup(backup, folder, list);
    backup.Note("Wall time from start to end (the tool: process start, connections, Ping for "
                "the header, the reads, the set files; the raw client: connections and reads, "
                "one request on its way per connection), the median over the rounds. Goal: "
                "ratio at most 1.1. The tool runs as a user runs it, with its default --jobs. "
                "Peak memory: the tool's largest resident set (getrusage of the child).");

    std::printf("\n%s%s%s", memory.Text().c_str(), scale.Text().c_str(), backup.Text().c_str());
    memory.Append(markdown);
    scale.Append(markdown);
    backup.Append(markdown);
    std::filesystem::remove_all(folder);
    return 0;
}

} // namespace
} // namespace kelvo::bench

int main(int argc, char** argv) {
    return kelvo::bench::Main(argc, argv);
}

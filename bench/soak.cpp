// Soak: a long mix of every device operation from several threads of two
// processes sharing one serial link of kelvo-sim (plus one TCP object in the
// first process), while a controller injects random faults through the
// simulator's control socket. Reports transactions, failures by code,
// resident memory and open descriptors at start, after warm-up and at the
// end, and fails when memory or descriptors grew beyond a small tolerance
// after warm-up, when a process crashed, or when the link does not serve
// every operation again once the faults stop.
//
//   bench_soak [--duration S] [--threads N] [--seed N] [--warmup S]
#include "device/kelvo_object.h"
#include "support/reset_key.h"
#include "transport/portway/portway.h"

#include "kelvo/automation.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace kelvo;
using Clock = std::chrono::steady_clock;

constexpr char kAddress[] = "127.0.114.100";
constexpr int kCom = 1;
constexpr std::uint8_t kSerialAddress = 3;
constexpr std::int32_t kTimeoutMs = 150;
constexpr std::int32_t kPatientMs = 3000;
const std::string kDescriptions = KELVO_SOURCE_DIR "/tools/kelvo-sim/errorlog";

// Growth allowed after warm-up: resident memory and descriptors.
constexpr long kRssSlackKb = 2048;
constexpr double kRssSlackShare = 0.05;
constexpr long kFdSlack = 2;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own bookkeeping grows with the run; their leak checker
// watches the memory instead.
constexpr bool kCheckMemory = false;
#else
constexpr bool kCheckMemory = true;
#endif

struct Options {
    double duration = 20;
    int threads = 3;
    unsigned seed = 1;
    double warmup = -1; // default: a quarter of the duration
};

// ------------------------------------------------------------ process state

struct Usage {
    long rssKb = 0;
    long fds = 0;
};

Usage MeasureUsage() {
    Usage u;
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    u.rssKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++u.fds;
    return u;
}

bool Grew(const Usage& warm, const Usage& end, std::string& why) {
    const long rssLimit =
        warm.rssKb + std::max(kRssSlackKb, static_cast<long>(warm.rssKb * kRssSlackShare));
    if (kCheckMemory && end.rssKb > rssLimit)
        why += " resident memory " + std::to_string(warm.rssKb) + " -> " +
               std::to_string(end.rssKb) + " kB;";
    if (end.fds > warm.fds + kFdSlack)
        why += " descriptors " + std::to_string(warm.fds) + " -> " + std::to_string(end.fds) + ";";
    return !why.empty();
}

// ------------------------------------------------------------- the simulator

class Simulator {
public:
    ~Simulator() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

    bool Start(const std::vector<std::string>& extra) {
        std::string binary = KELVO_BIN_DIR "/kelvo-sim";
        std::vector<std::string> args = {binary};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            pid_ = 0;
            close(fds[0]);
            return false;
        }
        std::string text;
        char buffer[256];
        while (text.find("ready\n") == std::string::npos) {
            pollfd p = {fds[0], POLLIN, 0};
            ssize_t n = 0;
            if (poll(&p, 1, 20000) <= 0 || (n = read(fds[0], buffer, sizeof buffer)) <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        return text.find("ready\n") != std::string::npos;
    }

private:
    pid_t pid_ = 0;
};

// One plan line on the control socket; true on "ok".
bool Plan(const std::string& socketPath, const std::string& line) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    std::string reply;
    const std::string text = line + "\n";
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        char buffer[128];
        for (ssize_t n;
             reply.find('\n') == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(n));
    }
    if (fd >= 0)
        close(fd);
    return reply == "ok\n";
}

// ------------------------------------------------------------ the operations

struct Worker {
    CKelvo* k = nullptr;
    bool tcp = false;
    std::string dir;
    std::u16string user;     // this worker's own account, made and removed
    std::u16string resetKey; // of the admin key block
};

using Op = std::function<HRESULT(Worker&)>;

SAFEARRAY* Permissions() {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 64);
    auto* items = static_cast<VARIANT*>(array->pvData);
    for (int i = 0; i < 64; ++i) {
        items[i].vt = VT_BOOL;
        items[i].boolVal = i % 2 ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return array;
}

// Every operation that talks to the device, except the two that would spoil
// the shared device for the others: logout (ends the one session) and the
// error-log deletion (the log would stay empty).
const std::vector<std::pair<const char*, Op>>& Operations() {
    static const std::vector<std::pair<const char*, Op>> ops = {
        {"Login", [](Worker& w) { return w.k->Login(u"admin", u"admin", true) ? S_OK : E_FAIL; }},
        {"get_Par",
         [](Worker& w) {
             Variant v;
             return w.k->get_Par(0x1004, 0, VT_I4, &v);
         }},
        {"put_Par",
         [](Worker& w) {
             VARIANT v;
             v.vt = VT_BSTR;
             v.bstrVal = SysAllocString(u"soak");
             const HRESULT hr = w.k->put_Par(0x100A, 1, VT_BSTR, v);
             VariantClear(&v);
             return hr;
         }},
        {"Save", [](Worker& w) { return w.k->Save_Command(); }},
        {"Reset", [](Worker& w) { return w.k->Reset_Command(); }},
        {"Restore", [](Worker& w) { return w.k->Restore_Command(1); }},
        {"ResetError", [](Worker& w) { return w.k->ResetError(2); }},
        {"ReadErrorLog",
         [](Worker& w) {
             Bstr file(Utf8ToUtf16(w.dir + "/entry.xml"));
             Bstr folder(Utf8ToUtf16(kDescriptions));
             return w.k->ReadErrorLog(1, file.get(), folder.get());
         }},
        {"ReadDataBlock",
         [](Worker& w) {
             BYTE buf[64];
             return w.k->ReadDataBlock(0, 0, 0, 0, 16, sizeof buf, buf);
         }},
        {"WriteDataBlock",
         [](Worker& w) {
             BYTE buf[32] = {9, 8, 7};
             return w.k->WriteDataBlock(1, 2, 3, 4, 0, sizeof buf, buf);
         }},
        {"SafeDataRead",
         [](Worker& w) {
             SAFEARRAY* out = nullptr;
             const HRESULT hr = w.k->SafeDataRead(&out);
             SafeArrayDestroy(out);
             return hr;
         }},
        {"SafeDataWrite",
         [](Worker& w) {
             SAFEARRAY* data = SafeArrayCreateVector(VT_UI1, 0, 40);
             const HRESULT hr = w.k->SafeDataWrite(data);
             SafeArrayDestroy(data);
             return hr;
         }},
        {"ReadSafeObject",
         [](Worker& w) {
             ULONG value = 0;
             return w.k->ReadSafeObject(0x6000, 0, &value);
         }},
        {"ReadSSCBuffer",
         [](Worker& w) {
             BYTE buf[100];
             return w.k->ReadSSCBuffer(0, sizeof buf, buf);
         }},
        {"PushDataCommand",
         [](Worker& w) {
             VARIANT none;
             VariantInit(&none);
             LONG result = 0;
             return w.k->PushDataCommand(0, 1, none, &result);
         }},
        {"GetAllUsers",
         [](Worker& w) {
             Bstr users;
             return w.k->GetAllUsers(users.out());
         }},
        {"CreateUser+DeleteUser",
         [](Worker& w) {
             Bstr name(w.user);
             const HRESULT hr = w.k->CreateUser(name.get(), Bstr(u"pw").get());
             const std::int32_t code = w.k->errorCode;
             // A create whose answer was spoiled may still have made the user.
             const HRESULT removed = w.k->DeleteUser(name.get());
             if (FAILED(hr))
                 w.k->errorCode = code;
             return FAILED(hr) ? hr : removed;
         }},
        {"ChangePasswordUser",
         [](Worker& w) {
             return w.k->ChangePasswordUser(Bstr(u"admin").get(), Bstr(u"admin").get());
         }},
        {"ChangePasswordAdmin",
         [](Worker& w) { return w.k->ChangePasswordAdmin(Bstr(u"op").get(), Bstr(u"pw").get()); }},
        {"GetPermissionsAndRole",
         [](Worker& w) {
             Variant v;
             return w.k->GetPermissionsAndRole(Bstr(u"op").get(), &v);
         }},
        {"SetPermissionsAndRole",
         [](Worker& w) {
             Variant bits;
             bits.vt = VT_ARRAY | VT_VARIANT;
             bits.parray = Permissions();
             return w.k->SetPermissionsAndRole(Bstr(u"op").get(), 2, bits);
         }},
        {"GetBVAdminKey",
         [](Worker& w) {
             Bstr key;
             return w.k->GetBVAdminKey(key.out());
         }},
        {"ResetAdminPassword",
         [](Worker& w) { return w.k->ResetAdminPassword(Bstr(w.resetKey).get()); }},
        {"CreateCertificate",
         [](Worker& w) { return w.k->CreateCertificate(1700000000, 1900000000); }},
        {"Ping",
         [](Worker& w) {
             Bstr items;
             return w.k->Ping(10, items.out());
         }},
    };
    return ops;
}

// A Kelvo object on the serial link or on TCP.
class Object {
public:
    explicit Object(bool tcp) : k_(new CKelvo) {
        k_->AddRef();
        k_->tcpMode = tcp ? 1 : 0;
        k_->serialMode = tcp ? 0 : 1;
        k_->address = kSerialAddress;
        k_->timeOut = kPatientMs;
        Reopen();
    }
    ~Object() { k_->Release(); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    bool Reopen() {
        k_->portAdapter = std::make_unique<CComPort>();
        const std::u16string text =
            k_->tcpMode ? u"TCPIP:" + Utf8ToUtf16(kAddress) + u"/17221,3000"
                        : u"COM:" + Utf8ToUtf16(std::to_string(kCom)) + u",921600,N,8,1";
        return k_->portAdapter->open(text.c_str(), nullptr) == 1;
    }
    CKelvo* get() const { return k_; }

private:
    CKelvo* k_;
};

// ------------------------------------------------------------------ one run

struct Tally {
    std::mutex mutex;
    std::uint64_t transactions = 0;
    std::uint64_t ok = 0;
    std::map<int, std::uint64_t> failures; // by errorCode; -1: failed without a code
    std::condition_variable changed;

    void Add(HRESULT hr, int code) {
        std::lock_guard lock(mutex);
        ++transactions;
        if (SUCCEEDED(hr))
            ++ok;
        else
            ++failures[code];
        changed.notify_all();
    }
};

struct Report {
    std::string text;
    bool failed = false;
};

void RunWorker(bool tcp, int index, unsigned seed, Clock::time_point end,
               const std::u16string& resetKey, const std::string& dir, Tally& tally) {
    Object object(tcp);
    Worker w;
    w.k = object.get();
    w.tcp = tcp;
    w.dir = dir + "/w" + std::to_string(getpid()) + "-" + std::to_string(index);
    std::filesystem::create_directories(w.dir);
    w.user =
        u"s" + Utf8ToUtf16(std::to_string(getpid())) + u"x" + Utf8ToUtf16(std::to_string(index));
    w.resetKey = resetKey;
    w.k->userName = u"admin";
    w.k->password = u"admin";
    w.k->Login(u"admin", u"admin", true);
    w.k->timeOut = kTimeoutMs;
    std::mt19937 random(seed);
    const auto& ops = Operations();
    while (Clock::now() < end) {
        const auto& op = ops[random() % ops.size()];
        w.k->errorCode = -1;
        const HRESULT hr = op.second(w);
        tally.Add(hr, w.k->errorCode);
        // A TCP connection cut by the close fault is opened again, as a host
        // would call Init again: it shows as a time-out, then as a failed send.
        if (tcp && FAILED(hr) && (w.k->errorCode == 7 || w.k->errorCode == 8))
            object.Reopen();
    }
}

// The fault kinds the controller picks from.
std::string RandomFault(std::mt19937& random) {
    switch (random() % 11) {
    case 0:
        return "fault silent";
    case 1:
        return "fault cut:" + std::to_string(1 + random() % 12);
    case 2:
        return "fault delay:" + std::to_string(kTimeoutMs + 50 + random() % 200);
    case 3:
        return "fault wrong-counter";
    case 4:
        return "fault wrong-status";
    case 5:
        return "fault device-error:0x0C0FFEE1";
    case 6:
        return "fault device-error:0x15000002"; // lost login: parameters log in again
    case 7:
        return "fault bad-crc";
    case 8:
        return "fault wrong-address";
    case 9:
        return "fault cut:" + std::to_string(random() % 8) + " fault close";
    default:
        return "clear";
    }
}

std::string Describe(const char* who, const Tally& tally, const Usage& start, const Usage& warm,
                     const Usage& end) {
    std::ostringstream out;
    out << "soak: " << who << ": " << tally.transactions << " transactions, " << tally.ok
        << " ok, failures by code:";
    if (tally.failures.empty())
        out << " none";
    for (const auto& [code, count] : tally.failures)
        out << " " << code << ":" << count;
    out << "\nsoak: " << who << ": resident " << start.rssKb << " kB, after warm-up " << warm.rssKb
        << " kB, end " << end.rssKb << " kB; descriptors " << start.fds << ", " << warm.fds << ", "
        << end.fds << "\n";
    return out.str();
}

// Runs the workers of one process; the first process also injects faults.
Report RunProcess(const Options& options, bool first, const std::u16string& resetKey,
                  const std::string& dir, const std::string& control) {
    const Usage start = MeasureUsage();
    const Clock::time_point begin = Clock::now();
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const Clock::time_point warmEnd = begin + seconds(options.warmup);
    const Clock::time_point end = begin + seconds(options.duration);
    const unsigned base = options.seed * 1000u + (first ? 0u : 500u);

    Tally tally;
    std::vector<std::thread> threads;
    for (int i = 0; i < options.threads; ++i)
        threads.emplace_back(RunWorker, false, i, base + static_cast<unsigned>(i), end,
                             std::cref(resetKey), std::cref(dir), std::ref(tally));
    if (first)
        threads.emplace_back(RunWorker, true, options.threads, base + 100u, end,
                             std::cref(resetKey), std::cref(dir), std::ref(tally));

    // Faults at random points of the transaction stream; usage samples at
    // the end of the warm-up and just before the end, objects all open.
    std::mt19937 random(base + 200u);
    Usage warm;
    bool warmTaken = false;
    std::uint64_t injected = 0;
    {
        std::unique_lock lock(tally.mutex);
        const Clock::time_point last = end - seconds(std::min(0.5, options.duration / 10));
        while (Clock::now() < last) {
            const std::uint64_t next = tally.transactions + 3 + random() % 20;
            const Clock::time_point until = warmTaken ? last : std::min(last, warmEnd);
            tally.changed.wait_until(lock, until, [&] { return tally.transactions >= next; });
            if (!warmTaken && Clock::now() >= warmEnd) {
                lock.unlock();
                warm = MeasureUsage();
                lock.lock();
                warmTaken = true;
            }
            if (first && tally.transactions >= next) {
                lock.unlock();
                Plan(control, RandomFault(random) + " at 1 count 1");
                ++injected;
                lock.lock();
            }
        }
    }
    if (!warmTaken)
        warm = MeasureUsage();
    const Usage last = MeasureUsage();
    for (std::thread& t : threads)
        t.join();

    Report report;
    report.text = Describe(first ? "process 1" : "process 2", tally, start, warm, last);
    if (first)
        report.text += "soak: process 1: " + std::to_string(injected) + " faults injected\n";
    std::string why;
    if (Grew(warm, last, why)) {
        report.failed = true;
        report.text += std::string("soak: ") + (first ? "process 1" : "process 2") +
                       ": grew after warm-up:" + why + "\n";
    }
    if (tally.ok == 0) {
        report.failed = true;
        report.text += "soak: no transaction succeeded\n";
    }
    return report;
}

// After the faults: every operation works again on a fresh object, first
// over the serial link, then over TCP.
bool Recovers(const std::u16string& resetKey, const std::string& dir, std::string& text) {
    bool ok = true;
    for (bool tcp : {false, true}) {
        Object object(tcp);
        Worker w;
        w.k = object.get();
        w.tcp = tcp;
        w.dir = dir + "/final";
        std::filesystem::create_directories(w.dir);
        w.user = u"final";
        w.resetKey = resetKey;
        w.k->userName = u"admin";
        // A late answer of the last fault may still be on its way: the first
        // save that succeeds shows the line is quiet again.
        for (int i = 0; i < 5 && w.k->Save_Command() != S_OK; ++i) {
            if (tcp)
                object.Reopen();
        }
        for (const auto& [name, op] : Operations()) {
            if (op(w) == S_OK)
                continue;
            ok = false;
            text += std::string("soak: after the faults ") + name + (tcp ? " (TCP)" : " (serial)") +
                    " failed with code " + std::to_string(w.k->errorCode) + "\n";
        }
    }
    return ok;
}

int Run(Options options) {
    if (options.warmup < 0)
        options.warmup = options.duration / 4;
    RegisterPortwayClass();
    char pattern[] = "/tmp/kelvo-soak-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("soak: mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    setenv("KELVO_DEVICES", (dir + "/devices").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string control = dir + "/control";
    {
        std::ofstream state(dir + "/state.xml");
        state << "<kelvo-sim><users>"
                 "<user name=\"admin\" password=\"admin\" role=\"1\" "
                 "permissions=\"0xFFFFFFFFFFFFFFFF\"/>"
                 "<user name=\"op\" password=\"pw\" role=\"2\"/>"
                 "</users></kelvo-sim>\n";
    }

    int status = 1;
    {
        Simulator sim;
        if (!sim.Start({"--addr", kAddress, "--no-tls", "--serial", "--serial-address",
                        std::to_string(kSerialAddress), "--link-com", std::to_string(kCom),
                        "--control", control, "--state", dir + "/state.xml", "--exit-after-seconds",
                        std::to_string(options.duration + 120)})) {
            std::fprintf(stderr, "soak: kelvo-sim did not start\n");
            std::filesystem::remove_all(dir);
            return 1;
        }
        std::u16string resetKey;
        {
            Object setup(false);
            Bstr key;
            if (setup.get()->GetBVAdminKey(key.out()) == S_OK)
                resetKey = ResetKeyOf(key.view());
        }
        std::printf("soak: %.1f s, %d threads per process, seed %u, warm-up %.1f s\n",
                    options.duration, options.threads, options.seed, options.warmup);
        std::fflush(stdout);

        // The second process is forked before any thread exists.
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            std::perror("soak: pipe");
            return 1;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(pipeFds[0]);
            Report report = RunProcess(options, false, resetKey, dir, control);
            [[maybe_unused]] ssize_t n = write(pipeFds[1], report.text.data(), report.text.size());
            close(pipeFds[1]);
            std::fflush(nullptr);
            _exit(report.failed ? 1 : 0);
        }
        close(pipeFds[1]);
        Report report = RunProcess(options, true, resetKey, dir, control);
        std::string childText;
        char buffer[512];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            childText.append(buffer, static_cast<std::size_t>(n));
        close(pipeFds[0]);
        int childStatus = 0;
        waitpid(child, &childStatus, 0);
        const bool childOk = WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0;

        Plan(control, "clear");
        std::string recovery;
        const bool recovered = Recovers(resetKey, dir, recovery);
        std::fputs(report.text.c_str(), stdout);
        std::fputs(childText.c_str(), stdout);
        std::fputs(recovery.c_str(), stdout);
        if (!WIFEXITED(childStatus))
            std::printf("soak: process 2 ended abnormally (status %d)\n", childStatus);
        const bool passed = !report.failed && childOk && recovered;
        std::printf("soak: %s\n", passed ? "passed" : "FAILED");
        status = passed ? 0 : 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app("Soak of the Kelvo component against kelvo-sim with random faults");
    app.add_option("--duration", options.duration, "seconds of load (default 20)")
        ->check(CLI::PositiveNumber);
    app.add_option("--threads", options.threads, "serial-link threads per process (default 3)")
        ->check(CLI::Range(1, 64));
    app.add_option("--seed", options.seed, "seed of the operation mix and the faults (default 1)");
    app.add_option("--warmup", options.warmup,
                   "seconds before the usage baseline (default a quarter of the duration)")
        ->check(CLI::NonNegativeNumber);
    CLI11_PARSE(app, argc, argv);
    return Run(options);
}

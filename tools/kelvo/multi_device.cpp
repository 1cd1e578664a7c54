#include "multi_device.h"

#include "device/kelvo_object.h"
#include "stop_signals.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace kelvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

std::string_view Trim(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Names become file names in -o DIR.
bool UsableName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos;
}

struct ReleaseObject {
    void operator()(CKelvo* object) const { object->Release(); }
};

// The one place that writes to the console while bars or a table are drawn.
std::mutex gConsole;

} // namespace

// ---- progress bars ----

// One bar per running device and one overall, redrawn on standard error while
// it is a terminal; every console line of the run goes through it.
class ProgressView {
public:
    struct Slot {
        std::atomic<int> state{0}; // 0 waiting, 1 running, 2 done
        std::atomic<std::size_t> done{0};
        std::atomic<std::size_t> failed{0};
        std::atomic<std::size_t> total{0};
    };

    ProgressView(const std::vector<DeviceResult>& results, std::size_t total, bool on)
        : results_(results), slots_(results.size()) {
        for (Slot& slot : slots_)
            slot.total = total;
        if (!on || !isatty(STDERR_FILENO))
            return;
        on_ = true;
        thread_ = std::thread([this] { Loop(); });
    }
    ~ProgressView() { Stop(); }
    ProgressView(const ProgressView&) = delete;
    ProgressView& operator=(const ProgressView&) = delete;

    Slot& operator[](std::size_t i) { return slots_[i]; }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void Print(std::FILE* stream, std::string_view text) {
        std::lock_guard console(gConsole);
        Erase();
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
        Draw();
    }

private:
    void Loop() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            {
                std::lock_guard console(gConsole);
                Erase();
                Draw();
            }
            wake_.wait_for(lock, std::chrono::milliseconds(100));
        }
        std::lock_guard console(gConsole);
        Erase();
        on_ = false;
    }

    static std::string Bar(std::size_t done, std::size_t total, std::size_t width) {
        const std::size_t filled = total ? std::min(width, done * width / total) : width;
        return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
    }

    // With gConsole held.
    void Draw() {
        if (!on_)
            return;
        winsize size{};
        const bool known = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0;
        const std::size_t rows = known ? size.ws_row : 24;
        const std::size_t cols = known && size.ws_col > 20 ? size.ws_col : 80;
        std::size_t nameWidth = 6;
        for (const DeviceResult& r : results_)
            nameWidth = std::max(nameWidth, std::min<std::size_t>(r.target.name.size(), 20));

        std::vector<std::string> lines;
        std::size_t finished = 0;
        std::size_t done = 0;
        std::size_t failed = 0;
        std::size_t all = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const int state = slots_[i].state.load();
            const std::size_t d = slots_[i].done.load();
            const std::size_t f = slots_[i].failed.load();
            const std::size_t total = slots_[i].total.load();
            finished += state == 2;
            done += state == 2 ? total : d;
            all += total;
            failed += f;
            if (state != 1 || lines.size() + 2 >= rows)
                continue;
            std::string name = results_[i].target.name.substr(0, nameWidth);
            name.resize(nameWidth, ' ');
            lines.push_back(name + " " + Bar(d, total, 20) + " " + std::to_string(d) + "/" +
                            std::to_string(total) +
                            (f ? "  " + std::to_string(f) + " failed" : std::string()));
        }
        std::string name = "all";
        name.resize(nameWidth, ' ');
        lines.push_back(name + " " + Bar(done, all, 20) + " " + std::to_string(finished) + "/" +
                        std::to_string(slots_.size()) + " devices, " + std::to_string(done) + "/" +
                        std::to_string(all) + " parameters" +
                        (failed ? ", " + std::to_string(failed) + " failed" : std::string()));
        std::string text;
        for (std::string& line : lines) {
            if (line.size() >= cols)
                line.resize(cols - 1);
            text += line + "\033[K\n";
        }
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        drawn_ = lines.size();
    }

    // With gConsole held: moves back over the bars and clears them.
    void Erase() {
        if (drawn_ == 0)
            return;
        std::fprintf(stderr, "\033[%zuA\r\033[J", drawn_);
        drawn_ = 0;
    }

    const std::vector<DeviceResult>& results_;
    std::vector<Slot> slots_;
    std::size_t drawn_ = 0;
    bool on_ = false; // drawing, with gConsole held
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

namespace {
ProgressView* gView = nullptr; // the view of the running command, for ConsolePrint
} // namespace

void ConsolePrint(std::FILE* stream, std::string_view text) {
    if (gView) {
        gView->Print(stream, text);
        return;
    }
    std::lock_guard console(gConsole);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::unique_lock<std::mutex> LockConsole() {
    return std::unique_lock<std::mutex>(gConsole);
}

// ---- device list ----

std::vector<DeviceTarget> ReadDevicesFile(const std::string& path,
                                          std::vector<std::string>& errors) {
    std::vector<DeviceTarget> targets;
    std::ifstream in(path);
    if (!in) {
        errors.push_back(path + ": cannot read: " + std::strerror(errno));
        return targets;
    }
    std::set<std::string> names;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string_view text = Trim(line);
        if (text.empty() || text.starts_with('#'))
            continue;
        const std::size_t blank = text.find_first_of(" \t");
        const std::string at = path + ":" + std::to_string(number) + ": ";
        if (blank == std::string_view::npos) {
            errors.push_back(at + "NAME CONNECTION-TEXT expected");
            continue;
        }
        DeviceTarget target{std::string(text.substr(0, blank)),
                            std::string(Trim(text.substr(blank)))};
        if (!UsableName(target.name))
            errors.push_back(at + "the name '" + target.name +
                             "' cannot name a file (no '/', not starting with '.')");
        else if (!names.insert(target.name).second)
            errors.push_back(at + "the name '" + target.name + "' is given twice");
        else
            targets.push_back(std::move(target));
    }
    return targets;
}

std::string NameOfConnection(std::string_view text) {
    const std::size_t hash = text.find('#');
    std::string_view transport = hash == std::string_view::npos ? text : text.substr(hash + 1);
    const std::size_t colon = transport.find(':');
    if (colon == std::string_view::npos)
        return "device";
    std::string kind(transport.substr(0, colon));
    for (char& c : kind)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string_view rest = transport.substr(colon + 1);
    rest = rest.substr(0, rest.find_first_of(kind == "TCPIP" ? "/," : ","));
    std::string name = kind == "TCPIP" ? std::string(rest) : kind + std::string(rest);
    std::replace(name.begin(), name.end(), '/', '_');
    return UsableName(name) ? name : "device";
}

std::string WithoutPassword(std::string_view text) {
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos)
        return std::string(text);
    // The device part's pieces are cut at ':' and ','; the sixth is the password.
    const std::string_view device = text.substr(0, hash);
    int piece = 0;
    bool inPiece = false;
    for (std::size_t i = 0; i < device.size(); ++i) {
        const bool separator = device[i] == ':' || device[i] == ',';
        if (!separator && !inPiece && ++piece == 6)
            return std::string(device.substr(0, i)) + "***" + std::string(text.substr(hash));
        inPiece = !separator;
    }
    return std::string(text);
}

std::string ErrorLine(IKelvo& object, HRESULT hr, const std::string& fallback) {
    SHORT code = 0;
    object.get_ErrorCode(&code);
    if (code == 0)
        return "error: " + fallback + " failed (hresult " + Hex32(static_cast<std::uint32_t>(hr)) +
               ")";
    Bstr text;
    object.get_ErrorString(text.out());
    std::string line = "error " + std::to_string(code) + ": " + Utf16ToUtf8(text.view());
    if (code == KE_DEVICE) {
        LONG status = 0;
        object.get_DeviceStatus(&status);
        line += ", device " + Hex32(static_cast<std::uint32_t>(status));
    }
    return line;
}

void DeviceOptions::Add(CLI::App& command, const char* outputHelp) {
    command.add_option("--devices", devicesFile,
                       "a file of devices, one 'NAME CONNECTION-TEXT' a line (with or "
                       "instead of -c)");
    command.add_option("--jobs", jobs, "devices served at once (default: all, at most 64)")
        ->check(CLI::Range(1, 4096));
    command.add_option("-o,--output", output, outputHelp);
    command.add_flag("--ram", ram, "the working (RAM) values: EEPROMAccess false");
}

// ---- the run ----

void DeviceContext::Step(bool failed) {
    ++result.parameters;
    ProgressView::Slot& slot = view_[slot_];
    slot.done.fetch_add(1, std::memory_order_relaxed);
    if (failed) {
        ++result.failures;
        slot.failed.fetch_add(1, std::memory_order_relaxed);
    }
}

void DeviceContext::SetTotal(std::size_t total) {
    view_[slot_].total = total;
}

void DeviceContext::Line(std::string_view text) {
    if (output_) {
        std::fwrite(text.data(), 1, text.size(), output_);
        std::fputc('\n', output_);
        return;
    }
    if (json_)
        return;
    std::string line = prefix_ ? result.target.name + ": " : std::string();
    line.append(text);
    line += '\n';
    view_.Print(stdout, line);
}

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

std::string Pad(std::string text, std::size_t width, bool right) {
    if (text.size() >= width)
        return text;
    return right ? std::string(width - text.size(), ' ') + text
                 : text + std::string(width - text.size(), ' ');
}

// The sums over all devices of a run.
struct Totals {
    std::size_t parameters = 0;
    std::size_t failures = 0;
    std::size_t counted = 0;
    std::size_t unreached = 0; // devices that failed as a whole
};

Totals Sum(const std::vector<DeviceResult>& results) {
    Totals t;
    for (const DeviceResult& r : results) {
        t.parameters += r.parameters;
        t.failures += r.failures;
        t.counted += r.counted;
        t.unreached += !r.failure.empty();
    }
    return t;
}

std::string SummaryTable(const DeviceCommand& command, const std::vector<DeviceResult>& results,
                         double seconds) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"device", "parameters", "failures"});
    if (command.countLabel)
        rows[0].push_back(command.countLabel);
    rows[0].insert(rows[0].end(), {"time", "result"});
    const auto [parameters, failures, counted, unreached] = Sum(results);
    for (const DeviceResult& r : results) {
        std::vector<std::string> row{r.target.name, std::to_string(r.parameters),
                                     std::to_string(r.failures)};
        if (command.countLabel)
            row.push_back(std::to_string(r.counted));
        row.push_back(Seconds(r.seconds));
        row.push_back(!r.failure.empty() ? r.failure
                      : r.failures       ? std::to_string(r.failures) + " failed"
                                         : "ok");
        rows.push_back(std::move(row));
    }
    std::vector<std::string> total{"all " + std::to_string(results.size()),
                                   std::to_string(parameters), std::to_string(failures)};
    if (command.countLabel)
        total.push_back(std::to_string(counted));
    total.push_back(Seconds(seconds));
    std::string note;
    if (unreached)
        note = std::to_string(unreached) + " device" + (unreached > 1 ? "s" : "") + " failed";
    if (failures)
        note += (note.empty() ? "" : ", ") + std::to_string(failures) + " parameter" +
                (failures > 1 ? "s" : "") + " failed";
    total.push_back(note.empty() ? "ok" : note);
    rows.push_back(std::move(total));

    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c + 1 < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const bool last = c + 1 == row.size();
            line += last ? row[c] : Pad(row[c], widths[c], c > 0) + "  ";
        }
        text += line + "\n";
    }
    return text;
}

nlohmann::ordered_json SummaryJson(const Tool& tool, const DeviceCommand& command,
                                   const std::vector<DeviceResult>& results, double seconds,
                                   int status) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    const auto [parameters, failures, counted, unreached] = Sum(results);
    for (const DeviceResult& r : results) {
        nlohmann::ordered_json row = {
            {"name", r.target.name},
            {"connection", tool.Masked(WithoutPassword(r.target.connection))},
            {"ok", r.failure.empty() && r.failures == 0},
            {"reached", r.reached},
            {"error", nullptr},
            {"parameters", r.parameters},
            {"failures", r.failures}};
        if (!r.failure.empty())
            row["error"] = r.failure;
        if (command.countLabel)
            row[command.countLabel] = r.counted;
        row["seconds"] = r.seconds;
        row["file"] = r.file.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.file);
        if (r.details.is_object())
            row.update(r.details);
        devices.push_back(std::move(row));
    }
    nlohmann::ordered_json summary = {{"command", command.what},    {"ok", status == kExitOk},
                                      {"status", status},           {"devices", results.size()},
                                      {"failedDevices", unreached}, {"parameters", parameters},
                                      {"failures", failures}};
    if (command.countLabel)
        summary[command.countLabel] = counted;
    summary["seconds"] = seconds;
    summary["inputErrors"] = command.inputErrors;
    if (!tool.Warnings().empty())
        summary["warnings"] = tool.Warnings();
    summary["results"] = std::move(devices);
    return summary;
}

} // namespace

int RunOnDevices(Tool& tool, const DeviceOptions& options, const DeviceCommand& command) {
    std::vector<DeviceResult> results;
    std::set<std::string> names;
    // $KELVO_CONF stands for -c only when no --devices file is given.
    const char* environment = std::getenv("KELVO_CONF");
    const bool fromEnvironment =
        environment && tool.Connections().size() == 1 && tool.Connections().front() == environment;
    for (const std::string& connection : tool.Connections()) {
        if (connection.empty() || (fromEnvironment && !options.devicesFile.empty()))
            continue;
        DeviceResult r;
        r.target = {NameOfConnection(connection), connection};
        // Two devices on one host: drive, drive-2, drive-3 ...
        const std::string base = r.target.name;
        for (int n = 2; !names.insert(r.target.name).second; ++n)
            r.target.name = base + "-" + std::to_string(n);
        results.push_back(std::move(r));
    }
    if (!options.devicesFile.empty()) {
        std::vector<std::string> errors;
        for (DeviceTarget& target : ReadDevicesFile(options.devicesFile, errors)) {
            if (!names.insert(target.name).second)
                errors.push_back(options.devicesFile + ": the name '" + target.name +
                                 "' is also the name of a -c device");
            DeviceResult r;
            r.target = std::move(target);
            results.push_back(std::move(r));
        }
        if (!errors.empty()) {
            std::string all;
            for (const std::string& e : errors)
                all += (all.empty() ? "" : "\nerror: ") + e;
            return tool.Usage(all);
        }
    }
    if (results.empty())
        return tool.Usage(command.what +
                          " needs a device: -c CONNECTION-TEXT (repeatable) or --devices FILE");
    if (command.outputNeeded && options.output.empty())
        return tool.Usage(command.what + " needs -o FILE (one device) or -o DIR");
    std::size_t jobs = options.jobs
                           ? options.jobs
                           : std::min<std::size_t>(results.size(), DeviceOptions::kDefaultJobs);
    jobs = std::min(jobs, results.size());
    if (command.allAtOnce && jobs < results.size())
        return tool.Usage(command.what + " without --count runs every device at once: --jobs " +
                          std::to_string(jobs) + " is below the " + std::to_string(results.size()) +
                          " devices");
    if (!tool.PrepareLogin())
        return kExitUsage;

    // -o: one file for one device, else a folder with a file per device.
    namespace fs = std::filesystem;
    std::error_code ec;
    const bool folder =
        !options.output.empty() && (results.size() > 1 || fs::is_directory(options.output, ec));
    if (folder && !fs::is_directory(options.output, ec) &&
        !fs::create_directories(options.output, ec))
        return tool.Usage("cannot make the folder " + options.output + ": " + ec.message());
    for (DeviceResult& r : results) {
        if (!options.output.empty())
            r.file = folder
                         ? (fs::path(options.output) / (r.target.name + command.extension)).string()
                         : options.output;
    }

    for (const std::string& e : command.inputErrors)
        std::fprintf(stderr, "error: %s\n", e.c_str());

    ProgressView view(results, command.total, command.bars);
    gView = &view;
    const bool several = results.size() > 1;
    const auto start = Clock::now();
    std::atomic<std::size_t> next{0};
    auto serve = [&](std::size_t i) {
        DeviceResult& r = results[i];
        if (StopSignal()) { // Ctrl-C or SIGTERM: the devices not begun are left alone
            r.failure = "not begun: stopped by a signal";
            view[i].state = 2;
            return;
        }
        view[i].state = 1;
        const auto begin = Clock::now();
        std::unique_ptr<CKelvo, ReleaseObject> object(new CKelvo);
        object->AddRef();
        r.failure = tool.OpenDevice(*object, r.target.connection);
        HRESULT hr = S_OK;
        if (r.failure.empty() && options.ram &&
            FAILED(hr = object->put_EEPROMAccess(VARIANT_FALSE)))
            r.failure = ErrorLine(*object, hr, "put EEPROMAccess");
        if (r.failure.empty()) {
            r.reached = true;
            std::FILE* file = nullptr;
            if (!r.file.empty() && !command.ownFile) {
                file = std::fopen(r.file.c_str(), "w");
                if (!file)
                    r.failure = "cannot write " + r.file + ": " + std::strerror(errno);
            }
            if (r.failure.empty()) {
                DeviceContext context(*object, r, view, i, file, several && command.prefix,
                                      tool.Json());
                context.outputPath = command.ownFile ? r.file : std::string();
                command.run(context);
            }
            if (file && std::fclose(file) != 0 && r.failure.empty())
                r.failure = "cannot write " + r.file + ": " + std::strerror(errno);
        }
        object.reset(); // Close: logs out and drops the connection
        if (!r.reached)
            r.file.clear();
        r.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        view[i].state = 2;
    };
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < results.size();)
            serve(i);
    };
    std::vector<std::thread> threads;
    for (std::size_t j = 1; j < jobs; ++j)
        threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    view.Stop();
    gView = nullptr;
    if (command.afterRun)
        command.afterRun();

    bool failed = !command.inputErrors.empty();
    bool different = false;
    for (const DeviceResult& r : results) {
        failed |= !r.failure.empty() || r.failures > 0;
        different |= command.countIsDifference && r.counted > 0;
    }
    const int status = failed ? kExitFailed : different ? kExitDifferent : kExitOk;
    std::FILE* summary = command.summaryStream ? command.summaryStream : stdout;
    if (tool.Json()) {
        std::printf("%s\n", JsonText(SummaryJson(tool, command, results, seconds, status)).c_str());
    } else if (several) {
        std::fputs(SummaryTable(command, results, seconds).c_str(), summary);
    } else {
        const DeviceResult& r = results.front();
        if (!r.failure.empty())
            std::fprintf(stderr, "%s: %s\n", r.target.name.c_str(), r.failure.c_str());
        else if (r.failures)
            std::fprintf(stderr, "%s: %zu of %zu parameters failed\n", r.target.name.c_str(),
                         r.failures, r.parameters);
    }
    std::fflush(stdout);
    return status;
}

} // namespace kelvo::tool

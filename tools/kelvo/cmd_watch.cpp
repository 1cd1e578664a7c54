// watch: a few parameters read again and again, on one or many devices; a
// live table on a terminal, CSV lines with time stamps on a pipe or in -o files.
#include "commands.h"
#include "multi_device.h"
#include "param_set.h"
#include "stop_signals.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

namespace kelvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct WatchArgs {
    DeviceOptions devices;
    std::vector<std::string> words;
    std::string file;
    unsigned interval = 1000;
    unsigned long count = 0;
};

// Local time with milliseconds, e.g. 2024-05-01T12:00:00.123+0200.
std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%s", date, static_cast<int>(ms.count()), zone);
    return text;
}

// The values of every device, redrawn on standard output while it is a
// terminal.
class LiveTable {
public:
    LiveTable(const std::vector<ParamEntry>& params, bool on) : params_(params) {
        if (!on)
            return;
        thread_ = std::thread([this] { Loop(); });
    }
    ~LiveTable() { Stop(); }
    LiveTable(const LiveTable&) = delete;
    LiveTable& operator=(const LiveTable&) = delete;

    // Draws the last values and stops redrawing.
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void Set(std::size_t device, const std::string& name, const std::vector<std::string>& values,
             const std::string& time) {
        std::lock_guard lock(mutex_);
        if (device >= rows_.size())
            rows_.resize(device + 1);
        Row& row = rows_[device];
        row.name = name;
        row.values = values;
        row.time = time;
        changed_ = true;
    }

private:
    struct Row {
        std::string name;
        std::vector<std::string> values;
        std::string time;
    };

    void Loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (changed_)
                Draw();
            changed_ = false;
            if (stop_)
                return;
            wake_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }

    static std::string Cell(std::string text, std::size_t width) {
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; },
            ' ');
        if (text.size() > width)
            text = text.substr(0, width - 1) + "~";
        return text + std::string(width - text.size() + 2, ' ');
    }

    // With mutex_ held.
    void Draw() {
        std::vector<std::string> labels;
        std::size_t nameWidth = 6;
        std::size_t labelWidth = 9;
        for (const ParamEntry& p : params_) {
            labels.push_back(p.name.empty() ? ParamLabel(p) : p.name);
            labelWidth = std::min<std::size_t>(std::max(labelWidth, labels.back().size()), 32);
        }
        for (const Row& row : rows_)
            nameWidth = std::min<std::size_t>(std::max(nameWidth, row.name.size()), 20);
        std::string text = Cell("device", nameWidth) + Cell("parameter", labelWidth) +
                           Cell("type", 4) + "value\033[K\n";
        std::size_t lines = 1;
        for (const Row& row : rows_) {
            if (row.name.empty())
                continue;
            for (std::size_t i = 0; i < row.values.size(); ++i, ++lines)
                text += Cell(i == 0 ? row.name : "", nameWidth) + Cell(labels[i], labelWidth) +
                        Cell(ParamTypeName(params_[i].type), 4) + Cell(row.values[i], 40) +
                        (i == 0 ? row.time : "") + "\033[K\n";
        }
        auto console = LockConsole();
        if (drawn_ > 0)
            std::printf("\033[%zuA\r", drawn_);
        std::fputs(text.c_str(), stdout);
        std::fputs("\033[J", stdout);
        std::fflush(stdout);
        drawn_ = lines;
    }

    const std::vector<ParamEntry>& params_;
    std::vector<Row> rows_;
    std::size_t drawn_ = 0;
    bool changed_ = false;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

std::string CsvHeader(const std::vector<ParamEntry>& params) {
    std::string line = "time,device";
    for (const ParamEntry& p : params)
        line += "," + CsvField(p.name.empty() ? ParamLabel(p) : p.name);
    return line;
}

// Waits until `next`, or less when the watch is stopped.
void WaitUntil(Clock::time_point next) {
    while (!StopSignal()) {
        const auto now = Clock::now();
        if (now >= next)
            return;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(next - now, std::chrono::milliseconds(50)));
    }
}

void Watch(DeviceContext& d, const std::vector<ParamEntry>& params, const WatchArgs& args,
           LiveTable& table, bool csvOnStdout) {
    const bool csv = d.HasFile() || csvOnStdout;
    if (d.HasFile())
        d.Line(CsvHeader(params));
    const auto interval = std::chrono::milliseconds(args.interval);
    auto next = Clock::now();
    std::vector<std::string> values(params.size());
    std::string line;
    for (unsigned long n = 0; (args.count == 0 || n < args.count) && !StopSignal(); ++n) {
        if (n > 0)
            WaitUntil(next);
        if (StopSignal())
            break;
        next = std::max(next + interval, Clock::now());
        const std::string time = Timestamp();
        for (std::size_t i = 0; i < params.size(); ++i) {
            const ParamEntry& p = params[i];
            Variant value;
            const HRESULT hr = d.object.get_Par(p.ipa, p.sub, static_cast<SHORT>(p.type), &value);
            if (SUCCEEDED(hr)) {
                values[i] = ValueText(value);
            } else {
                SHORT code = 0;
                d.object.get_ErrorCode(&code);
                values[i] = "error " + std::to_string(code);
            }
            d.Step(FAILED(hr));
        }
        table.Set(d.Index(), d.result.target.name, values, time);
        if (!csv)
            continue;
        line = time + "," + CsvField(d.result.target.name);
        for (const std::string& v : values)
            line += "," + CsvField(v);
        d.Line(line);
    }
}

} // namespace

void AddWatchCommand(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<WatchArgs>();
    CLI::App* watch = app.add_subcommand(
        "watch", "read parameters again and again: a live table, or CSV lines on a pipe");
    watch->add_option("IPA SUB TYPE", args->words, "parameters as IPA SUB TYPE triples");
    watch->add_option("--file", args->file,
                      "a list of parameters (CSV, JSON or IPA SUB TYPE lines)");
    watch->add_option("--interval", args->interval,
                      "milliseconds from one reading to the next (default 1000)");
    watch->add_option("--count", args->count,
                      "readings per device, then stop (default: until Ctrl-C)");
    args->devices.Add(*watch, "CSV lines into FILE for one device, DIR/NAME.csv for several");
    watch->footer("CSV: time,device and one column per parameter; a failed reading shows "
                  "'error N'. Ctrl-C ends the watch after the current reading.");
    watch->callback([&tool, args] {
        if (args->words.size() % 3 != 0)
            throw CLI::ValidationError("IPA SUB TYPE", "parameters come as IPA SUB TYPE triples");
        std::vector<ParamEntry> params;
        for (std::size_t i = 0; i < args->words.size(); i += 3) {
            ParamEntry entry;
            std::string error;
            if (!ParamFromWords(args->words[i], args->words[i + 1], args->words[i + 2], entry,
                                error))
                throw CLI::ValidationError("IPA SUB TYPE", error);
            params.push_back(std::move(entry));
        }
        tool.SetRunner([args, params](Tool& t) mutable {
            std::vector<std::string> inputErrors;
            if (!args->file.empty()) {
                ParamFile file = ReadParamFile(args->file);
                if (file.entries.empty() && !file.errors.empty())
                    return t.Usage(file.errors.front());
                inputErrors = file.errors;
                params.insert(params.end(), file.entries.begin(), file.entries.end());
            }
            if (params.empty())
                return t.Usage("watch needs parameters: IPA SUB TYPE ... or --file");
            const bool table = isatty(STDOUT_FILENO) && !t.Json();
            const bool csvOnStdout = !table && !t.Json() && args->devices.output.empty();
            // Ctrl-C is how a watch without --count ends: not a failure.
            t.SetEndsOnSignal(args->count == 0);
            DeviceCommand command;
            command.what = "watch";
            command.bars = false;
            command.prefix = false;
            command.extension = ".csv";
            command.allAtOnce = args->count == 0;
            command.summaryStream = csvOnStdout ? stderr : nullptr;
            command.inputErrors = std::move(inputErrors);
            if (csvOnStdout)
                ConsolePrint(stdout, CsvHeader(params) + "\n");
            LiveTable live(params, table);
            command.run = [&](DeviceContext& d) { Watch(d, params, *args, live, csvOnStdout); };
            command.afterRun = [&live] { live.Stop(); };
            return RunOnDevices(t, args->devices, command);
        });
    });
}

} // namespace kelvo::tool

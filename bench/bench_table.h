// Result tables of the benchmark programs: each program prints its rows and,
// given --markdown=FILE, appends them to FILE as a Markdown section (make
// bench gathers the sections into bench/results.md).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kelvo::bench {

// Removes --markdown=FILE from the arguments; FILE, or empty without it.
inline std::string TakeMarkdownFlag(int& argc, char** argv) {
    static constexpr char kFlag[] = "--markdown=";
    std::string file;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
            file = argv[i] + sizeof kFlag - 1;
            continue;
        }
        argv[kept++] = argv[i];
    }
    argc = kept;
    return file;
}

// A Markdown table built row by row, written at the end.
class Table {
public:
    Table(std::string title, std::vector<std::string> columns)
        : title_(std::move(title)), columns_(std::move(columns)) {}

    void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void Note(std::string text) { notes_.push_back(std::move(text)); }
    bool empty() const { return rows_.empty(); }

    std::string Text() const {
        std::string out = "### " + title_ + "\n\n";
        out += Line(columns_);
        std::string rule = "|";
        for (std::size_t i = 0; i < columns_.size(); ++i)
            rule += i == 0 ? "---|" : "---:|";
        out += rule + "\n";
        for (const auto& row : rows_)
            out += Line(row);
        for (const auto& note : notes_)
            out += "\n" + note + "\n";
        return out + "\n";
    }

    // Appends the table to `file` (nothing when empty).
    void Append(const std::string& file) const {
        if (file.empty())
            return;
        if (FILE* f = std::fopen(file.c_str(), "a")) {
            const std::string text = Text();
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }

private:
    static std::string Line(const std::vector<std::string>& cells) {
        std::string out = "|";
        for (const auto& cell : cells)
            out += " " + cell + " |";
        return out + "\n";
    }

    std::string title_;
    std::vector<std::string> columns_;
    std::vector<std::vector<std::string>> rows_;
    std::vector<std::string> notes_;
};

inline std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A duration in nanoseconds with a unit that keeps three digits or so.
inline std::string Duration(double ns) {
    if (ns >= 1e6)
        return Format("%.2f ms", ns / 1e6);
    if (ns >= 1e3)
        return Format("%.2f µs", ns / 1e3);
    return Format("%.1f ns", ns);
}

// A rate with an SI prefix: 1.23 M/s.
inline std::string Rate(double perSecond, const char* unit) {
    const char* prefix = "";
    if (perSecond >= 1e9) {
        perSecond /= 1e9;
        prefix = " G";
    } else if (perSecond >= 1e6) {
        perSecond /= 1e6;
        prefix = " M";
    } else if (perSecond >= 1e3) {
        perSecond /= 1e3;
        prefix = " k";
    } else {
        prefix = " ";
    }
    return Format("%.2f", perSecond) + prefix + unit;
}

// Console output as usual, and one table row per benchmark: its time per
// iteration, its rate (items or bytes per second) and its counters.
class TableReporter : public benchmark::ConsoleReporter {
public:
    explicit TableReporter(std::string title)
        : table_(std::move(title),
                 {"benchmark", "real time", "CPU time", "rate (per CPU second)", "counters"}) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const double unit = run.time_unit == benchmark::kNanosecond    ? 1.0
                                : run.time_unit == benchmark::kMicrosecond ? 1e3
                                : run.time_unit == benchmark::kMillisecond ? 1e6
                                                                           : 1e9;
            const double ns = run.GetAdjustedRealTime() * unit;
            const double cpuNs = run.GetAdjustedCPUTime() * unit;
            if (run.run_type == Run::RT_Aggregate) {
                // The fitted complexity: time = coefficient x N.
                if (run.aggregate_name == "BigO")
                    table_.Row({run.benchmark_name(), Duration(ns) + " × N",
                                Duration(cpuNs) + " × N", "", ""});
                continue;
            }
            if (run.iterations == 0)
                continue;
            std::string rate;
            std::string counters;
            for (const auto& [name, counter] : run.counters) {
                if (name == "items_per_second")
                    rate = Rate(counter.value, "items/s") + " (" + Duration(1e9 / counter.value) +
                           " per item)";
                else if (name == "bytes_per_second")
                    rate = Rate(counter.value, "B/s");
                else
                    counters +=
                        (counters.empty() ? "" : ", ") + name + " " + Format("%.3g", counter.value);
            }
            table_.Row({run.benchmark_name(), Duration(ns), Duration(cpuNs), rate, counters});
        }
        ConsoleReporter::ReportRuns(runs);
    }

    Table& table() { return table_; }

private:
    Table table_;
};

// The usual main of a benchmark program, with the table appended at the end.
inline int RunBenchmarks(int argc, char** argv, const char* title) {
    const std::string markdown = TakeMarkdownFlag(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TableReporter reporter(title);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.table().Append(markdown);
    benchmark::Shutdown();
    return 0;
}

} // namespace kelvo::bench

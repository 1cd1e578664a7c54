// Parameter sets on one or many devices: params backup, restore and diff.
#include "commands.h"
#include "multi_device.h"
#include "param_set.h"
#include "stop_signals.h"
#include "value_text.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <ctime>
#include <filesystem>
#include <memory>

namespace kelvo::tool {
namespace {

// Link failures after which a device is given up: it stopped answering, and
// every further parameter would wait for its own time-out.
constexpr int kLinkFailuresInARow = 3;

struct ParamsArgs {
    DeviceOptions devices;
    std::string file; // LIST or SET
    std::string format;
    bool noVerify = false;
    bool dryRun = false;
    bool save = false;
    int blink = 1000;
};

bool IsLinkFailure(IKelvo& object) {
    SHORT code = 0;
    object.get_ErrorCode(&code);
    return code == 6 || code == 7 || code == 8;
}

std::string LocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

// "0x1004/0 i4", and " [NAME]" when the parameter has a name.
std::string Label(const ParamEntry& e) {
    const std::string label = ParamLabel(e) + " " + ParamTypeName(e.type);
    return e.name.empty() ? label : label + " [" + e.name + "]";
}

// A value for a report line: text in JSON quotes, numbers as they are.
std::string Shown(const std::string& value, VARTYPE type) {
    return type == VT_BSTR ? JsonString(value) : value;
}

nlohmann::ordered_json EntryJson(const ParamEntry& e) {
    nlohmann::ordered_json item = {{"ipa", e.ipa}, {"sub", e.sub}, {"type", ParamTypeName(e.type)}};
    if (!e.name.empty())
        item["name"] = e.name;
    return item;
}

// The error of the last call as the set file and the reports keep it.
struct Failure {
    int code = 0;
    std::string text; // "error N: ..." without the "error N: "
    std::string line; // the whole "error N: ..." line
};

Failure FailureOf(IKelvo& object, HRESULT hr, const char* what) {
    Failure f;
    SHORT code = 0;
    object.get_ErrorCode(&code);
    f.code = code;
    f.line = ErrorLine(object, hr, what);
    const std::string head = "error " + std::to_string(code) + ": ";
    f.text = f.line.starts_with(head) ? f.line.substr(head.size()) : f.line;
    return f;
}

void AddFailureJson(nlohmann::ordered_json& details, const ParamEntry& e, const Failure& f) {
    nlohmann::ordered_json item = EntryJson(e);
    item["error"] = f.code;
    item["error_text"] = f.text;
    details["failed"].push_back(std::move(item));
}

// Reads the file and checks that it is what the command needs; the reason
// when it cannot be used at all (every bad line when they are refused).
std::string Load(const std::string& path, bool needValues, bool refuseBadLines, ParamFile& file) {
    file = ReadParamFile(path);
    const bool unreadable = file.entries.empty() && !file.errors.empty();
    if (unreadable || (refuseBadLines && !file.errors.empty())) {
        std::string all;
        for (const std::string& e : file.errors)
            all += e + "\nerror: ";
        if (unreadable)
            return all.substr(0, all.size() - 8);
        return all + path + ": nothing written, the set has " + std::to_string(file.errors.size()) +
               " bad line" + (file.errors.size() > 1 ? "s" : "");
    }
    if (file.entries.empty())
        return path + " names no parameters";
    if (needValues && !file.hasValues)
        return path + " is a parameter list (no values): a set has a value column";
    return {};
}

// The set of one device when SET is a folder: NAME.csv or NAME.json in it.
// Bad lines are the device's failure for restore; diff reads the rest.
const ParamFile* DeviceSet(DeviceContext& d, const std::string& folder, bool refuseBadLines,
                           ParamFile& own) {
    namespace fs = std::filesystem;
    const std::string& name = d.result.target.name;
    fs::path path = fs::path(folder) / (name + ".csv");
    std::error_code ec;
    if (!fs::exists(path, ec))
        path = fs::path(folder) / (name + ".json");
    if (!fs::exists(path, ec)) {
        d.result.failure = "no set " + name + ".csv or " + name + ".json in " + folder;
        return nullptr;
    }
    own = ReadParamFile(path.string());
    if (!own.hasValues && !own.entries.empty())
        own.errors.push_back(path.string() + " is a parameter list (no values)");
    if (own.entries.empty() && own.errors.empty())
        own.errors.push_back(path.string() + " names no parameters");
    if (!own.errors.empty() && (refuseBadLines || own.entries.empty() || !own.hasValues)) {
        d.result.failure =
            own.errors.front() + (own.errors.size() > 1
                                      ? " (and " + std::to_string(own.errors.size() - 1) + " more)"
                                      : std::string());
        return nullptr;
    }
    for (const std::string& e : own.errors) {
        ConsolePrint(stderr, "error: " + e + "\n");
        ++d.result.failures;
    }
    d.SetTotal(own.entries.size());
    return &own;
}

// Restore and diff take one set for every device, or a folder of sets.
struct SetSource {
    ParamFile file;
    bool folder = false;

    std::string Load(const std::string& path, bool refuseBadLines) {
        std::error_code ec;
        folder = std::filesystem::is_directory(path, ec);
        return folder ? std::string() : kelvo::tool::Load(path, true, refuseBadLines, file);
    }
    const ParamFile* For(DeviceContext& d, const std::string& path, bool refuseBadLines,
                         ParamFile& own) const {
        return folder ? DeviceSet(d, path, refuseBadLines, own) : &file;
    }
};

// Ctrl-C or SIGTERM ends a device's run after the parameter under way; what
// was done so far is kept (a backup writes its set file with those).
bool Stopped(DeviceContext& d, std::size_t done, std::size_t all) {
    if (!StopSignal())
        return false;
    d.result.failure = "stopped by a signal after " + std::to_string(done) + " of " +
                       std::to_string(all) + " parameters";
    return true;
}

// ---- backup ----

void Backup(DeviceContext& d, const std::vector<ParamEntry>& list, SetWriter::Format format,
            int blink) {
    IKelvo& object = d.object;
    SetHeader header{{"device", d.result.target.name}};
    Bstr ping;
    HRESULT hr = object.Ping(static_cast<SHORT>(blink), ping.out());
    header.emplace_back("ping", SUCCEEDED(hr) ? Utf16ToUtf8(ping.view())
                                              : "(" + ErrorLine(object, hr, "Ping") + ")");
    header.emplace_back("time", LocalTime());
    header.emplace_back("connection", WithoutPassword(d.result.target.connection));
    if (d.Json())
        d.result.details = {{"failed", nlohmann::ordered_json::array()}};

    SetWriter writer;
    std::string error;
    if (!writer.Open(d.outputPath, format, header, error)) {
        d.result.failure = error;
        d.result.file.clear();
        return;
    }
    ParamEntry out;
    Failure last;
    int inARow = 0;
    std::size_t done = 0;
    for (const ParamEntry& entry : list) {
        if (Stopped(d, done++, list.size()))
            break;
        out.ipa = entry.ipa;
        out.sub = entry.sub;
        out.type = entry.type;
        out.name = entry.name;
        out.value.reset();
        out.error.reset();
        if (inARow >= kLinkFailuresInARow) {
            // Given up: the rest is recorded as not read, without waiting.
            out.error = last.code;
            out.errorText = "not read: the device stopped answering (" + last.line + ")";
        } else {
            Variant value;
            hr = object.get_Par(entry.ipa, entry.sub, static_cast<SHORT>(entry.type), &value);
            if (SUCCEEDED(hr)) {
                inARow = 0;
                out.type = value.vt;
                out.value = ValueText(value);
            } else {
                last = FailureOf(object, hr, "get_Par");
                inARow = IsLinkFailure(object) ? inARow + 1 : 0;
                out.error = last.code;
                out.errorText = last.text;
            }
        }
        if (out.error && d.Json())
            AddFailureJson(d.result.details, out, {*out.error, out.errorText, {}});
        writer.Add(out);
        d.Step(out.error.has_value());
    }
    if (!writer.Finish(error)) {
        d.result.failure = error;
        d.result.file.clear();
    }
}

// ---- restore ----

void Restore(DeviceContext& d, const std::vector<ParamEntry>& set, const ParamsArgs& args) {
    IKelvo& object = d.object;
    nlohmann::ordered_json report = nlohmann::ordered_json::array();
    std::size_t done = 0;
    for (const ParamEntry& e : set) {
        if (Stopped(d, done++, set.size()))
            break;
        const std::string label = Label(e);
        nlohmann::ordered_json item = EntryJson(e);
        auto done = [&](const std::string& outcome, const std::string& line, bool failed) {
            d.Line(label + ": " + line);
            if (d.Json()) {
                item["outcome"] = outcome;
                report.push_back(std::move(item));
            }
            d.Step(failed);
        };
        if (!e.value) {
            item["error"] = e.error.value_or(0);
            item["error_text"] = e.errorText;
            done("no value",
                 "no value in the set" + (e.error ? " (backup: error " + std::to_string(*e.error) +
                                                        ": " + e.errorText + ")"
                                                  : std::string()),
                 true);
            continue;
        }
        const SHORT type = static_cast<SHORT>(e.type);
        const std::string& want = *e.value;
        item["value"] = ValueJson(want, e.type);
        Variant current;
        const bool known = SUCCEEDED(object.get_Par(e.ipa, e.sub, type, &current));
        const std::string before = known ? ValueText(current) : std::string();
        if (known && before == want) {
            done("unchanged", "unchanged " + Shown(want, e.type), false);
            continue;
        }
        const std::string from = known ? Shown(before, e.type) : "(unread)";
        if (known)
            item["before"] = ValueJson(before, e.type);
        if (args.dryRun) {
            ++d.result.counted;
            done("would change", "would change " + from + " -> " + Shown(want, e.type), false);
            continue;
        }
        Variant value;
        std::string error;
        HRESULT hr = ValueVariant(want, e.type, &value, error)
                         ? object.put_Par(e.ipa, e.sub, type, value)
                         : E_INVALIDARG;
        if (FAILED(hr)) {
            const Failure f = FailureOf(object, hr, "put_Par");
            item["error"] = f.code;
            item["error_text"] = f.text;
            done("refused", "refused: " + f.line, true);
            continue;
        }
        if (args.noVerify) {
            ++d.result.counted;
            done("written", "written " + from + " -> " + Shown(want, e.type), false);
            continue;
        }
        Variant after;
        hr = object.get_Par(e.ipa, e.sub, type, &after);
        if (FAILED(hr)) {
            const Failure f = FailureOf(object, hr, "get_Par");
            item["error"] = f.code;
            item["error_text"] = f.text;
            done("verify failed", "written, but the read-back failed: " + f.line, true);
            continue;
        }
        const std::string now = ValueText(after);
        if (now != want) {
            item["device"] = ValueJson(now, e.type);
            done("verify mismatch",
                 "verify mismatch: wrote " + Shown(want, e.type) + ", the device has " +
                     Shown(now, e.type),
                 true);
            continue;
        }
        ++d.result.counted;
        done("written", "written " + from + " -> " + Shown(want, e.type), false);
    }
    if (d.Json())
        d.result.details = {{"report", std::move(report)}};
    if (!args.save || args.dryRun)
        return;
    if (!d.result.failure.empty()) { // stopped part-way: a partial set is not saved
        d.Line("not saved: " + d.result.failure);
        if (d.Json())
            d.result.details["saved"] = false;
        return;
    }
    if (d.result.failures > 0) {
        d.Line("not saved: " + std::to_string(d.result.failures) + " parameters failed");
        if (d.Json())
            d.result.details["saved"] = false;
        return;
    }
    const HRESULT hr = object.Save_Command();
    if (FAILED(hr))
        d.result.failure = "Save_Command: " + ErrorLine(object, hr, "Save_Command");
    else
        d.Line("saved (Save_Command)");
    if (d.Json())
        d.result.details["saved"] = SUCCEEDED(hr);
}

// ---- diff ----

void Diff(DeviceContext& d, const std::vector<ParamEntry>& set) {
    IKelvo& object = d.object;
    nlohmann::ordered_json differences = nlohmann::ordered_json::array();
    nlohmann::ordered_json failed = nlohmann::ordered_json::array();
    std::size_t done = 0;
    for (const ParamEntry& e : set) {
        if (Stopped(d, done++, set.size()))
            break;
        if (!e.value) {
            d.Line(Label(e) + ": no value in the set");
            if (d.Json()) {
                nlohmann::ordered_json item = EntryJson(e);
                item["error"] = e.error.value_or(0);
                item["error_text"] = "no value in the set: " + e.errorText;
                failed.push_back(std::move(item));
            }
            d.Step(true);
            continue;
        }
        Variant current;
        const HRESULT hr = object.get_Par(e.ipa, e.sub, static_cast<SHORT>(e.type), &current);
        if (FAILED(hr)) {
            const Failure f = FailureOf(object, hr, "get_Par");
            d.Line(Label(e) + ": cannot read: " + f.line);
            if (d.Json()) {
                nlohmann::ordered_json item = EntryJson(e);
                item["error"] = f.code;
                item["error_text"] = f.text;
                failed.push_back(std::move(item));
            }
            d.Step(true);
            continue;
        }
        const std::string now = ValueText(current);
        if (now != *e.value) {
            ++d.result.counted;
            d.Line(Label(e) + ": set " + Shown(*e.value, e.type) + ", device " +
                   Shown(now, e.type));
            if (d.Json()) {
                nlohmann::ordered_json item = EntryJson(e);
                item["set"] = ValueJson(*e.value, e.type);
                item["device"] = ValueJson(now, e.type);
                differences.push_back(std::move(item));
            }
        }
        d.Step(false);
    }
    if (d.Json())
        d.result.details = {{"differences", std::move(differences)}, {"failed", std::move(failed)}};
}

CLI::App* Command(CLI::App& params, const char* name, const char* help, ParamsArgs& args,
                  const char* file, const char* fileHelp, const char* outputHelp) {
    CLI::App* command = params.add_subcommand(name, help);
    command->add_option(file, args.file, fileHelp)->required();
    args.devices.Add(*command, outputHelp);
    return command;
}

} // namespace

void AddParamsCommands(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<ParamsArgs>();
    CLI::App* params =
        app.add_subcommand("params", "parameter sets: backup, restore and diff, on many devices");
    params->require_subcommand(1);
    params->footer(
        "Devices: -c repeated and/or --devices FILE ('NAME CONNECTION-TEXT' lines); they run "
        "at once (--jobs). -o DIR writes a file per device. Exit status 0 ok, 1 a device or "
        "parameter failed, 3 (diff) the device differs from the set.\nFiles: CSV with the "
        "header ipa,sub,type[,value,name,error,error_text], or JSON (.json); see the README.");

    CLI::App* backup = Command(*params, "backup", "read every parameter of LIST into a set", *args,
                               "LIST", "the parameters to read (CSV, JSON or IPA SUB TYPE lines)",
                               "the set: FILE for one device, DIR for several (NAME.csv)");
    backup->add_option("--format", args->format, "csv or json (default: from -o, else csv)")
        ->check(CLI::IsMember({"csv", "json"}));
    backup->add_option("--blink", args->blink, "blink time of the Ping for the header (ms)")
        ->check(CLI::Range(0, 10000));
    backup->callback([&tool, args] {
        tool.SetRunner([args](Tool& t) {
            ParamFile list;
            if (std::string why = Load(args->file, false, false, list); !why.empty())
                return t.Usage(why);
            auto format = args->format == "json"  ? SetWriter::Format::Json
                          : args->format == "csv" ? SetWriter::Format::Csv
                                                  : SetWriter::FormatOf(args->devices.output);
            DeviceCommand command;
            command.what = "params backup";
            command.total = list.entries.size();
            command.extension = format == SetWriter::Format::Json ? ".json" : ".csv";
            command.ownFile = true;
            command.outputNeeded = true;
            command.inputErrors = list.errors;
            const int blink = args->blink;
            command.run = [&list, format, blink](DeviceContext& d) {
                Backup(d, list.entries, format, blink);
            };
            return RunOnDevices(t, args->devices, command);
        });
    });

    CLI::App* restore =
        Command(*params, "restore", "write the values of SET, read each back", *args, "SET",
                "the set to write (a folder: NAME.csv or NAME.json per device)",
                "the report: FILE for one device, DIR for several (NAME.txt)");
    restore->add_flag("--no-verify", args->noVerify, "do not read the values back");
    restore->add_flag("--dry-run", args->dryRun, "write nothing: show what would change");
    restore->add_flag("--save", args->save,
                      "Save_Command at the end, when every parameter was written");
    restore->callback([&tool, args] {
        tool.SetRunner([args](Tool& t) {
            SetSource sets;
            if (std::string why = sets.Load(args->file, true); !why.empty())
                return t.Usage(why);
            DeviceCommand command;
            command.what = args->dryRun ? "params restore --dry-run" : "params restore";
            command.total = sets.file.entries.size();
            command.extension = ".txt";
            command.countLabel = args->dryRun ? "to change" : "written";
            command.run = [&sets, args](DeviceContext& d) {
                ParamFile own;
                if (const ParamFile* set = sets.For(d, args->file, true, own))
                    Restore(d, set->entries, *args);
            };
            return RunOnDevices(t, args->devices, command);
        });
    });

    Command(*params, "diff", "show where the devices differ from SET", *args, "SET",
            "the set to compare with", "the differences: FILE for one device, DIR (NAME.txt)")
        ->callback([&tool, args] {
            tool.SetRunner([args](Tool& t) {
                SetSource sets;
                if (std::string why = sets.Load(args->file, false); !why.empty())
                    return t.Usage(why);
                DeviceCommand command;
                command.what = "params diff";
                command.total = sets.file.entries.size();
                command.extension = ".txt";
                command.countLabel = "different";
                command.countIsDifference = true;
                command.inputErrors = sets.file.errors;
                command.run = [&sets, args](DeviceContext& d) {
                    ParamFile own;
                    if (const ParamFile* set = sets.For(d, args->file, false, own))
                        Diff(d, set->entries);
                };
                return RunOnDevices(t, args->devices, command);
            });
        });
}

} // namespace kelvo::tool

// Running one command on many devices at once: the device list (-c repeated
// or --devices FILE), a pool of --jobs workers with one Kelvo object and one
// connection per device, one output file per device (-o DIR), progress bars
// on a terminal, and the summary table or JSON at the end.
#pragma once

#include "tool.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace kelvo::tool {

constexpr int kExitDifferent = 3;

struct DeviceTarget {
    std::string name;
    std::string connection;
};

// The lines "NAME CONNECTION-TEXT" of a devices file (blank lines and lines
// starting with # skipped). Bad lines go to `errors` as "FILE:LINE: why".
std::vector<DeviceTarget> ReadDevicesFile(const std::string& path,
                                          std::vector<std::string>& errors);

// A name for a device given by -c: the host of TCPIP, COMn of a serial link.
std::string NameOfConnection(std::string_view text);

// The connection text with the password of its device part as "***".
std::string WithoutPassword(std::string_view text);

// "error N: TEXT" of the object's last failure (", device 0xXXXXXXXX" for a
// device error); `fallback` failed with `hr` when no error code was left.
std::string ErrorLine(IKelvo& object, HRESULT hr, const std::string& fallback);

// The options every params command and watch take.
struct DeviceOptions {
    std::string devicesFile; // --devices
    unsigned jobs = 0;       // --jobs; 0: one per device up to kDefaultJobs
    std::string output;      // -o
    bool ram = false;        // --ram
    static constexpr unsigned kDefaultJobs = 64;

    void Add(CLI::App& command, const char* outputHelp);
};

// What one device did, for the summary.
struct DeviceResult {
    DeviceTarget target;
    bool reached = false;
    std::string failure; // why the device failed as a whole
    std::size_t parameters = 0;
    std::size_t failures = 0;
    std::size_t counted = 0; // the command's own count (different, written)
    double seconds = 0;
    std::string file;                         // the output file written
    nlohmann::ordered_json details = nullptr; // --json: members added to its summary row
};

class ProgressView;

// A connected device as the command sees it.
class DeviceContext {
public:
    DeviceContext(IKelvo& object, DeviceResult& result, ProgressView& view, std::size_t slot,
                  std::FILE* output, bool prefix, bool json)
        : object(object), result(result), view_(view), slot_(slot), output_(output),
          prefix_(prefix), json_(json) {}

    IKelvo& object;
    DeviceResult& result;

    // One parameter done, for the counts and the progress bar.
    void Step(bool failed);
    // A report line (without its line end): into the device's file with -o,
    // else on standard output ("NAME: " first when there are several devices);
    // dropped with --json and no -o.
    void Line(std::string_view text);
    bool Json() const { return json_; }
    // Whether report lines go to a file of the device's own (-o).
    bool HasFile() const { return output_ != nullptr; }
    // The device's place in the list (0 for the first).
    std::size_t Index() const { return slot_; }
    // The number of parameters of this device, when it is not the command's.
    void SetTotal(std::size_t total);
    // The path the command writes itself (backup), empty for report files.
    std::string outputPath;

private:
    ProgressView& view_;
    std::size_t slot_;
    std::FILE* output_;
    bool prefix_;
    bool json_;
};

struct DeviceCommand {
    std::string what;                 // "params backup", for messages and the JSON summary
    std::size_t total = 0;            // parameters per device, for the bars
    bool bars = true;                 // progress bars on a terminal
    bool prefix = true;               // "NAME: " before the report lines of several devices
    std::string extension;            // of the files in -o DIR (".csv", ".txt")
    bool ownFile = false;             // the command writes outputPath itself (backup)
    bool outputNeeded = false;        // -o is required
    const char* countLabel = nullptr; // summary column of DeviceResult::counted
    bool countIsDifference = false;   // counted > 0 exits with kExitDifferent
    // Runs on one connected device.
    std::function<void(DeviceContext& device)> run;
    // Every device must run at the same time (watch without an end).
    bool allAtOnce = false;
    // Called when every device is done, before the summary.
    std::function<void()> afterRun;
    // Where the summary goes; null: standard output.
    std::FILE* summaryStream = nullptr;
    // Bad lines of the command's input file: reported first, and the run
    // ends with exit status 1.
    std::vector<std::string> inputErrors;
};

// Runs the command on every device of -c and --devices; prints the summary
// (a table with several devices, one JSON object with --json) and returns
// the exit status: 1 when a device or a parameter failed, else 3 when a
// difference was counted (diff), else 0; 2 for usage errors.
int RunOnDevices(Tool& tool, const DeviceOptions& options, const DeviceCommand& command);

// Prints text lines while the progress bars or a live table are on screen.
void ConsolePrint(std::FILE* stream, std::string_view text);
// Held while drawing on the console (a live table).
std::unique_lock<std::mutex> LockConsole();

} // namespace kelvo::tool

// kelvo-trace: the viewer of the component's trace channels.
#include "common/program_info.h"
#include "viewer.h"

#include <CLI/CLI.hpp>

#include <csignal>

namespace {

void OnStopSignal(int) {
    kelvo::trace_viewer::RequestStop();
}

} // namespace

int main(int argc, char** argv) {
    using namespace kelvo::trace_viewer;
    Options options;
    std::string categories;
    CLI::App app{"Shows the entries of a Kelvo trace channel: sequence number, category and "
                 "text, oldest first."};
    app.add_option("channel", options.channel,
                   "channel: ALTRACE_KELVO (the default), ALTRACE_KELVO_<pid>, or a base name "
                   "such as Kelvo");
    app.add_option("-p,--pid", options.pid,
                   "the channel of that process (ALTRACE_KELVO or ALTRACE_KELVO_<pid>)");
    app.add_flag("-l,--list", options.list, "list the channels that exist");
    app.add_flag("-f,--follow", options.follow, "keep printing new entries as they come");
    app.add_flag("-w,--wait", options.wait, "wait for the channel to appear");
    app.add_flag("--until-exit", options.untilExit,
                 "with --follow: end once the writing process has ended");
    app.add_option("-c,--category", categories,
                   "categories to show: numbers (2, 0x6) or names (connection, read, write, "
                   "low-read, low-write), separated by commas");
    app.add_flag("--json", options.json, "one JSON object per line");
    app.add_option("--interval", options.intervalMs, "polling interval in milliseconds")
        ->check(CLI::Range(1u, 60000u));
    kelvo::programs::AddProgramFlags(app, "kelvo-trace");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (!categories.empty() && !ParseCategories(categories, options.mask)) {
        std::fprintf(stderr, "kelvo-trace: --category %s: not a category\n", categories.c_str());
        return kExitUsage;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    // Taken from now on, also when the starting process had them blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    return Run(options, stdout, stderr);
}

// What every Kelvo program tells about itself: --version (version, commit and
// build type) and a hidden --completion that prints a shell completion script
// made from the program's own command table.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace kelvo::programs {

// "NAME VERSION", then the commit and the build type, one per line.
std::string VersionText(const std::string& program);

// Adds --version and the hidden --completion bash to `app`. Both print their
// text and end the parse with exit status 0 (CLI::App::exit gives 0).
void AddProgramFlags(CLI::App& app, const std::string& program);

// A bash completion script for `app`: its subcommands and options at every
// level, and file names for option values and arguments.
std::string BashCompletion(const CLI::App& app, const std::string& program);

} // namespace kelvo::programs

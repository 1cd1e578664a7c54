#include "common/program_info.h"

#include "common/build_info.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace kelvo::programs {
namespace {

// What completion needs of one level of the command table.
struct Level {
    std::vector<std::string> commands;
    std::vector<std::string> options;
};

std::vector<std::string> OptionNames(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& name : option.get_snames())
        names.push_back("-" + name);
    for (const std::string& name : option.get_lnames())
        names.push_back("--" + name);
    return names;
}

// Walks the table: every level by its path ("kelvo", "kelvo params", ...);
// `valued` collects the options that take a value. Hidden options (no group)
// are left out.
void Collect(const CLI::App& app, const std::string& path, std::map<std::string, Level>& levels,
             std::set<std::string>& valued) {
    Level& level = levels[path];
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional() || option->get_group().empty())
            continue;
        for (const std::string& name : OptionNames(*option)) {
            level.options.push_back(name);
            if (option->get_type_size_max() > 0)
                valued.insert(name);
        }
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_name().empty() || sub->get_group().empty())
            continue;
        level.commands.push_back(sub->get_name());
        Collect(*sub, path + " " + sub->get_name(), levels, valued);
    }
}

std::string Words(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : " ") + word;
    return out;
}

} // namespace

std::string VersionText(const std::string& program) {
    return program + " " + kBuildVersion + "\ncommit " + kBuildCommit + "\nbuild type " +
           kBuildType;
}

void AddProgramFlags(CLI::App& app, const std::string& program) {
    app.set_version_flag(
        "--version", [program] { return VersionText(program); },
        "print the version, commit and build type and exit");
    app.add_option_function<std::string>(
           "--completion",
           [&app, program](const std::string&) {
               std::fputs(BashCompletion(app, program).c_str(), stdout);
               throw CLI::Success();
           },
           "print a completion script for SHELL and exit")
        ->check(CLI::IsMember({"bash"}))
        ->group("");
}

std::string BashCompletion(const CLI::App& app, const std::string& program) {
    std::map<std::string, Level> levels;
    std::set<std::string> valued;
    Collect(app, program, levels, valued);

    std::string function = "_" + program + "_completion";
    for (char& c : function)
        c = (c == '-') ? '_' : c;
    std::string out = "# bash completion for " + program + ", made by `" + program +
                      " --completion bash` from its command table.\n" + function + "() {\n";
    out += "    local -A commands=(\n";
    for (const auto& [path, level] : levels)
        out += "        [\"" + path + "\"]=\"" + Words(level.commands) + "\"\n";
    out += "    )\n    local -A options=(\n";
    for (const auto& [path, level] : levels)
        out += "        [\"" + path + "\"]=\"" + Words(level.options) + "\"\n";
    out += "    )\n    local valued=\" " + Words({valued.begin(), valued.end()}) + " \"\n";
    out += "    local path=" + program + R"( word allowed i
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    # The command path so far; an option's value is no command.
    allowed=${options[$path]}
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $valued == *" $word "* ]]; then
            ((i++))
        elif [[ " ${commands[$path]} " == *" $word "* ]]; then
            path="$path $word"
            allowed="$allowed ${options[$path]}"
        fi
    done
    if [[ $valued == *" $prev "* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$allowed" -- "$cur"))
    elif [[ -n ${commands[$path]} ]]; then
        COMPREPLY=($(compgen -W "${commands[$path]}" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F )" +
           function + " " + program + "\n";
    return out;
}

} // namespace kelvo::programs

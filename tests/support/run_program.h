// Runs a built program to its end as a user would: its exit status, standard
// output and standard error.
#pragma once

#include <string>
#include <vector>

namespace kelvo::test {

struct ProgramOutcome {
    int pid = 0;
    int status = -1; // exit status; -1 when it could not run or had to be killed
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs argv (argv[0] the program's path) with this process's environment,
// changed by `env`: "NAME=VALUE" sets a variable, "NAME" alone removes it.
// A program still running after 20 seconds is killed. A `signal` is blocked
// when the program starts and sent to it at once: it arrives when the program
// takes it.
ProgramOutcome RunProgram(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {}, int signal = 0);

// "status N / stdout: ... / stderr: ..." for failure messages.
std::string Describe(const ProgramOutcome& outcome);

} // namespace kelvo::test

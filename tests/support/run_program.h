// Runs a built program to its end as a user would: its exit status, standard
// output and standard error.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kelvo::test {

struct ProgramOutcome {
    int pid = 0;
    int status = -1; // exit status; -1 when it could not run or had to be killed
    std::string out;
    std::string err;
};

// Runs argv (argv[0] the program's path) with this process's environment,
// changed by `env`: "NAME=VALUE" sets a variable, "NAME" alone removes it.
// A program still running after 20 seconds is killed. A `signal` is blocked
// when the program starts and sent to it at once: it arrives when the program
// takes it.
ProgramOutcome RunProgram(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {}, int signal = 0);

// This process's environment changed by `changes` as RunProgram takes them.
std::vector<std::string> Environment(const std::vector<std::string>& changes);
// Pointers to the texts and a null after them, as posix_spawn takes them.
std::vector<char*> Pointers(std::vector<std::string>& texts);
// Milliseconds left until the deadline, at least 0 (a poll time-out).
int RemainingMs(std::chrono::steady_clock::time_point deadline);

// "status N / stdout: ... / stderr: ..." for failure messages.
std::string Describe(const ProgramOutcome& outcome);

} // namespace kelvo::test

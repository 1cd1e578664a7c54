#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

extern char** environ;

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 20000;

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

} // namespace

std::vector<std::string> Environment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string name = NameOf(*e);
        bool changed = std::any_of(changes.begin(), changes.end(),
                                   [&name](const std::string& c) { return NameOf(c) == name; });
        if (!changed)
            env.emplace_back(*e);
    }
    for (const std::string& change : changes) {
        if (change.find('=') != std::string::npos)
            env.push_back(change);
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

ProgramOutcome RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int signal) {
    ProgramOutcome outcome;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return outcome;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = Environment(env);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(environment);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    // A session of its own: the program has no terminal to prompt on.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t blocked;
    sigemptyset(&blocked);
    if (signal != 0)
        sigaddset(&blocked, signal);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    int spawned = posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    outcome.pid = pid;
    if (spawned == 0 && signal != 0)
        kill(pid, signal);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned == 0) {
        const Clock::time_point deadline = start + std::chrono::milliseconds(kDeadlineMs);
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&outcome.out, &outcome.err};
        int open = 2;
        while (open > 0 && poll(fds, 2, RemainingMs(deadline)) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                fds[i].fd = -1;
                --open;
            }
        }
        if (open > 0)
            kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (open == 0 && WIFEXITED(status))
            outcome.status = WEXITSTATUS(status);
    }
    close(out[0]);
    close(err[0]);
    return outcome;
}

std::string Describe(const ProgramOutcome& outcome) {
    return "status " + std::to_string(outcome.status) + "\nstdout: " + outcome.out +
           "\nstderr: " + outcome.err;
}

} // namespace kelvo::test

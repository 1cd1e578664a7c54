#include "support/sim_process.h"

#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartTimeoutMs = 20000;
constexpr int kExitTimeoutMs = 5000;

} // namespace

// One running simulator; killed if a test leaves it running.
SimProcess::~SimProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
}

::testing::AssertionResult SimProcess::Start(std::vector<std::string> args,
                                             std::vector<std::string> env) {
    ::testing::AssertionResult spawned = Spawn(std::move(args), std::move(env));
    if (!spawned)
        return spawned;
    return ReadReady();
}

::testing::AssertionResult SimProcess::Spawn(std::vector<std::string> args,
                                             std::vector<std::string> env) {
    std::string binary = KELVO_BIN_DIR "/kelvo-sim";
    args.insert(args.begin(), binary);
    args.push_back("--exit-after-seconds");
    args.push_back("60");
    std::vector<std::string> environment = Environment(env);
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(environment);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "pipe";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    out_ = pipeFds[0];
    if (rc != 0) {
        pid_ = 0;
        return ::testing::AssertionFailure() << "cannot start " << binary;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SimProcess::ReadReady() {
    std::string text;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (text.find("ready\n") == std::string::npos) {
        pollfd p = {out_, POLLIN, 0};
        char buffer[512];
        ssize_t n = 0;
        if (poll(&p, 1, RemainingMs(deadline)) <= 0 || (n = read(out_, buffer, sizeof buffer)) <= 0)
            return ::testing::AssertionFailure() << "no ready line; output: " << text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (std::size_t colon = line.find(": "); colon != std::string::npos)
            lines_[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return ::testing::AssertionSuccess();
}

std::string SimProcess::Line(const std::string& key) const {
    auto it = lines_.find(key);
    return it == lines_.end() ? "" : it->second;
}

int SimProcess::WaitExit(int signal) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (signal != 0)
        kill(pid_, signal);
    pollfd p = {pidfd, POLLIN, 0};
    int ready = poll(&p, 1, kExitTimeoutMs);
    close(pidfd);
    if (ready <= 0)
        kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    if (ready <= 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

::testing::AssertionResult SimProcess::Control(const std::string& path, const std::string& line) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    std::string reply;
    const std::string text = line + "\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        char buffer[256];
        for (ssize_t n;
             reply.find('\n') == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (reply == "ok\n")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << line << ": " << reply;
}

} // namespace kelvo::test

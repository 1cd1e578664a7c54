// kelvo-sim in a child process for the whole run of a benchmark, read up to
// its "ready" line and ended with SIGTERM (or by the death of the benchmark).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kelvo::bench {

class SimChild {
public:
    SimChild() = default;
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;
    ~SimChild() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool Start(std::vector<std::string> args) {
        args.insert(args.begin(), KELVO_BIN_DIR "/kelvo-sim");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; text.find("ready\n") == std::string::npos &&
                        (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        ::close(out[0]);
        const std::size_t at = text.find("serial: ");
        if (at != std::string::npos)
            serial_ = text.substr(at + 8, text.find('\n', at) - at - 8);
        return pid_ > 0 && text.find("ready\n") != std::string::npos;
    }

    pid_t pid() const { return pid_; }
    const std::string& serial() const { return serial_; }

private:
    pid_t pid_ = -1;
    std::string serial_;
};

} // namespace kelvo::bench

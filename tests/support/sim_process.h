// A kelvo-sim process for tests: started on its own loopback address, read up
// to its "ready" line, killed if a test leaves it running.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kelvo::test {

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    // Starts the binary and reads its standard output up to "ready".
    ::testing::AssertionResult Start(std::vector<std::string> args,
                                     std::vector<std::string> env = {});
    ::testing::AssertionResult Spawn(std::vector<std::string> args,
                                     std::vector<std::string> env = {});
    ::testing::AssertionResult ReadReady();
    // A "key: value" line the simulator printed before "ready" ("serial", "com", ...).
    std::string Line(const std::string& key) const;
    // Waits for the process to end by itself or after `signal`; its exit
    // status, or -1 when it had to be killed.
    int WaitExit(int signal = 0);
    pid_t pid() const { return pid_; }
    // Sends one line to the control socket at `path` (--control); success when
    // the simulator answers "ok".
    static ::testing::AssertionResult Control(const std::string& path, const std::string& line);

private:
    pid_t pid_ = 0;
    int out_ = -1;
    std::map<std::string, std::string> lines_;
};

} // namespace kelvo::test

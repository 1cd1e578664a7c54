// The control channel: a Unix-domain stream socket on which a test or a load
// program changes the fault plan of a running simulator. Each line is a plan
// (see ParseFaultPlan) and is answered with "ok" or "error: <why>" once the
// plan is in force, so the next request already sees it.
#pragma once

#include "kelvo-sim/links.h"
#include "kelvo-sim/simulator.h"

#include <string>

namespace kelvo::sim {

class ControlChannel {
public:
    ControlChannel(Simulator& sim, StopSignal& stop) : sim_(sim), stop_(stop) {}
    ~ControlChannel(); // closes the socket and removes its path
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Binds and listens on `path` (an old socket file there is replaced).
    bool Open(const std::string& path, std::string& error);
    // Serves clients one after the other until stopped.
    void Run();

private:
    void Serve(int client);

    Simulator& sim_;
    StopSignal& stop_;
    int fd_ = -1;
    std::string path_;
};

} // namespace kelvo::sim

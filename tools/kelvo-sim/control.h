// The control channel: a Unix-domain stream socket on which a test or a load
// program changes the fault plan of a running simulator. Each line is a plan
// (see ParseFaultPlan), for every device or, after "device N", for the N-th
// (from 1), and is answered with "ok" or "error: <why>" once the plan is in
// force, so the next request already sees it. One client at a time.
#pragma once

#include "kelvo-sim/event_loop.h"
#include "kelvo-sim/simulator.h"

#include <memory>
#include <string>
#include <vector>

namespace kelvo::sim {

class ControlChannel final : public Watcher {
public:
    explicit ControlChannel(std::vector<Simulator*> devices);
    ~ControlChannel() override; // closes the socket and removes its path

    // Binds and listens on `path` (an old socket file there is replaced).
    bool Open(const std::string& path, std::string& error);
    // Serves clients on `loop`, which outlives the channel.
    void Attach(EventLoop& loop);
    void OnEvents(std::uint32_t events) override;

    // The reply to one line ("ok\n" or "error: ...\n"), the plan put in force.
    std::string Apply(const std::string& line);

private:
    class Client;
    void ClientGone();

    std::vector<Simulator*> devices_;
    EventLoop* loop_ = nullptr;
    std::unique_ptr<Client> client_;
    int fd_ = -1;
    std::string path_;
};

} // namespace kelvo::sim

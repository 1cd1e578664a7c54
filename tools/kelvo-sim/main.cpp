// kelvo-sim: the device side of the protocol over TCP, TLS and a
// pseudo-terminal serial line, with injectable faults; one device or a plant
// of many, all served by one event loop.
#include "common/program_info.h"
#include "kelvo-sim/capture.h"
#include "kelvo-sim/commands.h"
#include "kelvo-sim/commands_users.h"
#include "kelvo-sim/control.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/faults.h"
#include "kelvo-sim/links.h"
#include "kelvo-sim/log.h"
#include "kelvo-sim/plant.h"
#include "kelvo-sim/simulator.h"
#include "kelvo-sim/tls.h"

#include <CLI/CLI.hpp>

#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace kelvo::sim;

struct Options {
    std::string address = "127.0.0.2";
    std::uint16_t tcpPort = 17221;
    std::uint16_t tlsPort = 17222;
    bool noTcp = false;
    bool noTls = false;
    bool serial = false;
    int linkCom = 0;
    std::optional<int> node;
    std::optional<int> serialAddress;
    std::string stateFile;
    CertificateOptions cert;
    bool printFingerprint = false;
    bool verbose = false;
    std::vector<std::string> faults;
    std::uint64_t faultAt = 1;
    std::uint64_t faultCount = 0;
    std::string faultCommand;
    std::string control; // control socket path; empty: none
    std::uint64_t maxRequests = 0;
    double exitAfterSeconds = 0;
    bool requireLogin = false;
    std::uint32_t lostLogins = 0;
    std::uint64_t dropSessionAt = 0;
    std::optional<std::uint32_t> pushRate;
    bool streamAtStart = false;
    bool discovery = false;
    std::string discoveryAddress; // empty: the --addr address
    bool blink = false;
    std::optional<std::size_t> devices; // --devices: a plant of this many
    std::string listFile;
    std::vector<std::size_t> faultDevices; // empty: the faults hit every device
    std::string capture;                   // pcap file of every frame; empty: none
};

void PrintLine(const std::string& text) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

bool BuildFaultPlan(const Options& options, FaultPlan& plan, std::string& error) {
    for (const std::string& text : options.faults) {
        Fault fault;
        if (!ParseFault(text, fault, error))
            return false;
        plan.faults.push_back(fault);
    }
    plan.firstRequest = options.faultAt;
    plan.count = options.faultCount;
    if (!options.faultCommand.empty()) {
        char* end = nullptr;
        errno = 0;
        unsigned long code = std::strtoul(options.faultCommand.c_str(), &end, 0);
        if (*end != '\0' || errno != 0 || code > 0xFFFF) {
            error = "--fault-command " + options.faultCommand + " is not a 16-bit code";
            return false;
        }
        plan.command = static_cast<std::uint16_t>(code);
    }
    return true;
}

// Ends the loop on SIGTERM, SIGINT or SIGHUP, and when the time is up.
class Ending final : public Watcher {
public:
    Ending(EventLoop& loop, StopSignal& stop) : loop_(loop), stop_(stop) {}
    ~Ending() override {
        loop_.Unwatch(*this);
        loop_.CancelTimer(*this);
        if (signalFd_ >= 0)
            close(signalFd_);
    }
    // Signals are taken through a descriptor; the mask is set before any
    // other thread starts.
    void Start(double exitAfterSeconds) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);
        signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
        if (signalFd_ >= 0)
            loop_.Watch(*this, signalFd_, EPOLLIN);
        if (exitAfterSeconds > 0)
            loop_.SetTimer(*this,
                           Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(exitAfterSeconds)));
    }
    void OnEvents(std::uint32_t) override {
        signalfd_siginfo info{};
        if (read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            return;
        LogVerbose("signal " + std::to_string(info.ssi_signo));
        ended_ = true;
        stop_.Raise();
    }
    void OnTimer() override {
        LogVerbose("time is up");
        ended_ = true;
        stop_.Raise();
    }
    bool Ended() const { return ended_; }

private:
    EventLoop& loop_;
    StopSignal& stop_;
    int signalFd_ = -1;
    bool ended_ = false;
};

// Lets a plant of many devices open two sockets per device and a connection
// on each.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Run(const Options& options) {
    SetVerbose(options.verbose);

    DeviceState state;
    std::string error;
    if (!options.stateFile.empty() && !LoadDeviceState(options.stateFile, state, error)) {
        LogLine(error);
        return 1;
    }
    if (options.node)
        state.node = static_cast<std::uint8_t>(*options.node);
    if (options.serialAddress)
        state.serialAddress = static_cast<std::uint8_t>(*options.serialAddress);
    state.loginRequired = state.loginRequired || options.requireLogin || options.dropSessionAt > 0;
    state.lostLogins = options.lostLogins;
    state.dropSessionAt = options.dropSessionAt;
    if (options.pushRate)
        state.pushRate = *options.pushRate;
    if (options.streamAtStart)
        state.streams.set(0);
    state.network.showBlink = state.network.showBlink || options.blink;
    FaultPlan plan;
    if (!BuildFaultPlan(options, plan, error)) {
        LogLine(error);
        return 2;
    }
    const std::size_t count = options.devices.value_or(1);
    for (std::size_t faulted : options.faultDevices) {
        if (faulted > count) {
            LogLine("--fault-device " + std::to_string(faulted) + ": there are " +
                    std::to_string(count) + " devices");
            return 2;
        }
    }
    if (count > 1)
        RaiseDescriptorLimit();

    // The loop outlives everything attached to it.
    EventLoop loop;
    StopSignal stop;
    Ending ending(loop, stop);
    ending.Start(options.exitAfterSeconds);
    if (!loop.Ok()) {
        LogLine("epoll: " + std::string(std::strerror(errno)));
        return 1;
    }

    TlsServer tlsServer;
    if (!options.noTls) {
        if (!tlsServer.Init(options.cert, error)) {
            LogLine("tls: " + error);
            return 1;
        }
        RequestedCertificates::Install(tlsServer.Context());
    }

    FrameCapture capture;
    if (!options.capture.empty() && !capture.Open(options.capture, error)) {
        LogLine("capture: " + error);
        return 1;
    }
    std::vector<std::unique_ptr<Device>> devices;
    for (std::size_t i = 0; i < count; ++i) {
        std::string address = options.address;
        if (count > 1 && !NthAddress(options.address, i, address)) {
            LogLine("--addr " + options.address + " is no IPv4 address with " +
                    std::to_string(count) + " addresses after it");
            return 2;
        }
        const std::string name = DeviceName(i, count);
        DeviceState own = state;
        if (options.devices)
            Individualize(own, i, name);
        const bool faulted = options.faultDevices.empty() ||
                             std::find(options.faultDevices.begin(), options.faultDevices.end(),
                                       i + 1) != options.faultDevices.end();
        devices.push_back(std::make_unique<Device>(name, address, std::move(own),
                                                   faulted ? plan : FaultPlan{}, stop,
                                                   options.maxRequests));
        devices.back()->sim.SetLog(LogVerbose);
        if (!options.capture.empty())
            capture.Attach(devices.back()->sim, static_cast<std::uint16_t>(devices.size()));
        if (!OpenLinks(*devices.back(), loop, options.tcpPort, options.tlsPort,
                       options.noTls ? nullptr : tlsServer.Context(), !options.noTcp, error)) {
            LogLine(error);
            return 1;
        }
    }
    Device& first = *devices.front();
    if (count == 1) {
        if (first.tcp)
            PrintLine("tcp: " + first.address + ":" + std::to_string(first.tcp->Port()));
        if (first.tls)
            PrintLine("tls: " + first.address + ":" + std::to_string(first.tls->Port()));
    } else {
        PrintLine("devices: " + std::to_string(count) + " " + first.address + " - " +
                  devices.back()->address);
    }
    if (!options.noTls) {
        LogLine("TLS certificate SHA-256 fingerprint " + tlsServer.Fingerprint());
        if (options.printFingerprint) {
            PrintLine("fingerprint: " + tlsServer.Fingerprint());
            PrintLine("cert-dates: " + std::to_string(tlsServer.NotBefore()) + " " +
                      std::to_string(tlsServer.NotAfter()));
        }
    }
    // The serial line belongs to the first device.
    std::unique_ptr<SerialLine> serial;
    if (options.serial || options.linkCom > 0) {
        serial = std::make_unique<SerialLine>(first.context);
        if (!serial->Open(error)) {
            LogLine("serial: " + error);
            return 1;
        }
        PrintLine("serial: " + serial->SlavePath());
        if (options.linkCom > 0) {
            std::string linkPath;
            if (!serial->LinkCom(options.linkCom, linkPath, error)) {
                LogLine("serial: " + error);
                return 1;
            }
            PrintLine("com: " + linkPath);
        }
        serial->Attach(loop);
    }

    if (options.discovery || !options.discoveryAddress.empty()) {
        for (auto& device : devices) {
            const std::string& bindAddress =
                options.discoveryAddress.empty() ? device->address : options.discoveryAddress;
            device->discovery = std::make_unique<DiscoveryResponder>(device->sim, device->address);
            if (!device->discovery->Open(bindAddress, error)) {
                LogLine("discovery: " + error);
                return 1;
            }
            device->discovery->Attach(loop);
        }
        PrintLine("discovery: " +
                  (options.discoveryAddress.empty() ? first.address : options.discoveryAddress) +
                  ":" + std::to_string(kDiscoveryPort));
    }

    std::unique_ptr<ControlChannel> control;
    if (!options.control.empty()) {
        std::vector<Simulator*> sims;
        for (auto& device : devices)
            sims.push_back(&device->sim);
        control = std::make_unique<ControlChannel>(std::move(sims));
        if (!control->Open(options.control, error)) {
            LogLine("control: " + error);
            return 1;
        }
        control->Attach(loop);
        PrintLine("control: " + options.control);
    }

    if (!options.listFile.empty()) {
        std::ofstream list(options.listFile, std::ios::trunc);
        list << DevicesList(devices);
        if (!list.flush()) {
            LogLine(options.listFile + ": cannot write the devices file");
            return 1;
        }
        PrintLine("list: " + options.listFile);
    }

    PrintLine("ready");
    loop.Run(stop);
    if (!ending.Ended())
        LogVerbose("request limit reached");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"kelvo-sim: simulated device for the Kelvo protocol"};
    app.add_option("--addr", options.address, "listening address (default 127.0.0.2)");
    app.add_option("--tcp-port", options.tcpPort, "TCP port (default 17221, 0: any free)");
    app.add_option("--tls-port", options.tlsPort, "TLS port (default 17222, 0: any free)");
    app.add_flag("--no-tcp", options.noTcp, "no TCP listener");
    app.add_flag("--no-tls", options.noTls, "no TLS listener");
    app.add_flag("--serial", options.serial, "serve a pseudo-terminal serial line");
    app.add_option("--link-com", options.linkCom, "link comN in the devices folder to the line")
        ->check(CLI::Range(1, 256));
    app.add_option("--node", options.node, "node byte of the answers")->check(CLI::Range(0, 255));
    app.add_option("--serial-address", options.serialAddress, "serial bus address")
        ->check(CLI::Range(0, 254));
    app.add_option("--state", options.stateFile, "device state file (XML)")
        ->check(CLI::ExistingFile);
    app.add_option("--cert", options.cert.certFile, "TLS certificate chain (PEM)")
        ->check(CLI::ExistingFile);
    app.add_option("--key", options.cert.keyFile, "TLS private key (PEM)")
        ->check(CLI::ExistingFile);
    app.add_option("--cert-not-before", options.cert.notBefore,
                   "start of a made certificate, seconds since 1970");
    app.add_option("--cert-not-after", options.cert.notAfter,
                   "end of a made certificate, seconds since 1970");
    app.add_flag("--print-fingerprint", options.printFingerprint,
                 "print the certificate's SHA-256 fingerprint and dates on stdout");
    app.add_flag("-v,--verbose", options.verbose, "log requests and answers in hex on stderr");
    app.add_option("--fault", options.faults,
                   "silent, delay:MS, wrong-counter, wrong-status, device-error:CODE, bad-crc, "
                   "wrong-address, close, cut:N, store-other (repeatable)");
    app.add_option("--fault-at", options.faultAt, "first faulted request (from 1)")
        ->check(CLI::PositiveNumber);
    app.add_option("--fault-count", options.faultCount, "number of faulted requests (0: all)");
    app.add_option("--fault-command", options.faultCommand, "fault only this command code");
    app.add_option("--control", options.control,
                   "Unix socket on which lines change the fault plan while running");
    app.add_option("--max-requests", options.maxRequests, "exit after this many requests");
    app.add_option("--exit-after-seconds", options.exitAfterSeconds, "exit after this time")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--require-login", options.requireLogin,
                 "commands other than login, logout and push data need a login session");
    app.add_option("--lost-login", options.lostLogins,
                   "refuse the next N logins with 0x1500000E (session lost)");
    app.add_option("--drop-session-at", options.dropSessionAt,
                   "end the login session when request N arrives (implies --require-login)");
    app.add_option("--push-rate", options.pushRate,
                   "bytes per second of a running push stream on the serial line (default 20000)")
        ->check(CLI::Range(1u, 10000000u));
    app.add_flag("--stream-at-start", options.streamAtStart,
                 "push stream 0 runs from the start (serial line)");
    app.add_flag("--discovery", options.discovery,
                 "answer UDP discovery requests on port 17220 of the --addr address");
    app.add_option("--discovery-addr", options.discoveryAddress,
                   "answer UDP discovery on this address instead (0.0.0.0: broadcasts on every "
                   "interface); implies --discovery");
    app.add_flag("--blink", options.blink, "write the blink time of every ping on stderr");
    app.add_option("--capture", options.capture,
                   "write every frame of every link to FILE (pcap for the Wireshark dissector)")
        ->type_name("FILE");
    app.add_option("--devices", options.devices,
                   "serve this many independent devices, on --addr and the addresses after it")
        ->check(CLI::Range(std::size_t{1}, std::size_t{4096}));
    app.add_option("--list-file", options.listFile,
                   "write the devices file (NAME CONNECTION-TEXT a line) of the served devices");
    app.add_option("--fault-device", options.faultDevices,
                   "the --fault options hit only this device (from 1; repeatable)")
        ->check(CLI::PositiveNumber);
    kelvo::programs::AddProgramFlags(app, "kelvo-sim");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return Run(options);
}

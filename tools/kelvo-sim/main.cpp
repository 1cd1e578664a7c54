// kelvo-sim: the device side of the protocol over TCP, TLS and a
// pseudo-terminal serial line, with injectable faults.
#include "common/program_info.h"
#include "kelvo-sim/commands.h"
#include "kelvo-sim/commands_users.h"
#include "kelvo-sim/control.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/faults.h"
#include "kelvo-sim/links.h"
#include "kelvo-sim/log.h"
#include "kelvo-sim/simulator.h"
#include "kelvo-sim/tls.h"

#include <CLI/CLI.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
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

    // Signals are taken through a descriptor; every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    Simulator sim(state, DefaultCommands(), std::move(plan));
    sim.SetLog(LogVerbose);
    StopSignal stop;
    LinkContext context{sim, stop, options.maxRequests};

    std::unique_ptr<SocketListener> tcp;
    if (!options.noTcp) {
        tcp = std::make_unique<SocketListener>(context, nullptr);
        if (!tcp->Open(options.address, options.tcpPort, error)) {
            LogLine("tcp: " + error);
            return 1;
        }
        PrintLine("tcp: " + options.address + ":" + std::to_string(tcp->Port()));
    }
    TlsServer tlsServer;
    std::unique_ptr<SocketListener> tls;
    std::unique_ptr<RequestedCertificates> requestedCertificates;
    if (!options.noTls) {
        if (!tlsServer.Init(options.cert, error)) {
            LogLine("tls: " + error);
            return 1;
        }
        tls = std::make_unique<SocketListener>(context, tlsServer.Context());
        requestedCertificates = std::make_unique<RequestedCertificates>(tlsServer.Context(), sim);
        if (!tls->Open(options.address, options.tlsPort, error)) {
            LogLine("tls: " + error);
            return 1;
        }
        PrintLine("tls: " + options.address + ":" + std::to_string(tls->Port()));
        LogLine("TLS certificate SHA-256 fingerprint " + tlsServer.Fingerprint());
        if (options.printFingerprint) {
            PrintLine("fingerprint: " + tlsServer.Fingerprint());
            PrintLine("cert-dates: " + std::to_string(tlsServer.NotBefore()) + " " +
                      std::to_string(tlsServer.NotAfter()));
        }
    }
    std::unique_ptr<SerialLine> serial;
    if (options.serial || options.linkCom > 0) {
        serial = std::make_unique<SerialLine>(context);
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
    }

    std::unique_ptr<DiscoveryResponder> discovery;
    if (options.discovery || !options.discoveryAddress.empty()) {
        const std::string& bindAddress =
            options.discoveryAddress.empty() ? options.address : options.discoveryAddress;
        discovery = std::make_unique<DiscoveryResponder>(sim, stop, options.address);
        if (!discovery->Open(bindAddress, error)) {
            LogLine("discovery: " + error);
            return 1;
        }
        PrintLine("discovery: " + bindAddress + ":" + std::to_string(kDiscoveryPort));
    }

    std::unique_ptr<ControlChannel> control;
    if (!options.control.empty()) {
        control = std::make_unique<ControlChannel>(sim, stop);
        if (!control->Open(options.control, error)) {
            LogLine("control: " + error);
            return 1;
        }
        PrintLine("control: " + options.control);
    }

    std::vector<std::thread> threads;
    if (control)
        threads.emplace_back([&] { control->Run(); });
    if (discovery)
        threads.emplace_back([&] { discovery->Run(); });
    if (tcp)
        threads.emplace_back([&] { tcp->Run(); });
    if (tls)
        threads.emplace_back([&] { tls->Run(); });
    if (serial)
        threads.emplace_back([&] { serial->Run(); });
    PrintLine("ready");

    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (options.exitAfterSeconds > 0)
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.exitAfterSeconds));
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
        int timeout = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            LogVerbose("time is up");
        if (ready > 0 && fds[0].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] ssize_t n = read(signalFd, &info, sizeof info);
            LogVerbose("signal " + std::to_string(info.ssi_signo));
        }
        if (ready > 0 && fds[1].revents != 0)
            LogVerbose("request limit reached");
        break;
    }
    stop.Raise();
    for (std::thread& thread : threads)
        thread.join();
    if (signalFd >= 0)
        close(signalFd);
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
                   "wrong-address, close, cut:N (repeatable)");
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
    kelvo::programs::AddProgramFlags(app, "kelvo-sim");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return Run(options);
}

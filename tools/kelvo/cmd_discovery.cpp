// Network discovery: scan (UDP broadcast, no connection) and ping.
#include "commands.h"
#include "value_text.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::tool {
namespace {

// Seconds left of a scan on standard error, while it is a terminal.
class Countdown {
public:
    explicit Countdown(int seconds) {
        if (seconds <= 0 || !isatty(STDERR_FILENO))
            return;
        thread_ = std::thread([this, seconds] {
            std::unique_lock lock(mutex_);
            for (int left = seconds; left > 0 && !done_; --left) {
                std::fprintf(stderr, "\rscanning, %d s left ", left);
                std::fflush(stderr);
                wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; });
            }
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        });
    }
    ~Countdown() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    Countdown(const Countdown&) = delete;
    Countdown& operator=(const Countdown&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Why a scan from `source` fails, told by binding its socket once more; empty
// when that works now (the send or a receive failed).
std::string WhyScanFailed(const std::string& source) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(17220);
    if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1)
        return "'" + source + "' is no IPv4 address: scan SRCIP takes an address of this host";
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("cannot make a UDP socket: ") + std::strerror(errno);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const int error = errno;
    close(fd);
    if (bound == 0)
        return {};
    const std::string what = "cannot bind " + source + ":17220: ";
    if (error == EADDRINUSE)
        return what + "the port is in use (by another scan, or by a kelvo-sim --discovery on this "
                      "address: scan from another address of this host)";
    if (error == EADDRNOTAVAIL)
        return what + "not an address of this host";
    return what + std::strerror(error);
}

void AddScanCommand(CLI::App& app, Tool& tool) {
    struct Args {
        std::string source;
        int seconds = 3;
    };
    auto args = std::make_shared<Args>();
    CLI::App* scan = app.add_subcommand(
        "scan", "find devices by a UDP broadcast from SRCIP; one line per answer, items by TAB");
    scan->add_option("SRCIP", args->source, "local IPv4 address to send from")->required();
    scan->add_option("SECONDS", args->seconds, "listening time (default 3)");
    scan->callback([&tool, args] {
        tool.Set({"ScanUDP", Link::None,
                  [args](IKelvo& object, VARIANT* result) {
                      Bstr source(Utf8ToUtf16(args->source));
                      Bstr text;
                      HRESULT hr;
                      {
                          Countdown countdown(args->seconds);
                          hr = object.ScanUDP(source.get(), args->seconds, text.out());
                      }
                      if (FAILED(hr))
                          return hr;
                      return Lines(ScanLines(Utf16ToUtf8(text.view())), result);
                  },
                  nullptr, [args] { return WhyScanFailed(args->source); }});
    });
}

void AddPingCommand(CLI::App& app, Tool& tool) {
    auto blink = std::make_shared<int>(1000);
    CLI::App* ping = app.add_subcommand(
        "ping", "blink the device (BLINK ms, 1000 to 10000) and print its items");
    ping->add_option("BLINK", *blink, "blink time in milliseconds (default 1000)")
        ->check(CLI::Range(-32768, 32767));
    ping->callback([&tool, blink] {
        tool.Set({"Ping", Link::Required,
                  [blink](IKelvo& object, VARIANT* result) {
                      BSTR text = nullptr;
                      HRESULT hr = object.Ping(static_cast<SHORT>(*blink), &text);
                      if (FAILED(hr))
                          return hr;
                      result->vt = VT_BSTR;
                      result->bstrVal = text;
                      return S_OK;
                  },
                  [](const VARIANT& result) {
                      return PingJson(Utf16ToUtf8(BstrView(result.bstrVal)));
                  }});
    });
}

// Length of a quoted text value starting after its opening quote: up to the
// quote that is followed by the next member or the end of the members. Text
// values are not escaped, so a quote inside one is only told apart this way.
std::size_t TextValueLength(std::string_view rest) {
    for (std::size_t q = rest.find('"'); q != std::string_view::npos; q = rest.find('"', q + 1)) {
        const std::string_view after = rest.substr(q + 1);
        if (after.empty())
            return q;
        if (after.starts_with(", \"")) {
            std::size_t digits = 3;
            while (digits < after.size() && after[digits] >= '0' && after[digits] <= '9')
                ++digits;
            if (digits > 3 && after.substr(digits).starts_with("\":"))
                return q;
        }
    }
    return std::string_view::npos;
}

// The ping text as a JSON value; null when it is not in that form.
nlohmann::ordered_json PingJsonValue(std::string_view text) {
    if (text.size() < 4 || !text.starts_with("{ ") || !text.ends_with(" }"))
        return nullptr;
    // The members between "{ " and " }", each "\"key\":value", ", " between.
    std::string_view rest = text.substr(2, text.size() - 4);
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    while (!rest.empty()) {
        const std::size_t keyEnd = rest.find("\":", 1);
        if (!rest.starts_with('"') || keyEnd == std::string_view::npos)
            return nullptr;
        nlohmann::ordered_json& member = json[std::string(rest.substr(1, keyEnd - 1))];
        rest.remove_prefix(keyEnd + 2);
        std::size_t used = 0;
        if (rest.starts_with('"')) {
            const std::size_t length = TextValueLength(rest.substr(1));
            if (length == std::string_view::npos)
                return nullptr;
            member = std::string(rest.substr(1, length));
            used = length + 2;
        } else {
            used = std::min(rest.find(", \""), rest.size());
            const std::string_view value = rest.substr(0, used);
            // Numbers and true/false as they are; non-finite numbers ("nan",
            // "inf") have no JSON form and stay null, as does an empty value.
            const auto parsed = nlohmann::ordered_json::parse(value, nullptr, false);
            if (parsed.is_number() || parsed.is_boolean())
                member = parsed;
        }
        rest.remove_prefix(used);
        if (rest.starts_with(", "))
            rest.remove_prefix(2);
        else if (!rest.empty())
            return nullptr;
    }
    return json;
}

} // namespace

std::vector<std::string> ScanLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        std::string line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\t')
            line.pop_back();
        lines.push_back(std::move(line));
        start = lf + 1;
    }
    return lines;
}

std::string PingJson(std::string_view text) {
    return JsonText(PingJsonValue(text));
}

void AddDiscoveryCommands(CLI::App& app, Tool& tool) {
    AddScanCommand(app, tool);
    AddPingCommand(app, tool);
}

} // namespace kelvo::tool

#include "ui/window_plugin.h"

#include "automation/settings_paths.h"
#include "device/messages.h"

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#ifndef KELVO_UI_PLUGIN_DIR
#define KELVO_UI_PLUGIN_DIR ""
#endif

namespace kelvo::ui {
namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether a stream socket at `address` takes a connection within half a second.
bool Connects(const sockaddr* address, socklen_t length) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool connected = ::connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::poll(&p, 1, 500) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return connected;
}

// A Unix-domain socket by path, or in the abstract namespace when `abstract`.
bool UnixSocketConnects(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstract ? 0 : 1));
    return Connects(reinterpret_cast<const sockaddr*>(&address), length);
}

// An X display "[host]:number[.screen]": a local one listens on its Unix
// socket (abstract or in /tmp/.X11-unix), a remote one on TCP 6000 + number.
bool XServerReachable(const std::string& display) {
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = display.substr(0, colon);
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
        number.size() > 4)
        return false;
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + number;
        return UnixSocketConnects(socket, true) || UnixSocketConnects(socket, false);
    }
    // An ssh-forwarded or remote display.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + std::stoi(number));
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        return false;
    bool reachable = false;
    for (addrinfo* a = found; a && !reachable; a = a->ai_next)
        reachable = Connects(a->ai_addr, a->ai_addrlen);
    ::freeaddrinfo(found);
    return reachable;
}

// A Wayland display: a socket name in $XDG_RUNTIME_DIR, or an absolute path.
bool WaylandReachable(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return UnixSocketConnects(name, false);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && UnixSocketConnects(std::string(runtime) + "/" + name, false);
}

struct Plugin {
    RunDialogEntry run = nullptr;
    MessageBoxEntry messageBox = nullptr;
    std::string error;
};

std::vector<std::string> Candidates() {
    if (const char* chosen = std::getenv("KELVO_UI_PLUGIN"); chosen && *chosen)
        return {chosen};
    std::vector<std::string> paths;
    const std::string module = ModuleDirectory();
    if (!module.empty()) {
        paths.push_back(module + kPluginFileName);
        paths.push_back(module + "../lib/" + kPluginFileName);
    }
    if (*KELVO_UI_PLUGIN_DIR)
        paths.push_back(std::string(KELVO_UI_PLUGIN_DIR) + "/" + kPluginFileName);
    paths.push_back(kPluginFileName);
    return paths;
}

// Loaded once and never unloaded: a toolkit does not survive being unloaded.
const Plugin& LoadPlugin() {
    static Plugin plugin;
    static std::once_flag once;
    std::call_once(once, [] {
        for (const std::string& path : Candidates()) {
            void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                if (plugin.error.empty())
                    plugin.error = ::dlerror();
                continue;
            }
            plugin.run = reinterpret_cast<RunDialogEntry>(::dlsym(handle, kRunDialogSymbol));
            plugin.messageBox =
                reinterpret_cast<MessageBoxEntry>(::dlsym(handle, kMessageBoxSymbol));
            if (plugin.run && plugin.messageBox)
                return;
            plugin.error = path + ": not a dialog window plugin";
            plugin.run = nullptr;
            plugin.messageBox = nullptr;
        }
    });
    return plugin;
}

MessageBoxEntry g_pluginMessageBox = nullptr;

void PluginMessageBox(std::u16string_view text, std::u16string_view caption, unsigned style) {
    g_pluginMessageBox(text.data(), text.size(), caption.data(), caption.size(), style);
}

void Complain(const std::string& line) {
    std::fprintf(stderr, "Kelvo Config: %s\n", line.c_str());
}

} // namespace

// The toolkit ends the process when it cannot reach the display it is given,
// so the display is tried first.
bool DisplayAvailable() {
    if (EnvSet("QT_QPA_PLATFORM"))
        return true;
    return (EnvSet("WAYLAND_DISPLAY") && WaylandReachable(std::getenv("WAYLAND_DISPLAY"))) ||
           (EnvSet("DISPLAY") && XServerReachable(std::getenv("DISPLAY")));
}

int RunDialog(DialogModel& model) {
    if (!DisplayAvailable()) {
        Complain("no display reachable, the settings dialog is not shown");
        return kNoWindow;
    }
    const Plugin& plugin = LoadPlugin();
    if (!plugin.run) {
        Complain("no dialog window (" + plugin.error + ")");
        return kNoWindow;
    }
    g_pluginMessageBox = plugin.messageBox;
    // Message boxes go to the window unless the host routes them itself.
    const MessageBoxFunction previous = SetMessageBoxFunction(PluginMessageBox);
    if (previous)
        SetMessageBoxFunction(previous);
    const int result = plugin.run(&model);
    if (!previous)
        SetMessageBoxFunction(nullptr);
    if (result == kNoWindow)
        Complain("the settings dialog could not be shown");
    return result;
}

} // namespace kelvo::ui

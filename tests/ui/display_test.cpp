// Whether the settings window may be shown: the toolkit ends the process when
// the display it is given does not answer, so an unreachable one means no window.
#include "support/scoped_env.h"
#include "support/temp_folder.h"
#include "ui/dlg_config.h"
#include "ui/window_plugin.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

// A listening stream socket: at a Unix-domain path (or that name in the
// abstract namespace), or at a TCP port of the loopback address.
class Listener {
public:
    Listener(const std::string& path, bool abstract) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        std::memcpy(a.sun_path + offset, path.data(), path.size());
        Listen(AF_UNIX, &a,
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size()));
    }
    explicit Listener(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Listen(AF_INET, &a, sizeof a);
    }
    ~Listener() { ::close(fd_); }
    bool ok() const { return ok_; }

private:
    void Listen(int family, const void* address, socklen_t length) {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ok_ = ::bind(fd_, static_cast<const sockaddr*>(address), length) == 0 &&
              ::listen(fd_, 16) == 0;
    }
    int fd_ = -1;
    bool ok_ = false;
};

TEST(Display, OnlyAReachableDisplayOrAChosenPlatformShowsTheWindow) {
    TempFolder folder("display");
    const fs::path runtime = folder.path();
    // Display numbers nobody else uses: 9713 has no server, 9714 a local one
    // (abstract socket), 9715 a forwarded one (TCP 15715).
    Listener wayland((runtime / "wayland-9").string(), false);
    Listener localX("/tmp/.X11-unix/X9714", true);
    Listener forwardedX(6000 + 9715);
    ASSERT_TRUE(wayland.ok() && localX.ok() && forwardedX.ok());

    struct Case {
        const char* platform;
        const char* wayland;
        const char* display;
        bool shown;
    };
    const std::string waylandPath = (runtime / "wayland-9").string();
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},
        {"offscreen", nullptr, ":9713", true},
        {nullptr, nullptr, ":9713", false},
        {nullptr, nullptr, ":9714", true},
        {nullptr, nullptr, "unix:9714.0", true},
        {nullptr, nullptr, "127.0.0.1:9715.0", true},
        {nullptr, nullptr, "127.0.0.1:9713", false},
        {nullptr, nullptr, "no colon", false},
        {nullptr, nullptr, ":x", false},
        {nullptr, "wayland-9", nullptr, true},
        {nullptr, waylandPath.c_str(), nullptr, true},
        {nullptr, "wayland-8", nullptr, false},
        {nullptr, "wayland-8", ":9714", true},
        {nullptr, "", "", false},
    };
    ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.c_str());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.wayland ? c.wayland : "-") + " " +
                     (c.display ? c.display : "-"));
        ScopedEnv platform("QT_QPA_PLATFORM", c.platform);
        ScopedEnv wl("WAYLAND_DISPLAY", c.wayland);
        ScopedEnv x("DISPLAY", c.display);
        EXPECT_EQ(ui::DisplayAvailable(), c.shown);
    }

    // Given an unreachable display the dialog reports that no window is shown,
    // and the process goes on.
    ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    ScopedEnv wl("WAYLAND_DISPLAY", nullptr);
    ScopedEnv x("DISPLAY", ":9713");
    CDlgConfig dialog([](int) { return false; });
    EXPECT_EQ(ui::RunDialog(dialog), ui::kNoWindow);
}

} // namespace
} // namespace kelvo::test

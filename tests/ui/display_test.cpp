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
#include <vector>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

// Listening stream sockets, closed at the end of the test.
struct Listeners {
    ~Listeners() {
        for (int fd : fds)
            ::close(fd);
    }
    bool Listen(int family, const void* address, std::size_t length) {
        fds.push_back(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        ::setsockopt(fds.back(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        return ::bind(fds.back(), static_cast<const sockaddr*>(address),
                      static_cast<socklen_t>(length)) == 0 &&
               ::listen(fds.back(), 16) == 0;
    }
    // At a Unix-domain path, or that name in the abstract namespace.
    bool Unix(const std::string& path, bool abstract) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + abstract, path.data(), path.size());
        return Listen(AF_UNIX, &a, offsetof(sockaddr_un, sun_path) + abstract + path.size());
    }
    std::vector<int> fds;
};

TEST(Display, OnlyAReachableDisplayOrAChosenPlatformShowsTheWindow) {
    TempFolder folder("display");
    const fs::path runtime = folder.path();
    // Display numbers nobody else uses: 9713 has no server, 9714 a local one
    // (abstract socket), 9715 a forwarded one (TCP 15715).
    Listeners listeners;
    sockaddr_in forwarded{};
    forwarded.sin_family = AF_INET;
    forwarded.sin_port = htons(6000 + 9715);
    forwarded.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(listeners.Unix((runtime / "wayland-9").string(), false) &&
                listeners.Unix("/tmp/.X11-unix/X9714", true) &&
                listeners.Listen(AF_INET, &forwarded, sizeof forwarded));

    struct Case {
        const char *platform, *wayland, *display;
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

#include "transport/portway/device_paths.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvo::portway {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// "kelvo/devices" of the per-user settings folder; empty without one.
std::string UserDeviceFolder() {
    std::string base = Env("APPDATA");
    if (base.empty())
        base = Env("XDG_CONFIG_HOME");
    if (base.empty()) {
        std::string home = Env("HOME");
        if (home.empty())
            return {};
        base = home + "/.config";
    }
    return base + "/kelvo/devices";
}

bool EntryExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsWritableFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace

std::string ComDevicePath(unsigned n) {
    std::string link = "com" + std::to_string(n);
    std::string fixed = Env("KELVO_DEVICES");
    std::vector<std::string> folders;
    if (!fixed.empty()) {
        folders.push_back(fixed);
    } else {
        std::string user = UserDeviceFolder();
        if (!user.empty())
            folders.push_back(user);
        folders.emplace_back("/etc/kelvo/devices");
    }
    for (const std::string& folder : folders) {
        std::string path = folder + "/" + link;
        if (EntryExists(path))
            return path;
    }
    return "/dev/ttyS" + std::to_string(n == 0 ? 0 : n - 1);
}

std::string BridgeSocketPath(std::string_view name) {
    std::string runtime = Env("XDG_RUNTIME_DIR");
    std::string folder = runtime.empty() ? std::string("/run/kelvo") : runtime + "/kelvo";
    return folder + "/" + std::string(name) + ".sock";
}

std::string LinkLockPath(std::string_view linkId) {
    std::string folder = Env("XDG_RUNTIME_DIR");
    if (!IsWritableFolder(folder))
        folder = "/run/lock";
    if (!IsWritableFolder(folder))
        folder = "/tmp";

    std::string safe;
    for (char c : linkId) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
        safe.push_back(keep ? c : '_');
    }
    // Long identities keep a readable head and a hash of the whole.
    constexpr std::size_t kMaxName = 160;
    if (safe.size() > kMaxName) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "-%016llx",
                      static_cast<unsigned long long>(Fnv1a(linkId)));
        safe.resize(kMaxName);
        safe += hash;
    }
    return folder + "/kelvo-" + safe + ".lock";
}

} // namespace kelvo::portway

#include "automation/settings_paths.h"

#include "automation/registry.h"
#include "kelvo/kelvo.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

namespace kelvo {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::mutex& OverrideMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string>& Override() {
    static std::optional<std::string> directory;
    return directory;
}

// Any object of this module: dladdr names the file that holds it.
const char kAnchor = 0;

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

std::string UserSettingsFolder() {
    std::string folder = Env("APPDATA");
    if (!folder.empty())
        return folder;
    folder = Env("XDG_CONFIG_HOME");
    if (!folder.empty())
        return folder;
    const std::string home = Env("HOME");
    if (home.empty())
        return {};
    return home + "/.config";
}

std::string ModuleDirectory() {
    {
        std::lock_guard lock(OverrideMutex());
        if (Override())
            return *Override();
    }
    // The library path registered for the class comes first.
    const std::optional<std::string> registered =
        registry::ReadString(registry::Hive::ClassesRoot,
                             "CLSID\\" + GuidToString(CLSID_Kelvo) + "\\InprocServer32", "");
    if (registered && !DirectoryOf(*registered).empty())
        return DirectoryOf(*registered);
    Dl_info info{};
    if (::dladdr(&kAnchor, &info) == 0 || !info.dli_fname || !info.dli_fname[0])
        return DirectoryOf(ExecutablePath());
    const std::string file = info.dli_fname;
    // The program itself is reported by the name it was started with, which
    // may be relative to a directory left long ago.
    if (file[0] != '/')
        return DirectoryOf(ExecutablePath());
    return DirectoryOf(file);
}

void SetModuleDirectoryOverride(std::optional<std::string> directory) {
    std::lock_guard lock(OverrideMutex());
    Override() = std::move(directory);
}

} // namespace kelvo

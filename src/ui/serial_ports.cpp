#include "ui/serial_ports.h"

#include "automation/settings_paths.h"

#include <sys/stat.h>

#include <cstdlib>

namespace kelvo::ui {
namespace {

bool EntryExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

std::string ComDevicePath(int n) {
    const std::string link = "/com" + std::to_string(n);
    const char* fixed = std::getenv("KELVO_DEVICES");
    if (fixed && *fixed) {
        if (EntryExists(fixed + link))
            return fixed + link;
    } else {
        const std::string user = UserSettingsFolder();
        if (!user.empty() && EntryExists(user + "/kelvo/devices" + link))
            return user + "/kelvo/devices" + link;
        if (EntryExists("/etc/kelvo/devices" + link))
            return "/etc/kelvo/devices" + link;
    }
    return "/dev/ttyS" + std::to_string(n > 0 ? n - 1 : 0);
}

bool ComPortExists(int n) {
    struct stat st;
    return ::stat(ComDevicePath(n).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace kelvo::ui

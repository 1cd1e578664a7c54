// The file a shared library was loaded from, for its self-registration.
#pragma once

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace kelvo {

// The file a path names, symbolic links resolved; empty when there is none.
inline std::string RealFilePath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

// Absolute path of the loaded file that holds `anchor`, an object or function
// of internal linkage in it (an exported one may resolve to another library),
// with symbolic links resolved: the registry names the library file itself,
// never the development link it was loaded through. Empty when it cannot be
// found or is not absolute.
inline std::string ModuleFileOf(const void* anchor) {
    Dl_info info{};
    if (::dladdr(anchor, &info) == 0 || !info.dli_fname || info.dli_fname[0] != '/')
        return {};
    return RealFilePath(info.dli_fname);
}

} // namespace kelvo

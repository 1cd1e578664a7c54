// The file a shared library was loaded from, for its self-registration.
#pragma once

#include <dlfcn.h>

#include <string>

namespace kelvo {

// Absolute path of the loaded file that holds `anchor`, an object or function
// of internal linkage in it (an exported one may resolve to another library);
// empty when it cannot be found or is not absolute.
inline std::string ModuleFileOf(const void* anchor) {
    Dl_info info{};
    if (::dladdr(anchor, &info) == 0 || !info.dli_fname || info.dli_fname[0] != '/')
        return {};
    return info.dli_fname;
}

} // namespace kelvo

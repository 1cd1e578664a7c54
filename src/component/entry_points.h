// Calling a component library's self-registration entry points, as an
// installer does: `kelvo register` and the packages' kelvo-regsvr.
#pragma once

#include "kelvo/runtime.h"

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

// Loads `library` by its real path (so the library registers the file itself,
// never a link to it) and calls `entry` (DllRegisterServer or
// DllUnregisterServer). On failure `error` says what went wrong. The library
// stays loaded: objects of it may be alive in this process.
inline HRESULT CallEntryPoint(const std::string& library, const char* entry, std::string& error) {
    const std::string path = RealFilePath(library);
    void* handle = path.empty() ? nullptr : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = library + " cannot be loaded: " + (path.empty() ? "no such file" : ::dlerror());
        return CO_E_DLLNOTFOUND;
    }
    auto function = reinterpret_cast<DllRegisterServerFunction>(::dlsym(handle, entry));
    if (!function) {
        error = path + " has no " + entry;
        return CO_E_ERRORINDLL;
    }
    const HRESULT hr = function();
    if (FAILED(hr))
        error = std::string(entry) + " of " + path + " failed";
    return hr;
}

} // namespace kelvo

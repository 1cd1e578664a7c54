// Calling a component library's self-registration entry points, as an
// installer does: `kelvo register` and the packages' kelvo-regsvr.
#pragma once

#include "component/module_file.h"
#include "kelvo/runtime.h"

#include <dlfcn.h>

#include <string>

namespace kelvo {

// Loads `library` (by its absolute path, links resolved) and calls `entry`
// (DllRegisterServer or DllUnregisterServer). On failure `error` says what went wrong. The library
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

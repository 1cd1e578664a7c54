// register, unregister: load component libraries and call their
// self-registration entry points, as an installer does.
#include "commands.h"
#include "kelvo/runtime.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifndef KELVO_TOOL_LIBDIR
#define KELVO_TOOL_LIBDIR "../lib"
#endif

namespace kelvo::tool {
namespace {

struct RegisterArgs {
    std::string registry;
    std::vector<std::string> libraries;
};

std::string ProgramDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    const std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

// The installed libraries beside the program: libkelvo.so, and the transport
// library when it is there.
std::vector<std::string> InstalledLibraries() {
    const std::string dir = ProgramDirectory();
    for (const std::string& lib : {dir + KELVO_TOOL_LIBDIR "/", dir + "../lib/"}) {
        const std::string kelvo = RealPath(lib + "libkelvo.so");
        if (kelvo.empty())
            continue;
        std::vector<std::string> found{kelvo};
        const std::string portway = RealPath(lib + "libportway.so");
        if (!portway.empty())
            found.push_back(portway);
        return found;
    }
    return {};
}

// Loads each library and calls its entry point; stops at the first failure.
HRESULT CallEntryPoints(const std::vector<std::string>& libraries, const char* entry,
                        std::vector<std::string>& done) {
    for (const std::string& given : libraries) {
        const std::string path = RealPath(given);
        void* handle = path.empty() ? nullptr : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "kelvo: %s cannot be loaded: %s\n", given.c_str(),
                         path.empty() ? "no such file" : ::dlerror());
            return CO_E_DLLNOTFOUND;
        }
        // The library stays loaded: objects of it may be alive in this process.
        auto function = reinterpret_cast<DllRegisterServerFunction>(::dlsym(handle, entry));
        if (!function) {
            std::fprintf(stderr, "kelvo: %s has no %s\n", path.c_str(), entry);
            return CO_E_ERRORINDLL;
        }
        const HRESULT hr = function();
        if (FAILED(hr)) {
            std::fprintf(stderr, "kelvo: %s of %s failed\n", entry, path.c_str());
            return hr;
        }
        done.push_back(path);
    }
    return S_OK;
}

void AddEntryCommand(CLI::App& app, Tool& tool, const char* name, const char* help,
                     const char* entry) {
    auto args = std::make_shared<RegisterArgs>();
    CLI::App* command = app.add_subcommand(name, help);
    command->add_option("--registry", args->registry,
                        "registry folder (default $KELVO_REGISTRY, else /etc/kelvo/registry)");
    command->add_option("--library", args->libraries,
                        "component library (default: libkelvo.so and libportway.so installed "
                        "beside this program)");
    command->callback([&tool, args, entry] {
        if (!args->registry.empty())
            ::setenv("KELVO_REGISTRY", args->registry.c_str(), 1);
        std::vector<std::string> libraries = args->libraries;
        if (libraries.empty())
            libraries = InstalledLibraries();
        if (libraries.empty())
            throw CLI::ValidationError("--library", "no libkelvo.so beside this program");
        tool.Set({entry, Link::None, [libraries, entry](IKelvo&, VARIANT* result) {
                      std::vector<std::string> done;
                      const HRESULT hr = CallEntryPoints(libraries, entry, done);
                      if (FAILED(hr))
                          return hr;
                      return Lines(done, result);
                  }});
    });
}

} // namespace

void AddRegisterCommands(CLI::App& app, Tool& tool) {
    AddEntryCommand(app, tool, "register",
                    "register component libraries in the registry (DllRegisterServer)",
                    "DllRegisterServer");
    AddEntryCommand(app, tool, "unregister",
                    "remove component libraries from the registry (DllUnregisterServer)",
                    "DllUnregisterServer");
}

} // namespace kelvo::tool

// register, unregister: load component libraries and call their
// self-registration entry points, as an installer does.
#include "commands.h"
#include "component/entry_points.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifndef KELVO_TOOL_LIBDIR
#define KELVO_TOOL_LIBDIR "../lib"
#endif
#ifndef KELVO_RUNTIME_NAME
#define KELVO_RUNTIME_NAME "libkelvo.so"
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

// The installed libraries beside the program: the component by its runtime
// name (the development link libkelvo.so may be missing), and the transport
// library when it is there.
std::vector<std::string> InstalledLibraries() {
    const std::string dir = ProgramDirectory();
    for (const std::string& lib : {dir + KELVO_TOOL_LIBDIR "/", dir + "../lib/"}) {
        const std::string kelvo = RealFilePath(lib + KELVO_RUNTIME_NAME);
        if (kelvo.empty())
            continue;
        std::vector<std::string> found{kelvo};
        const std::string portway = RealFilePath(lib + "libportway.so");
        if (!portway.empty())
            found.push_back(portway);
        return found;
    }
    return {};
}

// Calls the entry point of each library; stops at the first failure.
HRESULT CallEntryPoints(const std::vector<std::string>& libraries, const char* entry,
                        std::vector<std::string>& done) {
    for (const std::string& library : libraries) {
        std::string error;
        const HRESULT hr = CallEntryPoint(library, entry, error);
        if (FAILED(hr)) {
            std::fprintf(stderr, "kelvo: %s\n", error.c_str());
            return hr;
        }
        done.push_back(RealFilePath(library));
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
                        "component library (default: " KELVO_RUNTIME_NAME
                        " and libportway.so installed "
                        "beside this program)");
    command->callback([&tool, args, entry] {
        if (!args->registry.empty())
            ::setenv("KELVO_REGISTRY", args->registry.c_str(), 1);
        std::vector<std::string> libraries = args->libraries;
        if (libraries.empty())
            libraries = InstalledLibraries();
        if (libraries.empty())
            throw CLI::ValidationError("--library",
                                       "no " KELVO_RUNTIME_NAME " beside this program");
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

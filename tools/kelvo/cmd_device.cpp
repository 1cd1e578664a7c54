// Device commands that take no argument and give no result.
#include "commands.h"

#include <CLI/CLI.hpp>

namespace kelvo::tool {
namespace {

void AddPlain(CLI::App& app, Tool& tool, const char* name, const char* help, const char* what,
              HRESULT (IKelvo::*method)()) {
    app.add_subcommand(name, help)->callback([&tool, what, method] {
        tool.Set({what, Link::Required,
                  [method](IKelvo& object, VARIANT*) { return (object.*method)(); }});
    });
}

} // namespace

void AddDeviceCommands(CLI::App& app, Tool& tool) {
    AddPlain(app, tool, "save", "store the device's parameters in its non-volatile memory",
             "Save_Command", &IKelvo::Save_Command);
}

} // namespace kelvo::tool

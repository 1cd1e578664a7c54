// Device commands (save, reset, restore, axis error reset) and the error log
// (read one entry into an XML file, delete). None of them has a result.
#include "commands.h"

#include "device/kelvo_object.h"
#include "kelvo/automation.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace kelvo::tool {
namespace {

void AddPlain(CLI::App& app, Tool& tool, const char* name, const char* help, const char* what,
              HRESULT (IKelvo::*method)()) {
    app.add_subcommand(name, help)->callback([&tool, what, method] {
        tool.Set({what, Link::Required,
                  [method](IKelvo& object, VARIANT*) { return (object.*method)(); }});
    });
}

void AddRestore(CLI::App& app, Tool& tool) {
    auto filter = std::make_shared<std::int32_t>(0);
    CLI::App* sub = app.add_subcommand("restore", "restore the device's parameters (FILTER: "
                                                  "which ones; only its low 16 bits are sent)");
    sub->add_option("FILTER", *filter, "restore filter, decimal or 0x hex")->required();
    sub->callback([&tool, filter] {
        tool.Set({"Restore_Command", Link::Required,
                  [filter](IKelvo& object, VARIANT*) { return object.Restore_Command(*filter); }});
    });
}

void AddResetError(CLI::App& app, Tool& tool) {
    auto axis = std::make_shared<unsigned>(0);
    CLI::App* sub = app.add_subcommand("reset-error", "reset the error of one axis");
    sub->add_option("AXIS", *axis, "axis number, 0 to 255")->required()->check(CLI::Range(0, 255));
    sub->callback([&tool, axis] {
        tool.Set({"ResetError", Link::Required, [axis](IKelvo& object, VARIANT*) {
                      return object.ResetError(static_cast<BYTE>(*axis));
                  }});
    });
}

struct ErrorLogRead {
    unsigned index = 0;
    std::string file;
    std::string parserDir;
};

void AddErrorLog(CLI::App& app, Tool& tool) {
    CLI::App* log = app.add_subcommand("errorlog", "the device's error log");
    log->require_subcommand(1);

    auto args = std::make_shared<ErrorLogRead>();
    CLI::App* read = log->add_subcommand(
        "read", "download one entry and save it decoded as XML: the description "
                "PARSERDIR/FPR_Version_<version, 8 hex digits>.xml with a value attribute on "
                "every field");
    read->add_option("INDEX", args->index, "entry index, 0 to 65535")
        ->required()
        ->check(CLI::Range(0, 65535));
    read->add_option("FILE", args->file, "output XML file")->required();
    read->add_option("PARSERDIR", args->parserDir, "folder of the record descriptions")->required();
    read->callback([&tool, args] {
        tool.Set({"ReadErrorLog", Link::Required, [args](IKelvo& object, VARIANT*) {
                      Bstr file(Utf8ToUtf16(args->file));
                      Bstr parser(Utf8ToUtf16(args->parserDir));
                      // On a terminal, one progress line per frame, rewritten in place.
                      auto& kelvo = static_cast<CKelvo&>(object);
                      const bool terminal = isatty(STDERR_FILENO) != 0;
                      if (terminal)
                          kelvo.downloadProgress = [](int frame, std::size_t bytes) {
                              std::fprintf(stderr, "\rframe %d, %zu bytes", frame, bytes);
                          };
                      const HRESULT hr = object.ReadErrorLog(static_cast<USHORT>(args->index),
                                                             file.get(), parser.get());
                      kelvo.downloadProgress = nullptr;
                      if (terminal)
                          std::fputc('\n', stderr);
                      return hr;
                  }});
    });

    AddPlain(*log, tool, "delete", "delete the whole error log", "DeleteErrorLog",
             &IKelvo::DeleteErrorLog);
}

} // namespace

void AddDeviceCommands(CLI::App& app, Tool& tool) {
    AddPlain(app, tool, "save", "store the device's parameters in its non-volatile memory",
             "Save_Command", &IKelvo::Save_Command);
    AddPlain(app, tool, "reset", "reset the device", "Reset_Command", &IKelvo::Reset_Command);
    AddRestore(app, tool);
    AddResetError(app, tool);
    AddErrorLog(app, tool);
}

} // namespace kelvo::tool

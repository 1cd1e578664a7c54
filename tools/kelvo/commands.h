// The command families of the tool. Each adds its subcommands to the
// application; a subcommand's callback hands the tool the Operation to run.
#pragma once

#include "tool.h"

namespace kelvo::tool {

// Device commands: save, reset, restore, reset-error; errorlog read|delete.
void AddDeviceCommands(CLI::App& app, Tool& tool);

// conf, encrypt, decrypt, push cmd, push read.
void AddSessionCommands(CLI::App& app, Tool& tool);

// config: the settings dialog for the -c text; prints the resulting text.
void AddConfigCommand(CLI::App& app, Tool& tool);
// Warns of what put ConfString leaves out of or changes in `text`.
void WarnConfString(Tool& tool, const std::string& text);

// par get|set|dword|float|int|word: parameter read and write.
void AddParameterCommands(CLI::App& app, Tool& tool);

// params backup|restore|diff: parameter sets on one or many devices.
void AddParamsCommands(CLI::App& app, Tool& tool);

// watch IPA SUB TYPE ...: a live table of values, or CSV lines on a pipe.
void AddWatchCommand(CLI::App& app, Tool& tool);

// block read, block write, safe write, safe read, safe object, ssc read.
void AddDataCommands(CLI::App& app, Tool& tool);

// users, perms, adminkey, cert: user and security administration.
void AddUserCommands(CLI::App& app, Tool& tool);

// scan SRCIP [SECONDS], ping [BLINK]: network discovery.
void AddDiscoveryCommands(CLI::App& app, Tool& tool);
// The lines of a scan result, each without its trailing TAB.
std::vector<std::string> ScanLines(const std::string& text);
// The text Ping gives as a JSON object (non-finite numbers null); "null"
// when the text is not in that form.
std::string PingJson(std::string_view text);

// invoke NAME [ARG...]: any operation by its dispatch name.
void AddInvokeCommand(CLI::App& app, Tool& tool);

// register, unregister [--registry DIR] [--library PATH...]: self-registration.
void AddRegisterCommands(CLI::App& app, Tool& tool);

} // namespace kelvo::tool

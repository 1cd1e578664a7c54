// Where the component finds its files: the per-user settings folder (the
// place of "APPDATA" on Windows) and the directory of its own module.
#pragma once

#include <optional>
#include <string>

namespace kelvo {

// $APPDATA, else $XDG_CONFIG_HOME, else $HOME/.config; empty when none is set
// (an empty variable counts as not set). No trailing '/'.
std::string UserSettingsFolder();

// Directory of the module holding the component, with a trailing '/': that of
// the library path registered for the class (InprocServer32) when present,
// else the shared library when loaded as one, the program when linked into it. Empty
// when it cannot be found, which means the current directory.
std::string ModuleDirectory();

// Replaces the module directory for this process (tests); nullopt restores it.
void SetModuleDirectoryOverride(std::optional<std::string> directory);

} // namespace kelvo

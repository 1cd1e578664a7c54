// The dialog window lives in a plugin library (libkelvo_ui_qt.so) loaded on the
// first dialog, so hosts that never show a dialog never load the toolkit. The
// plugin is looked for at $KELVO_UI_PLUGIN when set, else beside the module, in
// ../lib of the module's folder, in the build's library folder and through the
// loader's own search path.
#pragma once

#include "ui/dialog_model.h"

#include <string>

namespace kelvo::ui {

inline constexpr const char* kPluginFileName = "libkelvo_ui_qt.so";
inline constexpr int kNoWindow = -1;

// Whether a window can be shown: a chosen toolkit platform ($QT_QPA_PLATFORM),
// or a display ($WAYLAND_DISPLAY, $DISPLAY) that takes a connection.
bool DisplayAvailable();

// Runs `model` in a modal window: InitDialog, then the window until a command
// ends it (the close box is Cancel). Message boxes shown meanwhile go through
// the window plugin unless a message-box function is set. Returns the model's
// result, or kNoWindow (with one line on standard error) when there is no
// display or the plugin cannot be loaded.
int RunDialog(DialogModel& model);

} // namespace kelvo::ui

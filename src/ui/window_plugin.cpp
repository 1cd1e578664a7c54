#include "ui/window_plugin.h"

#include "automation/settings_paths.h"
#include "device/messages.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#ifndef KELVO_UI_PLUGIN_DIR
#define KELVO_UI_PLUGIN_DIR ""
#endif

namespace kelvo::ui {
namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

struct Plugin {
    RunDialogEntry run = nullptr;
    MessageBoxEntry messageBox = nullptr;
    std::string error;
};

std::vector<std::string> Candidates() {
    if (const char* chosen = std::getenv("KELVO_UI_PLUGIN"); chosen && *chosen)
        return {chosen};
    std::vector<std::string> paths;
    const std::string module = ModuleDirectory();
    if (!module.empty()) {
        paths.push_back(module + kPluginFileName);
        paths.push_back(module + "../lib/" + kPluginFileName);
    }
    if (*KELVO_UI_PLUGIN_DIR)
        paths.push_back(std::string(KELVO_UI_PLUGIN_DIR) + "/" + kPluginFileName);
    paths.push_back(kPluginFileName);
    return paths;
}

// Loaded once and never unloaded: a toolkit does not survive being unloaded.
const Plugin& LoadPlugin() {
    static Plugin plugin;
    static std::once_flag once;
    std::call_once(once, [] {
        for (const std::string& path : Candidates()) {
            void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                if (plugin.error.empty())
                    plugin.error = ::dlerror();
                continue;
            }
            plugin.run = reinterpret_cast<RunDialogEntry>(::dlsym(handle, kRunDialogSymbol));
            plugin.messageBox =
                reinterpret_cast<MessageBoxEntry>(::dlsym(handle, kMessageBoxSymbol));
            if (plugin.run && plugin.messageBox)
                return;
            plugin.error = path + ": not a dialog window plugin";
            plugin.run = nullptr;
            plugin.messageBox = nullptr;
        }
    });
    return plugin;
}

MessageBoxEntry g_pluginMessageBox = nullptr;

void PluginMessageBox(std::u16string_view text, std::u16string_view caption, unsigned style) {
    g_pluginMessageBox(text.data(), text.size(), caption.data(), caption.size(), style);
}

void Complain(const std::string& line) {
    std::fprintf(stderr, "Kelvo Config: %s\n", line.c_str());
}

} // namespace

bool DisplayAvailable() {
    return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM");
}

int RunDialog(DialogModel& model) {
    if (!DisplayAvailable()) {
        Complain("no display, the settings dialog is not shown");
        return kNoWindow;
    }
    const Plugin& plugin = LoadPlugin();
    if (!plugin.run) {
        Complain("no dialog window (" + plugin.error + ")");
        return kNoWindow;
    }
    g_pluginMessageBox = plugin.messageBox;
    // Message boxes go to the window unless the host routes them itself.
    const MessageBoxFunction previous = SetMessageBoxFunction(PluginMessageBox);
    if (previous)
        SetMessageBoxFunction(previous);
    const int result = plugin.run(&model);
    if (!previous)
        SetMessageBoxFunction(nullptr);
    if (result == kNoWindow)
        Complain("the settings dialog could not be shown");
    return result;
}

} // namespace kelvo::ui

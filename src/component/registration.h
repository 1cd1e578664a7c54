// Self-registration of a component: registration scripts run against the
// classes-root hive, the type library entries, and the protocol entry of the
// device-link manager in the local-machine hive.
#pragma once

#include "automation/registry.h"
#include "kelvo/automation.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvo {

// What unregistration does with a key of a script.
enum class Removal {
    Normal,      // its values of the script go; the key goes when nothing is left in it
    ForceRemove, // the key goes with its whole subtree
    NoRemove,    // the key stays; only its subkeys of the script are visited
};

// One key of a registration script, with its default value, named values and
// subkeys. Texts may hold "%MODULE%", replaced when the script runs.
struct ScriptKey {
    std::string name;
    Removal removal = Removal::Normal;
    std::optional<std::string> defaultValue;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<ScriptKey> subkeys;
};

// Writes the script's keys and values into a hive (%MODULE% = modulePath);
// false when a key name is unusable.
bool ApplyScript(registry::HiveData& hive, const std::vector<ScriptKey>& script,
                 const std::string& modulePath);
// Removes what the script created, by its removal rules; whether anything changed.
bool RemoveScript(registry::HiveData& hive, const std::vector<ScriptKey>& script);

// Runs a script against the classes root of the registry folder `root`:
// S_OK, or E_FAIL when the hive cannot be written.
HRESULT RegisterScript(const std::string& root, const std::vector<ScriptKey>& script,
                       const std::string& modulePath);
HRESULT UnregisterScript(const std::string& root, const std::vector<ScriptKey>& script);

// The Kelvo class's registration script and the type library's entries.
std::vector<ScriptKey> KelvoClassScript();
std::vector<ScriptKey> KelvoTypeLibraryScript();

// The device-link manager's protocol entry (key, value names, data).
constexpr char kProtocolKey[] = "Software\\MorvikApps\\DevLinkMng1";
constexpr int kProtocolNumber = 18;
HRESULT RegisterProtocol(const std::string& root);
// S_OK also when the key does not exist.
HRESULT UnregisterProtocol(const std::string& root);

// The whole registration of libkelvo.so, in its order: the protocol entry
// (its failure returns at once), the class, the type library.
HRESULT RegisterKelvoServer(const std::string& root, const std::string& modulePath);
// Removes the protocol entry (its result ignored), the class and the type
// library; returns the result of the latter two.
HRESULT UnregisterKelvoServer(const std::string& root);

} // namespace kelvo

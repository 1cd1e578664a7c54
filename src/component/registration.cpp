#include "component/registration.h"

#include "kelvo/kelvo.h"

#include <cstdio>

namespace kelvo {
namespace {

using registry::HiveData;

std::string Expand(const std::string& text, const std::string& modulePath) {
    static constexpr std::string_view kModule = "%MODULE%";
    std::string out = text;
    for (std::size_t at = out.find(kModule); at != std::string::npos;
         at = out.find(kModule, at + modulePath.size()))
        out.replace(at, kModule.size(), modulePath);
    return out;
}

std::string Join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

bool ApplyKey(HiveData& hive, const std::string& parent, const ScriptKey& key,
              const std::string& modulePath) {
    const std::string path = Join(parent, key.name);
    if (!hive.CreateKey(path))
        return false;
    if (key.defaultValue && !hive.SetValue(path, "", Expand(*key.defaultValue, modulePath)))
        return false;
    for (const auto& [name, data] : key.values) {
        if (!hive.SetValue(path, name, Expand(data, modulePath)))
            return false;
    }
    for (const ScriptKey& sub : key.subkeys) {
        if (!ApplyKey(hive, path, sub, modulePath))
            return false;
    }
    return true;
}

bool RemoveKey(HiveData& hive, const std::string& parent, const ScriptKey& key) {
    const std::string path = Join(parent, key.name);
    if (!hive.HasKey(path))
        return false;
    if (key.removal == Removal::ForceRemove) {
        hive.DeleteTree(path);
        return true;
    }
    bool changed = false;
    for (const ScriptKey& sub : key.subkeys)
        changed = RemoveKey(hive, path, sub) || changed;
    if (key.removal == Removal::NoRemove)
        return changed;
    if (key.defaultValue)
        changed = hive.DeleteValue(path, "") || changed;
    for (const auto& value : key.values)
        changed = hive.DeleteValue(path, value.first) || changed;
    const registry::Values* left = hive.KeyValues(path);
    if ((!left || left->empty()) && !hive.HasSubkeys(path)) {
        hive.DeleteKey(path);
        changed = true;
    }
    return changed;
}

std::string ProtocolValueName(const char* format) {
    char name[255];
    std::snprintf(name, sizeof name, format, kProtocolNumber);
    return name;
}

} // namespace

bool ApplyScript(HiveData& hive, const std::vector<ScriptKey>& script,
                 const std::string& modulePath) {
    for (const ScriptKey& key : script) {
        if (!ApplyKey(hive, "", key, modulePath))
            return false;
    }
    return true;
}

bool RemoveScript(HiveData& hive, const std::vector<ScriptKey>& script) {
    bool changed = false;
    for (const ScriptKey& key : script)
        changed = RemoveKey(hive, "", key) || changed;
    return changed;
}

HRESULT RegisterScript(const std::string& root, const std::vector<ScriptKey>& script,
                       const std::string& modulePath) {
    bool applied = false;
    const bool written = registry::Update(root, registry::Hive::ClassesRoot, [&](HiveData& hive) {
        applied = ApplyScript(hive, script, modulePath);
        return applied;
    });
    return written && applied ? S_OK : E_FAIL;
}

HRESULT UnregisterScript(const std::string& root, const std::vector<ScriptKey>& script) {
    const bool written = registry::Update(root, registry::Hive::ClassesRoot, [&](HiveData& hive) {
        return RemoveScript(hive, script);
    });
    return written ? S_OK : E_FAIL;
}

std::vector<ScriptKey> KelvoClassScript() {
    const std::string clsid = GuidToString(CLSID_Kelvo);
    const std::string progId = Utf16ToUtf8(KELVO_PROGID);
    const std::string independent = Utf16ToUtf8(KELVO_VERSION_INDEPENDENT_PROGID);
    const std::string description = "Kelvo Class";
    return {
        {progId, Removal::Normal, description, {}, {{"CLSID", Removal::Normal, clsid, {}, {}}}},
        {independent,
         Removal::Normal,
         description,
         {},
         {{"CLSID", Removal::Normal, clsid, {}, {}}, {"CurVer", Removal::Normal, progId, {}, {}}}},
        {"CLSID",
         Removal::NoRemove,
         std::nullopt,
         {},
         {{clsid,
           Removal::ForceRemove,
           description,
           {},
           {{"ProgID", Removal::Normal, progId, {}, {}},
            {"VersionIndependentProgID", Removal::Normal, independent, {}, {}},
            {"Programmable", Removal::ForceRemove, std::nullopt, {}, {}},
            {"InprocServer32", Removal::Normal, "%MODULE%", {{"ThreadingModel", "Apartment"}}, {}},
            {"TypeLib", Removal::Normal, GuidToString(LIBID_Kelvo), {}, {}}}}}},
    };
}

std::vector<ScriptKey> KelvoTypeLibraryScript() {
    const std::string libid = GuidToString(LIBID_Kelvo);
    struct Interface {
        const IID& iid;
        const char* name;
    };
    const Interface interfaces[] = {
        {IID_IDeviceLink, "IDeviceLink"},
        {IID_IDeviceLink2, "IDeviceLink2"},
        {IID_IDeviceLink3, "IDeviceLink3"},
        {IID_IDeviceLink4, "IDeviceLink4"},
        {IID_IKelvo, "IKelvo"},
    };
    ScriptKey interfaceRoot{"Interface", Removal::NoRemove, std::nullopt, {}, {}};
    for (const Interface& i : interfaces)
        interfaceRoot.subkeys.push_back(
            {GuidToString(i.iid),
             Removal::ForceRemove,
             i.name,
             {},
             {{"TypeLib", Removal::Normal, libid, {{"Version", "1.0"}}, {}}}});
    return {
        {"TypeLib",
         Removal::NoRemove,
         std::nullopt,
         {},
         {{libid,
           Removal::Normal,
           std::nullopt,
           {},
           {{"1.0",
             Removal::ForceRemove,
             "Kelvo 1.0 Type Library",
             {},
             {{"FLAGS", Removal::Normal, "0", {}, {}},
              {"0",
               Removal::Normal,
               std::nullopt,
               {},
               {{"linux", Removal::Normal, "%MODULE%", {}, {}}}}}}}}}},
        interfaceRoot,
    };
}

HRESULT RegisterProtocol(const std::string& root) {
    const std::pair<std::string, std::string> values[] = {
        {ProtocolValueName("ProtDesc%d"), "Kelvo Protocol"},
        {ProtocolValueName("ProtName%d"), "Kelvo"},
        {ProtocolValueName("ProtIntf%d"), "Kelvo.Kelvo.1"},
    };
    bool stored = true;
    const bool written = registry::Update(root, registry::Hive::LocalMachine, [&](HiveData& hive) {
        for (const auto& [name, data] : values)
            stored = hive.SetValue(kProtocolKey, name, data) && stored;
        return true;
    });
    return written && stored ? S_OK : E_FAIL;
}

HRESULT UnregisterProtocol(const std::string& root) {
    registry::Update(root, registry::Hive::LocalMachine, [](HiveData& hive) {
        if (!hive.HasKey(kProtocolKey))
            return false;
        for (const char* format : {"ProtDesc%d", "ProtName%d", "ProtIntf%d"})
            hive.DeleteValue(kProtocolKey, ProtocolValueName(format));
        return true;
    });
    return S_OK;
}

HRESULT RegisterKelvoServer(const std::string& root, const std::string& modulePath) {
    HRESULT hr = RegisterProtocol(root);
    if (FAILED(hr))
        return hr;
    hr = RegisterScript(root, KelvoClassScript(), modulePath);
    if (FAILED(hr))
        return hr;
    return RegisterScript(root, KelvoTypeLibraryScript(), modulePath);
}

HRESULT UnregisterKelvoServer(const std::string& root) {
    UnregisterProtocol(root);
    const HRESULT classResult = UnregisterScript(root, KelvoClassScript());
    const HRESULT typeLibResult = UnregisterScript(root, KelvoTypeLibraryScript());
    return FAILED(classResult) ? classResult : typeLibResult;
}

} // namespace kelvo

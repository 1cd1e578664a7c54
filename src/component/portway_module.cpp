// Entry points of libportway.so, the transport component as a library of its
// own: hosts and libkelvo.so create "Portway.Portway2.1" through the registry.
// The library uses the automation runtime of libkelvo.so.
#include "automation/registry.h"
#include "component/module_file.h"
#include "component/registration.h"
#include "kelvo/portway.h"
#include "kelvo/runtime.h"
#include "transport/portway/portway.h"

#include <string>

namespace {

std::vector<kelvo::ScriptKey> PortwayScript() {
    using kelvo::Removal;
    const std::string clsid = GuidToString(CLSID_Portway);
    const std::string progId = kelvo::Utf16ToUtf8(PORTWAY_PROGID);
    return {
        {progId, Removal::Normal, "Portway Class", {}, {{"CLSID", Removal::Normal, clsid, {}, {}}}},
        {"CLSID",
         Removal::NoRemove,
         std::nullopt,
         {},
         {{clsid,
           Removal::ForceRemove,
           "Portway Class",
           {},
           {{"ProgID", Removal::Normal, progId, {}, {}},
            {"InprocServer32", Removal::Normal, "%MODULE%", {{"ThreadingModel", "Both"}}, {}}}}}},
    };
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                                 void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_Portway)
        return CLASS_E_CLASSNOTAVAILABLE;
    return kelvo::PortwayClassFactory()->QueryInterface(riid, ppv);
}

// Transport objects are not counted: the library stays loaded.
__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return S_FALSE;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    const std::string path = kelvo::ModuleFileOf(reinterpret_cast<const void*>(&PortwayScript));
    if (path.empty())
        return E_FAIL;
    return kelvo::RegisterScript(kelvo::registry::RootDirectory(), PortwayScript(), path);
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    return kelvo::UnregisterScript(kelvo::registry::RootDirectory(), PortwayScript());
}

} // extern "C"

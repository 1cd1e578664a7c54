// Entry points of libkelvo.so: process attach and detach as the library's
// constructor and destructor, the class object, the unload query and
// self-registration. Everything they serve lives in the core library.
#include "automation/registry.h"
#include "component/class_factory.h"
#include "component/module_file.h"
#include "component/registration.h"
#include "kelvo/kelvo.h"
#include "kelvo/runtime.h"
#include "kelvo/trace.h"

#include <string>

namespace {

// Process attach: the class object is a static object, so the module needs no
// set-up of its own besides tracing, which starts once per process (the trace
// writer's own constructor may have started it already).
__attribute__((constructor)) void ProcessAttach() {
    kelvo::StartTracing();
}

// Process detach: nothing is left to release; the trace channel lives until
// the process ends.
__attribute__((destructor)) void ProcessDetach() {}

} // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                                 void** ppv) {
    return kelvo::GetKelvoClassObject(clsid, riid, ppv);
}

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return kelvo::CanUnloadModule();
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    const std::string path = kelvo::ModuleFileOf(reinterpret_cast<const void*>(&ProcessAttach));
    if (path.empty())
        return E_FAIL;
    return kelvo::RegisterKelvoServer(kelvo::registry::RootDirectory(), path);
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
    return kelvo::UnregisterKelvoServer(kelvo::registry::RootDirectory());
}

} // extern "C"

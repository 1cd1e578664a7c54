// Host side of the component runtime: creating a class by its programmatic
// identifier. Classes linked into the host (tools, tests) are registered here
// and found without the registry; any other class is looked up in the
// registry ($KELVO_REGISTRY, else /etc/kelvo/registry): ProgID -> CLSID ->
// InprocServer32 library -> dlopen -> DllGetClassObject -> IClassFactory.
#pragma once

#include "kelvo/automation.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | 0x2 | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);

// ProgID -> CLSID; CO_E_CLASSSTRING when unknown.
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
// The class object of a class (in-process servers only); REGDB_E_CLASSNOTREG
// when the class is unknown, CO_E_DLLNOTFOUND when its library does not load,
// CO_E_ERRORINDLL when the library has no DllGetClassObject.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** ppv);
// Creates an object of a class; REGDB_E_CLASSNOTREG when the class is unknown.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

// The entry points a component library exports (C symbols).
extern "C" {
using DllGetClassObjectFunction = HRESULT (*)(REFCLSID clsid, REFIID riid, void** ppv);
using DllCanUnloadNowFunction = HRESULT (*)();
using DllRegisterServerFunction = HRESULT (*)();
using DllUnregisterServerFunction = HRESULT (*)();
}

namespace kelvo {

// Makes a class of the host process creatable. The factory is not owned and
// must outlive every creation (a static object). A later registration of the
// same ProgID replaces the earlier one; a class may have several ProgIDs.
void RegisterLinkedClass(std::u16string_view progId, REFCLSID clsid, IClassFactory* factory);
// Removes a linked class (tests that swap transports).
void UnregisterLinkedClass(REFCLSID clsid);

// Asks the library loaded for a class whether it can be unloaded (its
// DllCanUnloadNow): S_OK or S_FALSE; REGDB_E_CLASSNOTREG when no library was
// loaded for the class. Libraries stay loaded for the life of the process.
HRESULT CanUnloadClassLibrary(REFCLSID clsid);

} // namespace kelvo

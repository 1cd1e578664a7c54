// Host side of the component runtime: creating a class by its programmatic
// identifier. Classes linked into the host (tools, tests) are registered here
// and found without the registry.
#pragma once

#include "kelvo/automation.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | 0x2 | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// ProgID -> CLSID; CO_E_CLASSSTRING when unknown.
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
// Creates an object of a class; REGDB_E_CLASSNOTREG when the class is unknown.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

namespace kelvo {

// Makes a class of the host process creatable. The factory is not owned and
// must outlive every creation (a static object). A later registration of the
// same ProgID or CLSID replaces the earlier one.
void RegisterLinkedClass(std::u16string_view progId, REFCLSID clsid, IClassFactory* factory);
// Removes a linked class (tests that swap transports).
void UnregisterLinkedClass(REFCLSID clsid);

} // namespace kelvo

// The module's object and lock count, and the class object that creates
// Kelvo objects, alone or aggregated inside an outer object.
#pragma once

#include "kelvo/automation.h"

namespace kelvo {

// Live objects and server locks of the module.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();
// S_OK when nothing holds the module, S_FALSE otherwise.
HRESULT CanUnloadModule();

// The class object of CKelvo: a static object; LockServer counts as a module lock.
IClassFactory* KelvoClassFactory();
// The class object for CLSID_Kelvo queried for riid; CLASS_E_CLASSNOTAVAILABLE
// for any other class.
HRESULT GetKelvoClassObject(REFCLSID clsid, REFIID riid, void** ppv);

// Makes "Kelvo.Kelvo.1" and "Kelvo.Kelvo" creatable in this process without
// the registry (hosts that link the component).
void RegisterKelvoClass();

} // namespace kelvo

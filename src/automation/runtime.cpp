#include "kelvo/runtime.h"

#include "automation/registry.h"

#include <dlfcn.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {
namespace {

struct LinkedClass {
    std::u16string progId;
    CLSID clsid;
    IClassFactory* factory;
};

// A library loaded for a class; kept loaded for the life of the process.
struct LoadedLibrary {
    CLSID clsid;
    std::string path;
    void* handle;
};

std::mutex& LibrariesMutex() {
    static std::mutex m;
    return m;
}

std::vector<LoadedLibrary>& Libraries() {
    static std::vector<LoadedLibrary> libraries;
    return libraries;
}

std::string ClassKey(REFCLSID clsid) {
    return "CLSID\\" + GuidToString(clsid);
}

// The library registered for a class, loaded once.
HRESULT LoadClassLibrary(REFCLSID clsid, void** handle) {
    const std::optional<std::string> path =
        registry::ReadString(registry::Hive::ClassesRoot, ClassKey(clsid) + "\\InprocServer32", "");
    if (!path || path->empty())
        return REGDB_E_CLASSNOTREG;
    std::lock_guard lock(LibrariesMutex());
    for (const LoadedLibrary& l : Libraries()) {
        if (l.clsid == clsid && l.path == *path) {
            *handle = l.handle;
            return S_OK;
        }
    }
    void* h = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return CO_E_DLLNOTFOUND;
    Libraries().push_back({clsid, *path, h});
    *handle = h;
    return S_OK;
}

std::mutex& ClassesMutex() {
    static std::mutex m;
    return m;
}

std::vector<LinkedClass>& Classes() {
    static std::vector<LinkedClass> classes;
    return classes;
}

} // namespace

void RegisterLinkedClass(std::u16string_view progId, REFCLSID clsid, IClassFactory* factory) {
    std::lock_guard lock(ClassesMutex());
    auto& classes = Classes();
    std::erase_if(classes,
                  [&](const LinkedClass& c) { return SameIgnoringCase(c.progId, progId); });
    for (LinkedClass& c : classes) {
        if (c.clsid == clsid)
            c.factory = factory;
    }
    classes.push_back({std::u16string(progId), clsid, factory});
}

void UnregisterLinkedClass(REFCLSID clsid) {
    std::lock_guard lock(ClassesMutex());
    std::erase_if(Classes(), [&](const LinkedClass& c) { return c.clsid == clsid; });
}

HRESULT CanUnloadClassLibrary(REFCLSID clsid) {
    void* handle = nullptr;
    {
        std::lock_guard lock(LibrariesMutex());
        for (const LoadedLibrary& l : Libraries()) {
            if (l.clsid == clsid)
                handle = l.handle;
        }
    }
    if (!handle)
        return REGDB_E_CLASSNOTREG;
    auto canUnload = reinterpret_cast<DllCanUnloadNowFunction>(::dlsym(handle, "DllCanUnloadNow"));
    return canUnload ? canUnload() : S_FALSE;
}

} // namespace kelvo

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (!progId || !clsid)
        return E_INVALIDARG;
    {
        std::lock_guard lock(kelvo::ClassesMutex());
        for (const auto& c : kelvo::Classes()) {
            if (kelvo::SameIgnoringCase(c.progId, progId)) {
                *clsid = c.clsid;
                return S_OK;
            }
        }
    }
    const std::string name = kelvo::Utf16ToUtf8(progId);
    if (name.empty() || name.find('\\') != std::string::npos)
        return CO_E_CLASSSTRING;
    const std::optional<std::string> text =
        kelvo::registry::ReadString(kelvo::registry::Hive::ClassesRoot, name + "\\CLSID", "");
    if (!text || !GuidFromString(*text, clsid))
        return CO_E_CLASSSTRING;
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    {
        std::lock_guard lock(kelvo::ClassesMutex());
        IClassFactory* factory = nullptr;
        for (const auto& c : kelvo::Classes()) {
            if (c.clsid == clsid)
                factory = c.factory;
        }
        if (factory)
            return factory->QueryInterface(riid, ppv);
    }
    if ((context & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    void* handle = nullptr;
    HRESULT hr = kelvo::LoadClassLibrary(clsid, &handle);
    if (FAILED(hr))
        return hr;
    auto getClassObject =
        reinterpret_cast<DllGetClassObjectFunction>(::dlsym(handle, "DllGetClassObject"));
    if (!getClassObject)
        return CO_E_ERRORINDLL;
    return getClassObject(clsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if ((context & CLSCTX_ALL) == 0)
        return E_INVALIDARG;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}

bool kelvo::SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
    auto lower = [](char16_t c) {
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

#include "kelvo/runtime.h"

#include <mutex>
#include <string>
#include <vector>

namespace kelvo {
namespace {

struct LinkedClass {
    std::u16string progId;
    CLSID clsid;
    IClassFactory* factory;
};

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
    std::erase_if(classes, [&](const LinkedClass& c) {
        return c.clsid == clsid || SameIgnoringCase(c.progId, progId);
    });
    classes.push_back({std::u16string(progId), clsid, factory});
}

void UnregisterLinkedClass(REFCLSID clsid) {
    std::lock_guard lock(ClassesMutex());
    std::erase_if(Classes(), [&](const LinkedClass& c) { return c.clsid == clsid; });
}

} // namespace kelvo

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (!progId || !clsid)
        return E_INVALIDARG;
    std::lock_guard lock(kelvo::ClassesMutex());
    for (const auto& c : kelvo::Classes()) {
        if (kelvo::SameIgnoringCase(c.progId, progId)) {
            *clsid = c.clsid;
            return S_OK;
        }
    }
    return CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if ((context & CLSCTX_ALL) == 0)
        return E_INVALIDARG;
    IClassFactory* factory = nullptr;
    {
        std::lock_guard lock(kelvo::ClassesMutex());
        for (const auto& c : kelvo::Classes()) {
            if (c.clsid == clsid)
                factory = c.factory;
        }
    }
    if (!factory)
        return REGDB_E_CLASSNOTREG;
    return factory->CreateInstance(outer, riid, ppv);
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

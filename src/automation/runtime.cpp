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

// Case-insensitive ASCII comparison, as ProgIDs are looked up on the platform.
bool SameProgId(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

void RegisterLinkedClass(std::u16string_view progId, REFCLSID clsid, IClassFactory* factory) {
    std::lock_guard lock(ClassesMutex());
    auto& classes = Classes();
    std::erase_if(classes, [&](const LinkedClass& c) {
        return c.clsid == clsid || SameProgId(c.progId, progId);
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
        if (kelvo::SameProgId(c.progId, progId)) {
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

// The class object, the object's identity and aggregation, IDispatch against
// the vtable, and self-registration into a registry folder.
#include "automation/registry.h"
#include "component/class_factory.h"
#include "component/registration.h"
#include "device/interface_table.h"
#include "device/kelvo_object.h"
#include "kelvo/portway.h"
#include "support/temp_folder.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kelvo::test {
namespace {

using registry::Hive;
using registry::HiveData;

IKelvo* NewObject() {
    IKelvo* k = nullptr;
    EXPECT_EQ(
        KelvoClassFactory()->CreateInstance(nullptr, IID_IKelvo, reinterpret_cast<void**>(&k)),
        S_OK);
    return k;
}

TEST(ClassObject, ServesOnlyTheKelvoClassAndCountsObjectsAndLocks) {
    void* p = nullptr;
    EXPECT_EQ(GetKelvoClassObject(CLSID_Portway, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        GetKelvoClassObject(CLSID_Kelvo, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);

    ASSERT_EQ(CanUnloadModule(), S_OK);
    IKelvo* k = NewObject();
    EXPECT_EQ(CanUnloadModule(), S_FALSE);
    k->Release();
    EXPECT_EQ(CanUnloadModule(), S_OK);
    factory->LockServer(1);
    EXPECT_EQ(CanUnloadModule(), S_FALSE);
    factory->LockServer(0);
    EXPECT_EQ(CanUnloadModule(), S_OK);
    factory->Release();
}

TEST(KelvoObject, AnswersItsInterfacesAndErrorInfoForIKelvoOnly) {
    IKelvo* k = NewObject();
    struct Case {
        const IID& iid;
        HRESULT query;
        HRESULT errorInfo;
    };
    const Case cases[] = {
        {IID_IKelvo, S_OK, S_OK},
        {IID_IDeviceLink, S_OK, S_FALSE},
        {IID_IDispatch, S_OK, S_FALSE},
        {IID_ISupportErrorInfo, S_OK, S_FALSE},
        {IID_IPortway, E_NOINTERFACE, S_FALSE},
    };
    ISupportErrorInfo* info = nullptr;
    ASSERT_EQ(k->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    for (const Case& c : cases) {
        void* p = nullptr;
        EXPECT_EQ(k->QueryInterface(c.iid, &p), c.query) << GuidToString(c.iid);
        if (p && c.iid != IID_ISupportErrorInfo) {
            EXPECT_EQ(p, static_cast<void*>(k)); // one method table
        }
        if (p)
            static_cast<IUnknown*>(p)->Release();
        EXPECT_EQ(info->InterfaceSupportsErrorInfo(c.iid), c.errorInfo) << GuidToString(c.iid);
    }
    info->Release();
    EXPECT_EQ(k->Release(), 0u);
}

// An outer object that aggregates a Kelvo object and exposes its IKelvo.
class Outer final : public IUnknown {
public:
    Outer() {
        EXPECT_EQ(KelvoClassFactory()->CreateInstance(this, IID_IUnknown,
                                                      reinterpret_cast<void**>(&inner_)),
                  S_OK);
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner_->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        const ULONG left = --refs;
        if (left == 0) {
            inner_->Release();
            delete this;
        }
        return left;
    }
    std::atomic<ULONG> refs{1};

private:
    IUnknown* inner_ = nullptr;
};

TEST(KelvoObject, AggregatedObjectDelegatesItsIdentityAndCounts) {
    void* p = nullptr;
    EXPECT_EQ(KelvoClassFactory()->CreateInstance(reinterpret_cast<IUnknown*>(&p), IID_IKelvo, &p),
              CLASS_E_NOAGGREGATION);

    auto* outer = new Outer;
    IKelvo* k = nullptr;
    ASSERT_EQ(outer->QueryInterface(IID_IKelvo, reinterpret_cast<void**>(&k)), S_OK);
    EXPECT_EQ(outer->refs, 2u); // the reference went to the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(k->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, outer);
    identity->Release();
    Bstr protocol;
    EXPECT_EQ(k->get_Protocol(protocol.out()), S_OK); // the inner object works
    EXPECT_EQ(CanUnloadModule(), S_FALSE);
    k->Release();
    EXPECT_EQ(outer->Release(), 0u);
    EXPECT_EQ(CanUnloadModule(), S_OK); // the inner object went with the outer one
}

// Invoke takes the arguments last first: a method with an array argument and
// an array result gives by name what it gives through the vtable. Properties,
// conversions and refusals by name are Dispatch's in tests/device.
TEST(KelvoObject, InvokeByNameGivesWhatTheVtableGives) {
    IKelvo* viaTable = NewObject();
    IKelvo* direct = NewObject();
    VARIANT array = VariantOf(VT_ARRAY | VT_UI1, 0);
    array.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
    VARIANT lastFirst[] = {VariantOf(VT_I4, VT_ARRAY | VT_UI1), VariantOf(VT_I4, 4), array,
                           VariantOf(VT_I4, 7)};
    DISPPARAMS params{lastFirst, nullptr, 4, 0};
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"PacketVARIANT")};
    DISPID id = 0;
    ASSERT_EQ(viaTable->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), S_OK);
    Variant viaName, viaVtable;
    ASSERT_EQ(viaTable->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, &viaName, nullptr,
                               nullptr),
              S_OK);
    ASSERT_EQ(direct->PacketVARIANT(7, array, 4, VT_ARRAY | VT_UI1, &viaVtable), S_OK);
    ASSERT_EQ(viaName.vt, viaVtable.vt);
    ASSERT_TRUE(viaName.vt & VT_ARRAY);
    EXPECT_EQ(viaName.parray->rgsabound[0].cElements, viaVtable.parray->rgsabound[0].cElements);
    SafeArrayDestroy(array.parray);
    viaTable->Release();
    direct->Release();
}

class Registration : public ::testing::Test {
protected:
    HiveData Read(Hive hive) {
        HiveData data;
        EXPECT_TRUE(registry::Load(root_, hive, data));
        return data;
    }
    TempFolder folder_{"component"};
    const std::string root_ = folder_ / "registry";
    const std::string module_ = "/opt/kelvo/lib/libkelvo.so";
    const std::string class_ = "CLSID\\" + GuidToString(CLSID_Kelvo);
};

TEST_F(Registration, WritesTheEntriesOnceAndUnregisteringWithoutTheProtocolKey) {
    ASSERT_EQ(RegisterKelvoServer(root_, module_), S_OK);
    // The class, its ProgIDs and type library are what a host creates it by:
    // Hosting finds them through the tool's registration.
    EXPECT_TRUE(Read(Hive::ClassesRoot).HasKey(class_ + "\\Programmable"));
    const HiveData machine = Read(Hive::LocalMachine);
    const registry::Values* protocol = machine.KeyValues(kProtocolKey);
    ASSERT_NE(protocol, nullptr);
    EXPECT_EQ(*protocol, (registry::Values{{"ProtDesc18", "Kelvo Protocol"},
                                           {"ProtName18", "Kelvo"},
                                           {"ProtIntf18", "Kelvo.Kelvo.1"}}));

    // Registering again overwrites: the same one set of entries.
    const std::string before = Read(Hive::LocalMachine).Text() + Read(Hive::ClassesRoot).Text();
    ASSERT_EQ(RegisterKelvoServer(root_, module_), S_OK);
    EXPECT_EQ(Read(Hive::LocalMachine).Text() + Read(Hive::ClassesRoot).Text(), before);

    // Unregistering without the protocol key still removes the class.
    ASSERT_TRUE(registry::Update(root_, Hive::LocalMachine, [](HiveData& hive) {
        hive.DeleteTree("Software");
        return true;
    }));
    EXPECT_EQ(UnregisterKelvoServer(root_), S_OK);
    EXPECT_FALSE(Read(Hive::ClassesRoot).HasKey(class_));
    EXPECT_FALSE(Read(Hive::LocalMachine).HasKey(kProtocolKey));
}

TEST_F(Registration, UnregisteringKeepsForeignEntriesAndNoRemoveKeys) {
    ASSERT_TRUE(registry::Update(root_, Hive::ClassesRoot, [](HiveData& hive) {
        return hive.SetValue("CLSID\\{OTHER}", "", "Other Class") &&
               hive.SetValue("Kelvo.Kelvo", "Foreign", "stays");
    }));
    ASSERT_TRUE(registry::Update(root_, Hive::LocalMachine, [](HiveData& hive) {
        return hive.SetValue(kProtocolKey, "ProtName7", "Other");
    }));
    ASSERT_EQ(RegisterKelvoServer(root_, module_), S_OK);
    ASSERT_EQ(UnregisterKelvoServer(root_), S_OK);

    const HiveData classes = Read(Hive::ClassesRoot);
    EXPECT_FALSE(classes.HasKey(class_));
    EXPECT_FALSE(classes.HasKey("Kelvo.Kelvo.1"));
    EXPECT_FALSE(classes.HasKey("TypeLib\\" + GuidToString(LIBID_Kelvo)));
    EXPECT_TRUE(classes.HasKey("CLSID\\{OTHER}"));
    // A key of the script that holds a value of someone else stays with it alone.
    ASSERT_NE(classes.KeyValues("Kelvo.Kelvo"), nullptr);
    EXPECT_EQ(*classes.KeyValues("Kelvo.Kelvo"), (registry::Values{{"Foreign", "stays"}}));
    EXPECT_FALSE(classes.HasKey("Kelvo.Kelvo\\CurVer"));
    EXPECT_EQ(*Read(Hive::LocalMachine).KeyValues(kProtocolKey),
              (registry::Values{{"ProtName7", "Other"}}));
}

TEST_F(Registration, AnUnwritableRegistryFailsBeforeTheClassIsRegistered) {
    std::filesystem::create_directories(root_);
    if (::geteuid() == 0) {
        // Permissions do not stop root: a folder where the machine hive belongs does.
        std::filesystem::create_directory(registry::HiveFile(root_, Hive::LocalMachine));
    } else {
        std::filesystem::permissions(root_, std::filesystem::perms::owner_read |
                                                std::filesystem::perms::owner_exec);
    }
    EXPECT_EQ(RegisterKelvoServer(root_, module_), E_FAIL);
    EXPECT_TRUE(Read(Hive::ClassesRoot).Empty());
}

} // namespace
} // namespace kelvo::test

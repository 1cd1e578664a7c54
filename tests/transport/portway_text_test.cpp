// Connection texts, device and lock paths, and the object's component surface.
#include "kelvo/runtime.h"
#include "portway_testing.h"
#include "transport/portway/channel.h"
#include "transport/portway/connection_text.h"
#include "transport/portway/device_paths.h"

#include <filesystem>

namespace kelvo::test {
namespace {

using portway::BridgeTarget;
using portway::ParseConnectionText;
using portway::SerialTarget;
using portway::TcpTarget;

TEST(PortwayConnectionText, TcpForms) {
    struct Case {
        const char* text;
        const char* host;
        unsigned port;
        unsigned timeout;
        bool tls;
    };
    const Case cases[] = {
        {"TCPIP:192.168.1.20/17221,5000", "192.168.1.20", 17221, 5000, false},
        {"TCPIP:10.0.0.7/17222,3000,SSL", "10.0.0.7", 17222, 3000, true},
        {"tcpip:device.local/17222,0,ssl", "device.local", 17222, 0, true},
        {"TCPIP:/17221,5000", "", 17221, 5000, false},
        {"TCPIP:[::1]/80,1", "::1", 80, 1, false},
        {"TCPIP:::1/80,1", "::1", 80, 1, false},
        {"TCPIP: host /17221 , 250 , SSL ", "host", 17221, 250, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto target = ParseConnectionText(c.text);
        ASSERT_TRUE(target);
        auto* tcp = std::get_if<TcpTarget>(&*target);
        ASSERT_NE(tcp, nullptr);
        EXPECT_EQ(tcp->host, c.host);
        EXPECT_EQ(tcp->port, c.port);
        EXPECT_EQ(tcp->connectTimeoutMs, c.timeout);
        EXPECT_EQ(tcp->tls, c.tls);
    }
}

TEST(PortwayConnectionText, SerialAndBridgeForms) {
    auto com = ParseConnectionText("COM:3,921600,N,8,1");
    ASSERT_TRUE(com);
    auto* serial = std::get_if<SerialTarget>(&*com);
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->port, 3u);
    EXPECT_EQ(serial->settings.baud, 921600u);
    EXPECT_EQ(serial->settings.parity, 'N');
    EXPECT_EQ(serial->settings.dataBits, 8u);
    EXPECT_EQ(serial->settings.stopBits, 1u);

    auto shortCom = ParseConnectionText("COM:256");
    ASSERT_TRUE(shortCom);
    EXPECT_EQ(std::get<SerialTarget>(*shortCom).settings.baud, 921600u);

    auto odd = ParseConnectionText("COM:1,115200,o,7,2");
    ASSERT_TRUE(odd);
    EXPECT_EQ(std::get<SerialTarget>(*odd).settings.parity, 'O');
    EXPECT_EQ(std::get<SerialTarget>(*odd).settings.stopBits, 2u);

    // The name ends at the last "_COM,", so it may hold underscores itself.
    auto sock = ParseConnectionText("SOCK:my_COM_bridge_COM,12,921600,N,8,1");
    ASSERT_TRUE(sock);
    auto* bridge = std::get_if<BridgeTarget>(&*sock);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->name, "my_COM_bridge");
    EXPECT_EQ(bridge->port, 12u);
}

TEST(PortwayConnectionText, RefusedTexts) {
    const char* refused[] = {
        "",
        "COM",
        "USB:1",
        "TCPIP:host",
        "TCPIP:host/17221",
        "TCPIP:host/17221,5000,TLS",
        "TCPIP:host/17221,5000,SSL,x",
        "TCPIP:host/0,5000",
        "TCPIP:host/65536,5000",
        "TCPIP:host/17221,-1",
        "TCPIP:host/17221,4294967296",
        "TCPIP:host/17221,12ms",
        "COM:0,921600,N,8,1",
        "COM:257,921600,N,8,1",
        "COM:x",
        "COM:3,921600,X,8,1",
        "COM:3,921600,N,9,1",
        "COM:3,921600,N,8,3",
        "COM:3,921600,N,8,1,extra",
        "SOCK:name,3",
        "SOCK:_COM,3",
        "SOCK:a/b_COM,3",
        "SOCK:.._COM,3",
        "SOCK:name_COM,0",
    };
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ParseConnectionText(text));
    }
}

TEST(PortwayFingerprint, HexWithSeparators) {
    std::string hex(64, 'a');
    auto plain = portway::ParseFingerprint(hex);
    ASSERT_TRUE(plain);
    EXPECT_EQ((*plain)[0], 0xaa);

    std::string colons;
    for (int i = 0; i < 32; ++i)
        colons += (i ? ":" : "") + std::string(i == 31 ? "0F" : "00");
    auto separated = portway::ParseFingerprint(colons);
    ASSERT_TRUE(separated);
    EXPECT_EQ((*separated)[31], 0x0f);

    EXPECT_FALSE(portway::ParseFingerprint(hex.substr(1)));
    EXPECT_FALSE(portway::ParseFingerprint(hex + "00"));
    EXPECT_FALSE(portway::ParseFingerprint(std::string(63, 'a') + "g"));
    EXPECT_FALSE(portway::ParseFingerprint(""));
}

class PortwayPathTest : public PortwayTest {};

TEST_F(PortwayPathTest, ComLinksPerUserFolderAndFallback) {
    std::filesystem::create_symlink("/dev/null", devices() + "/com4");
    EXPECT_EQ(portway::ComDevicePath(4), devices() + "/com4");
    EXPECT_EQ(portway::ComDevicePath(5), "/dev/ttyS4");
    EXPECT_EQ(portway::ComDevicePath(1), "/dev/ttyS0");

    ScopedEnv noFixed("KELVO_DEVICES", nullptr);
    std::string appdata = dir() + "/appdata";
    std::filesystem::create_directories(appdata + "/kelvo/devices");
    std::filesystem::create_symlink("/dev/null", appdata + "/kelvo/devices/com9");
    {
        ScopedEnv env("APPDATA", appdata);
        EXPECT_EQ(portway::ComDevicePath(9), appdata + "/kelvo/devices/com9");
    }
    ScopedEnv noAppdata("APPDATA", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", appdata);
    EXPECT_EQ(portway::ComDevicePath(9), appdata + "/kelvo/devices/com9");
}

TEST_F(PortwayPathTest, BridgeAndLockPaths) {
    EXPECT_EQ(portway::BridgeSocketPath("line"), dir() + "/kelvo/line.sock");
    EXPECT_EQ(portway::LinkLockPath("serial-/dev/pts/3"), dir() + "/kelvo-serial-_dev_pts_3.lock");

    // Long identities stay within a file name and stay distinct.
    std::string a = portway::LinkLockPath("sock-" + std::string(300, 'x') + "a");
    std::string b = portway::LinkLockPath("sock-" + std::string(300, 'x') + "b");
    EXPECT_NE(a, b);
    EXPECT_LT(std::filesystem::path(a).filename().string().size(), 255u);

    ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(portway::BridgeSocketPath("line"), "/run/kelvo/line.sock");
    EXPECT_NE(portway::LinkLockPath("tcp-h_1").find("/kelvo-tcp-h_1.lock"), std::string::npos);
}

TEST(PortwayObject, InterfacesAndFactory) {
    Transport t;
    ASSERT_NE(t.get(), nullptr);
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IPortway}) {
        void* p = nullptr;
        EXPECT_EQ(t->QueryInterface(iid, &p), S_OK);
        ASSERT_EQ(p, static_cast<void*>(t.get()));
        static_cast<IUnknown*>(p)->Release();
    }
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(t->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);

    UINT count = 7;
    EXPECT_EQ(t->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(t->GetIDsOfNames(IID_IPortway, nullptr, 0, 0, nullptr), E_NOTIMPL);

    EXPECT_EQ(PortwayClassFactory()->CreateInstance(t.get(), IID_IUnknown, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);

    // Created by its ProgID.
    RegisterPortwayClass();
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(PORTWAY_PROGID, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Portway);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IPortway, &p), S_OK);
    static_cast<IPortway*>(p)->Release();
    UnregisterLinkedClass(CLSID_Portway);
}

TEST(PortwayObject, ClosedTransportRefusesLinkOperations) {
    Transport t;
    char buf[4];
    EXPECT_EQ(t->Read(buf, 4, 10), E_FAIL);
    EXPECT_EQ(t.Error(), PW_NOT_OPEN);
    EXPECT_EQ(t->Write(buf, 4), E_FAIL);
    EXPECT_EQ(t->Lock(), E_FAIL);
    EXPECT_EQ(t->Unlock(), E_FAIL);
    EXPECT_EQ(t->Reset(), E_FAIL);
    EXPECT_EQ(t->Flush(), E_FAIL);
    EXPECT_EQ(t.Error(), PW_NOT_OPEN);
    EXPECT_EQ(t->Close(), S_OK);

    Variant v;
    EXPECT_EQ(t->GetProperty(PORTWAY_PROP_CERT_NOT_BEFORE, &v), E_FAIL);
    EXPECT_EQ(t.Error(), PW_NO_CERTIFICATE);
    EXPECT_EQ(t->GetProperty(99, &v), E_INVALIDARG);
    EXPECT_EQ(t->GetProperty(2, nullptr), E_POINTER);
    EXPECT_EQ(t->get_ErrorCode(nullptr), E_POINTER);
    EXPECT_EQ(t->Open(nullptr), E_FAIL);
    EXPECT_EQ(t.Error(), PW_BAD_CONNECTION_TEXT);
}

TEST(PortwayObject, PinProperty) {
    Transport t;
    Variant pin;
    pin.vt = VT_BSTR;
    pin.bstrVal = SysAllocString(u"AB:"
                                 u"cdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789");
    ASSERT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, pin), S_OK);
    Variant read;
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_TLS_PIN, &read), S_OK);
    ASSERT_EQ(read.vt, VT_BSTR);
    EXPECT_EQ(BstrView(read.bstrVal),
              u"abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789");

    Variant bad;
    bad.vt = VT_BSTR;
    bad.bstrVal = SysAllocString(u"abc");
    EXPECT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, bad), E_INVALIDARG);
    EXPECT_EQ(t.Error(), PW_BAD_ARGUMENT);
    Variant number;
    number.vt = VT_I4;
    number.lVal = 4;
    EXPECT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, number), E_INVALIDARG);
    EXPECT_EQ(t->PutProperty(2, number), E_INVALIDARG);

    Variant empty;
    ASSERT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, empty), S_OK);
    Variant cleared;
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_TLS_PIN, &cleared), S_OK);
    EXPECT_EQ(BstrView(cleared.bstrVal), u"");
}

} // namespace
} // namespace kelvo::test

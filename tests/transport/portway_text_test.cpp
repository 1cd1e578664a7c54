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

// The parsed form of a connection text in one line; "" when it is refused.
std::string Parsed(const char* text) {
    const auto target = ParseConnectionText(text);
    if (!target)
        return "";
    if (const auto* tcp = std::get_if<TcpTarget>(&*target))
        return "tcp " + tcp->host + " " + std::to_string(tcp->port) + " " +
               std::to_string(tcp->connectTimeoutMs) + (tcp->tls ? " ssl" : "");
    auto line = [](const std::string& kind, unsigned port, const portway::SerialSettings& s) {
        return kind + " " + std::to_string(port) + " " + std::to_string(s.baud) + " " + s.parity +
               std::to_string(s.dataBits) + std::to_string(s.stopBits);
    };
    if (const auto* com = std::get_if<SerialTarget>(&*target))
        return line("com", com->port, com->settings);
    const auto& bridge = std::get<BridgeTarget>(*target);
    return line("sock " + bridge.name, bridge.port, bridge.settings);
}

TEST(PortwayConnectionText, FormsAndRefusals) {
    struct Case {
        const char* text;
        const char* parsed;
    };
    const Case cases[] = {
        {"TCPIP:192.168.1.20/17221,5000", "tcp 192.168.1.20 17221 5000"},
        {"TCPIP:10.0.0.7/17222,3000,SSL", "tcp 10.0.0.7 17222 3000 ssl"},
        {"tcpip:device.local/17222,0,ssl", "tcp device.local 17222 0 ssl"},
        {"TCPIP:/17221,5000", "tcp  17221 5000"},
        {"TCPIP:[::1]/80,1", "tcp ::1 80 1"},
        {"TCPIP:::1/80,1", "tcp ::1 80 1"},
        {"TCPIP: host /17221 , 250 , SSL ", "tcp host 17221 250 ssl"},
        {"COM:3,921600,N,8,1", "com 3 921600 N81"},
        {"COM:256", "com 256 921600 N81"},
        {"COM:1,115200,o,7,2", "com 1 115200 O72"},
        // The name ends at the last "_COM,", so it may hold underscores itself.
        {"SOCK:my_COM_bridge_COM,12,921600,N,8,1", "sock my_COM_bridge 12 921600 N81"},
        {"", ""},
        {"COM", ""},
        {"USB:1", ""},
        {"TCPIP:host", ""},
        {"TCPIP:host/17221", ""},
        {"TCPIP:host/17221,5000,TLS", ""},
        {"TCPIP:host/17221,5000,SSL,x", ""},
        {"TCPIP:host/0,5000", ""},
        {"TCPIP:host/65536,5000", ""},
        {"TCPIP:host/17221,-1", ""},
        {"TCPIP:host/17221,4294967296", ""},
        {"TCPIP:host/17221,12ms", ""},
        {"COM:0,921600,N,8,1", ""},
        {"COM:257,921600,N,8,1", ""},
        {"COM:x", ""},
        {"COM:3,921600,X,8,1", ""},
        {"COM:3,921600,N,9,1", ""},
        {"COM:3,921600,N,8,3", ""},
        {"COM:3,921600,N,8,1,extra", ""},
        {"SOCK:name,3", ""},
        {"SOCK:_COM,3", ""},
        {"SOCK:a/b_COM,3", ""},
        {"SOCK:.._COM,3", ""},
        {"SOCK:name_COM,0", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Parsed(c.text), c.parsed) << c.text;
}

TEST_F(PortwayTest, DevicesBridgesAndLockFiles) {
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

// The pin takes 64 hex digits in either case, colons allowed, and reads back
// in lower case; an empty text removes it.
TEST(PortwayObject, PinProperty) {
    const std::string digits = "cdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
    std::string colons;
    for (int i = 0; i < 32; ++i)
        colons += (i ? ":" : "") + std::string(i == 31 ? "0F" : "00");
    struct Case {
        std::string text;
        std::optional<std::string> stored; // none: refused
    };
    const Case cases[] = {
        {"AB:" + digits, "ab" + digits},       {"", ""}, // removes the pin
        {colons, std::string(62, '0') + "0f"}, {std::string(63, 'a'), std::nullopt},
        {std::string(66, 'a'), std::nullopt},  {std::string(63, 'a') + "g", std::nullopt},
    };
    Transport t;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const HRESULT put = t->PutProperty(PORTWAY_PROP_TLS_PIN, TextVariant(c.text));
        if (!c.stored) {
            EXPECT_EQ(put, E_INVALIDARG);
            EXPECT_EQ(t.Error(), PW_BAD_ARGUMENT);
            continue;
        }
        EXPECT_EQ(put, S_OK);
        Variant read;
        ASSERT_EQ(t->GetProperty(PORTWAY_PROP_TLS_PIN, &read), S_OK);
        EXPECT_EQ(Utf16ToUtf8(BstrView(read.bstrVal)), *c.stored);
    }
    Variant number;
    number.vt = VT_I4;
    number.lVal = 4;
    EXPECT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, number), E_INVALIDARG);
    EXPECT_EQ(t->PutProperty(2, number), E_INVALIDARG);
    Variant empty, cleared;
    ASSERT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, empty), S_OK);
    ASSERT_EQ(t->GetProperty(PORTWAY_PROP_TLS_PIN, &cleared), S_OK);
    EXPECT_EQ(BstrView(cleared.bstrVal), u"");
}

} // namespace
} // namespace kelvo::test

// A host of the Kelvo component: creates the class by its programmatic
// identifier, connects, reads one parameter and prints it.
//
//   kelvo-example-host [CONNECTION [INDEX [SUBINDEX [TYPE]]]]
//
// CONNECTION defaults to the simulator on 127.0.0.2 (kelvo-sim), the
// parameter to 0x100A/0 as text (type 8). The class is found through the
// registry (see `kelvo register`).
#include <kelvo/kelvo.h>
#include <kelvo/runtime.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "kelvo-example-host: %s failed (0x%08X)\n", what,
                 static_cast<unsigned>(hr));
    return 1;
}

long Number(int argc, char** argv, int index, long def) {
    return argc > index ? std::strtol(argv[index], nullptr, 0) : def;
}

} // namespace

int main(int argc, char** argv) {
    const std::string connection = argc > 1 ? argv[1] : "TCPIP:127.0.0.2/17221,3000";
    const LONG index = static_cast<LONG>(Number(argc, argv, 2, 0x100A));
    const LONG subIndex = static_cast<LONG>(Number(argc, argv, 3, 0));
    const SHORT type = static_cast<SHORT>(Number(argc, argv, 4, VT_BSTR));

    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"Kelvo.Kelvo", &clsid);
    if (FAILED(hr))
        return Fail("CLSIDFromProgID(Kelvo.Kelvo): is the component registered?", hr);
    IKelvo* kelvo = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IKelvo,
                          reinterpret_cast<void**>(&kelvo));
    if (FAILED(hr))
        return Fail("CoCreateInstance", hr);

    int status = 0;
    kelvo::Bstr text(kelvo::Utf8ToUtf16(connection));
    kelvo::Variant value;
    hr = kelvo->Init(text.get());
    if (SUCCEEDED(hr))
        hr = kelvo->get_Par(index, subIndex, type, &value);
    if (SUCCEEDED(hr))
        hr = VariantChangeType(&value, &value, 0, VT_BSTR);
    if (SUCCEEDED(hr)) {
        std::printf("%s\n", kelvo::Utf16ToUtf8(kelvo::BstrView(value.bstrVal)).c_str());
    } else {
        SHORT code = 0;
        kelvo->get_ErrorCode(&code);
        kelvo::Bstr message;
        kelvo->get_ErrorString(message.out());
        std::fprintf(stderr, "kelvo-example-host: error %d: %s\n", code,
                     kelvo::Utf16ToUtf8(message.view()).c_str());
        status = 1;
    }
    kelvo->Close();
    kelvo->Release();

    // Every object is gone: the library may be unloaded now.
    std::printf("can unload: %s\n", kelvo::CanUnloadClassLibrary(clsid) == S_OK ? "yes" : "no");
    return status;
}

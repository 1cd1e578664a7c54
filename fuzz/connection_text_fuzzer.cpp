// Connection texts through put ConfString and Init.
//
// Input: flags, then the text (one UTF-16 unit per byte, or UTF-16LE pairs).
//   flags: 1 remember the serial port (the settings folder holds LastPort 7),
//          2 UTF-16LE text, 4 the transport does not open (error 9, 10 with 8)
#include "fuzz_support.h"

#include "device/connection_text.h"

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

std::u16string ConfString(CKelvo& k) {
    Out<BSTR> text(false, nullptr);
    FUZZ_CHECK(text.Check(k.get_ConfString(text.ptr())) == S_OK);
    return std::u16string(BstrView(text.value));
}

void CheckConfString(const std::u16string& text, bool remember) {
    CKelvo* k = NewObject();
    k->put_Option(remember ? 0x100 : 0);
    FUZZ_CHECK(k->put_ConfString(Bstr(text).get()) == S_OK);
    const std::u16string built = ConfString(*k);
    // An empty host does not read back as a TCP/IP part: no fixed point then.
    if (!k->tcpMode || !k->host.empty()) {
        FUZZ_CHECK(k->put_ConfString(Bstr(built).get()) == S_OK);
        FUZZ_CHECK(ConfString(*k) == built);
    }
    k->Release();
}

void CheckInit(const std::u16string& text, bool remember, PortwayErrorCode openError) {
    FuzzTransport& t = FuzzTransport::Instance();
    t.Play({}, {.openError = openError});

    CKelvo* k = NewObject();
    k->put_Option(remember ? 0x100 : 0);
    k->errorCode = KE_TYPE;
    const HRESULT hr = k->Init(Bstr(text).get());
    FUZZ_CHECK(hr == S_OK || hr == KELVO_E_CONNECTION_TEXT || hr == KELVO_E_OPEN);
    if (hr == KELVO_E_CONNECTION_TEXT) {
        FUZZ_CHECK(k->portAdapter && t.opens == 0 && k->errorCode == KE_TYPE);
    } else {
        FUZZ_CHECK(t.opens == 1);
        const std::u16string& opened = t.openedWith;
        FUZZ_CHECK(opened.starts_with(u"TCPIP:") || opened.starts_with(u"COM:"));
        if (k->serialMode)
            FUZZ_CHECK(k->port >= 1 && k->port <= 256 && k->baudRate == 921600);
    }
    if (hr == S_OK)
        FUZZ_CHECK(k->active && k->portAdapter);
    if (hr == KELVO_E_OPEN) {
        FUZZ_CHECK(!k->portAdapter);
        // The open's own code, or a failed login: nothing answers, or a text too long.
        if (openError != PW_OK)
            FUZZ_CHECK(k->errorCode ==
                       (openError == PW_HOST_NOT_FOUND ? KE_TRANSPORT_9 : KE_TRANSPORT_10));
        else
            FUZZ_CHECK(k->errorCode == KE_TIMEOUT || k->errorCode == KE_LENGTH);
    }
    ReleaseChecked(k, false);
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const std::uint8_t flags = in.u8();
    const std::u16string text = in.text(flags & 2);
    const bool remember = flags & 1;
    CheckConfString(text, remember);
    CheckInit(text, remember,
              !(flags & 4)  ? PW_OK
              : (flags & 8) ? PW_CONNECT_FAILED
                            : PW_HOST_NOT_FOUND);
}

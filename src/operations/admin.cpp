// The admin key block, the admin password reset and the certificate request.
// The component only carries the bytes: it neither computes nor checks a key.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "operations/password_encoding.h"
#include "operations/users.h"

#include <cstdlib>
#include <vector>

using namespace kelvo;

namespace {

// Two characters of a key as the C library's wcstoul reads them in base 16;
// the low 8 bits are the key byte.
std::uint8_t KeyByte(char16_t high, char16_t low) {
    return HexPairByte(high, low);
}

} // namespace

HRESULT CKelvo::GetBVAdminKey(BSTR* result) {
    TraceText(TRACE_READ, u"CKelvo::GetBVAdminKey");
    if (!result)
        return E_POINTER;
    UserAdminResult answer;
    const HRESULT hr = RunUserAdmin(*this, kGetBVAdminKey, {}, &answer);
    if (FAILED(hr))
        return hr;
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string text;
    text.reserve(2 * answer.key.size());
    for (std::uint8_t b : answer.key) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    *result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return S_OK;
}

HRESULT CKelvo::ResetAdminPassword(BSTR key) {
    Trace(TRACE_READ, u"CKelvo::ResetAdminPassword %s", key);
    const std::u16string_view text = BstrView(key);
    if (text.empty() || text.size() % 2 != 0)
        return E_FAIL;
    // A key of more than 252 bytes wraps the count byte and the frame length
    // byte; all its bytes are sent.
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = KeyByte(text[2 * k], text[2 * k + 1]);
    UserAdminArgs args;
    args.key = bytes;
    return RunUserAdmin(*this, kResetAdminPassword, args);
}

HRESULT CKelvo::CreateCertificate(LONG startDate, LONG expireDate) {
    TraceText(TRACE_READ, u"CKelvo::CreateCertificate");
    UserAdminArgs args;
    args.dates[0] = static_cast<std::int64_t>(startDate) * 1000;
    args.dates[1] = static_cast<std::int64_t>(expireDate) * 1000;
    return RunUserAdmin(*this, kCreateCertificate, args);
}

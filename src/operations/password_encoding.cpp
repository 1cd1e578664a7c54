#include "operations/password_encoding.h"

#include "device/kelvo_object.h"

#include <cstdlib>

namespace kelvo {
namespace {

constexpr unsigned kOffset = 0x3B;
constexpr unsigned kMask = 0xA5;

} // namespace

std::u16string ScramblePassword(std::u16string_view password) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string out;
    out.reserve(password.size() * 2);
    for (char16_t unit : password) {
        const unsigned v = ((static_cast<unsigned>(unit & 0xFF) + kOffset) & 0xFF) ^ kMask;
        out.push_back(kDigits[v >> 4]);
        out.push_back(kDigits[v & 0xF]);
    }
    return out;
}

std::uint8_t HexPairByte(char16_t high, char16_t low) {
    // Characters outside ASCII are no digits: they stop the reading as any other.
    const char pair[3] = {high < 0x80 ? static_cast<char>(high) : '?',
                          low < 0x80 ? static_cast<char>(low) : '?', '\0'};
    return static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16) & 0xFF);
}

std::u16string UnscramblePassword(std::u16string_view scrambled) {
    if (scrambled.empty() || scrambled.size() % 2 != 0)
        return u"?";
    std::u16string out;
    out.reserve(scrambled.size() / 2);
    for (std::size_t i = 0; i < scrambled.size(); i += 2) {
        const unsigned long number = HexPairByte(scrambled[i], scrambled[i + 1]);
        const unsigned byte = static_cast<unsigned>(number & 0xFF) ^ kMask;
        out.push_back(static_cast<char16_t>((byte - kOffset) & 0xFFFF));
    }
    return out;
}

} // namespace kelvo

namespace {
BSTR NewBstr(std::u16string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
} // namespace

HRESULT CKelvo::EncryptPassword(BSTR pass, BSTR* result) {
    if (!result)
        return E_POINTER;
    *result = NewBstr(kelvo::ScramblePassword(kelvo::BstrView(pass)));
    return S_OK;
}

HRESULT CKelvo::DecryptPassword(BSTR pass, BSTR* result) {
    if (!result)
        return E_POINTER;
    *result = NewBstr(kelvo::UnscramblePassword(kelvo::BstrView(pass)));
    return S_OK;
}

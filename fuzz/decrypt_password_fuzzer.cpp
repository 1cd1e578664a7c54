// DecryptPassword (and EncryptPassword) on any text.
//
// Input: flags, then the text (one UTF-16 unit per byte, or UTF-16LE pairs).
//   flags: 1 UTF-16LE text
#include "fuzz_support.h"

void kelvo::fuzz::FuzzOne(Input& in) {
    const std::u16string text = in.text(in.u8() & 1);
    // Both directions succeed with a new string.
    const auto Call = [](CKelvo& k, HRESULT (CKelvo::*method)(BSTR, BSTR*),
                         std::u16string_view text) {
        Bstr given(text);
        Out<BSTR> out(false, nullptr);
        FUZZ_CHECK(out.Check((k.*method)(given.get(), out.ptr())) == S_OK &&
                   out.value != given.get());
        return std::u16string(BstrView(out.value));
    };
    const auto IsUpperHex = [](char16_t c) {
        return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
    };

    CKelvo* k = NewObject();
    k->errorCode = KE_TYPE;
    const std::u16string plain = Call(*k, &CKelvo::DecryptPassword, text);
    if (text.empty() || text.size() % 2 != 0)
        FUZZ_CHECK(plain == u"?");
    else
        FUZZ_CHECK(plain.size() == text.size() / 2);
    if (!text.empty() && text.size() % 2 == 0 && std::all_of(text.begin(), text.end(), IsUpperHex))
        FUZZ_CHECK(Call(*k, &CKelvo::EncryptPassword, plain) == text);

    const std::u16string scrambled = Call(*k, &CKelvo::EncryptPassword, text);
    FUZZ_CHECK(scrambled.size() == 2 * text.size());
    FUZZ_CHECK(std::all_of(scrambled.begin(), scrambled.end(), IsUpperHex));
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char16_t c) { return c <= 0xC4; }))
        FUZZ_CHECK(Call(*k, &CKelvo::DecryptPassword, scrambled) == text);
    FUZZ_CHECK(k->errorCode == KE_TYPE);
    k->Release();
}

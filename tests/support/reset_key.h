// The key a device accepts for a password reset: the SHA-256 of the admin key
// block (given as hex text), as lower-case hex.
#pragma once

#include "kelvo/automation.h"

#include <openssl/evp.h>

#include <string>
#include <string_view>
#include <vector>

inline std::u16string ResetKeyOf(std::u16string_view hex) {
    std::vector<unsigned char> block(hex.size() / 2);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(
            std::stoi(kelvo::Utf16ToUtf8(hex.substr(2 * i, 2)), nullptr, 16));
    unsigned char digest[32];
    unsigned int size = 0;
    EVP_Digest(block.data(), block.size(), digest, &size, EVP_sha256(), nullptr);
    std::u16string key;
    for (unsigned char b : digest) {
        static constexpr char16_t kDigits[] = u"0123456789abcdef";
        key += kDigits[b >> 4];
        key += kDigits[b & 0x0F];
    }
    return key;
}

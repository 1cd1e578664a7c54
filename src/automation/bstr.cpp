// BSTR allocation. Memory layout of one string:
//   [4-byte byte length][UTF-16 units ...][2-byte terminator]
//                        ^ the BSTR points here
// The length counts bytes without the terminator; the block comes from malloc,
// so a failed allocation yields a null BSTR and never throws.
#include "kelvo/automation.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);

// Largest unit count whose byte length and whole block still fit in 32 bits.
constexpr UINT kMaxUnits = (0xFFFFFFFFu - kPrefixBytes - sizeof(OLECHAR)) / sizeof(OLECHAR);

unsigned char* BlockOf(BSTR text) {
    return reinterpret_cast<unsigned char*>(text) - kPrefixBytes;
}

} // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > kMaxUnits) {
        return nullptr;
    }
    const std::uint32_t bytes = length * static_cast<std::uint32_t>(sizeof(OLECHAR));
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
    if (!block) {
        return nullptr;
    }
    std::memcpy(block, &bytes, kPrefixBytes);
    auto* units = reinterpret_cast<OLECHAR*>(block + kPrefixBytes);
    if (text) {
        std::memcpy(units, text, bytes);
    } else {
        std::memset(units, 0, bytes);
    }
    units[length] = u'\0';
    return units;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) {
        return nullptr;
    }
    std::size_t length = 0;
    while (text[length] != u'\0') {
        ++length;
        if (length > kMaxUnits) {
            return nullptr;
        }
    }
    return SysAllocStringLen(text, static_cast<UINT>(length));
}

UINT SysStringByteLen(BSTR text) {
    if (!text) {
        return 0;
    }
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, BlockOf(text), kPrefixBytes);
    return bytes;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

void SysFreeString(BSTR text) {
    if (!text) {
        return;
    }
    std::free(BlockOf(text));
}

namespace kelvo {

Bstr::Bstr(std::u16string_view text) {
    if (text.size() > kMaxUnits) {
        return;
    }
    b_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

Bstr& Bstr::operator=(Bstr&& o) noexcept {
    if (this != &o) {
        SysFreeString(b_);
        b_ = o.b_;
        o.b_ = nullptr;
    }
    return *this;
}

BSTR* Bstr::out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
}

} // namespace kelvo

// Conversions between UTF-16 and the 8-bit code pages (Windows-1252, ISO-8859-1,
// UTF-8). Windows-1252 leaves five bytes undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D); they map to the control characters of the same value in both
// directions, so every byte survives a round trip.
#include "kelvo/automation.h"

#include <array>

namespace kelvo {

namespace {

thread_local CodePage threadCodePage = CodePage::Windows1252;

constexpr char kUnmappable = '?';
constexpr char32_t kReplacement = 0xFFFD;

// Code points of the bytes 0x80..0x9F in Windows-1252.
constexpr std::array<char16_t, 32> kWindows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}
bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Reads one code point at text[*pos]; a lone surrogate is returned as itself.
char32_t NextCodePoint(std::u16string_view text, std::size_t* pos) {
    const char32_t first = text[(*pos)++];
    if (IsHighSurrogate(first) && *pos < text.size() && IsLowSurrogate(text[*pos])) {
        const char32_t second = text[(*pos)++];
        return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
    }
    return first;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        return;
    }
    if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
        return;
    }
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
}

char ToWindows1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<char>(c);
    }
    for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
        if (kWindows1252High[i] == c) {
            return static_cast<char>(0x80 + i);
        }
    }
    return kUnmappable;
}

// Decodes one UTF-8 sequence at text[*pos]. An ill-formed sequence gives
// U+FFFD and consumes its longest valid prefix (at least one byte), so decoding
// resumes at the byte that broke it.
char32_t NextUtf8(std::string_view text, std::size_t* pos) {
    const auto lead = static_cast<unsigned char>(text[(*pos)++]);
    if (lead < 0x80) {
        return lead;
    }
    int trailing = 0;
    char32_t c = 0;
    unsigned char low = 0x80; // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        c = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        c = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;  // no overlong forms
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int i = 0; i < trailing; ++i) {
        if (*pos >= text.size()) {
            return kReplacement;
        }
        const auto next = static_cast<unsigned char>(text[*pos]);
        if (next < low || next > high) {
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
        ++*pos;
        low = 0x80;
        high = 0xBF;
    }
    return c;
}

} // namespace

void SetThreadCodePage(CodePage cp) {
    threadCodePage = cp;
}

CodePage GetThreadCodePage() {
    return threadCodePage;
}

std::string ToAnsi(std::u16string_view text, CodePage cp) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = NextCodePoint(text, &pos);
        switch (cp) {
        case CodePage::Windows1252:
            out += ToWindows1252(c);
            break;
        case CodePage::Latin1:
            out += c <= 0xFF ? static_cast<char>(c) : kUnmappable;
            break;
        case CodePage::Utf8:
            if (IsSurrogate(c)) {
                out += kUnmappable;
            } else {
                AppendUtf8(out, c);
            }
            break;
        }
    }
    return out;
}

std::u16string FromAnsi(std::string_view bytes, CodePage cp) {
    if (cp == CodePage::Utf8) {
        return Utf8ToUtf16(bytes);
    }
    std::u16string out;
    out.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        if (cp == CodePage::Windows1252 && b >= 0x80 && b <= 0x9F) {
            out += kWindows1252High[b - 0x80];
        } else {
            out += static_cast<char16_t>(b);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = NextCodePoint(text, &pos);
        AppendUtf8(out, IsSurrogate(c) ? kReplacement : c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        AppendUtf16(out, NextUtf8(text, &pos));
    }
    return out;
}

} // namespace kelvo

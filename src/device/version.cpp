#include "device/kelvo_object.h"

#include <cstdio>
#include <vector>

// Reads the leading decimal number of a part as the C library would: blanks,
// then an optional sign and digits; no digits gives 0.
static int LeadingNumber(std::u16string_view part) {
    std::size_t i = 0;
    while (i < part.size() && (part[i] == u' ' || part[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < part.size() && (part[i] == u'+' || part[i] == u'-'))
        negative = part[i++] == u'-';
    long long value = 0;
    for (; i < part.size() && part[i] >= u'0' && part[i] <= u'9'; ++i)
        value = value < 100000000 ? value * 10 + (part[i] - u'0') : value;
    return static_cast<int>(negative ? -value : value);
}

std::u16string FormatVersionText(std::u16string_view fileVersion) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = fileVersion.find(u',', start);
        parts.push_back(fileVersion.substr(start, comma - start));
        if (comma == std::u16string_view::npos)
            break;
        start = comma + 1;
    }
    if (parts.size() != 4)
        return std::u16string(fileVersion);
    int n[4];
    for (int i = 0; i < 4; ++i)
        n[i] = LeadingNumber(parts[i]);
    char text[64];
    if (n[2] == 0 && n[3] == 0)
        std::snprintf(text, sizeof text, "%d.%d", n[0], n[1]);
    else if (n[3] == 0)
        std::snprintf(text, sizeof text, "%d.%d.%d", n[0], n[1], n[2]);
    else
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", n[0], n[1], n[2], n[3]);
    return kelvo::Utf8ToUtf16(text);
}

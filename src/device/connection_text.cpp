#include "device/connection_text.h"

#include "device/kelvo_object.h"
#include "operations/password_encoding.h"

#include <climits>

namespace kelvo {

std::vector<std::u16string_view> Tokenize(std::u16string_view text,
                                          std::u16string_view separators) {
    std::vector<std::u16string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find_first_of(separators, start);
        const std::size_t stop = end == std::u16string_view::npos ? text.size() : end;
        if (stop > start)
            pieces.push_back(text.substr(start, stop - start));
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }
    return pieces;
}

int ReadDecimal(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1; // saturate like the C library
    }
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

bool SameKeyword(std::u16string_view a, std::u16string_view b) {
    return SameIgnoringCase(a, b);
}

bool ParseDevicePart(CKelvo& k, std::u16string_view text) {
    const auto pieces = Tokenize(text, u":,");
    if (pieces.size() < 2 || !SameKeyword(pieces[0], u"Kelvo"))
        return false;
    k.address = 255; // the address piece is not read
    if (pieces.size() > 2)
        k.timeOut = ReadDecimal(pieces[2]);
    if (pieces.size() > 3)
        k.canNode = static_cast<std::uint8_t>(ReadDecimal(pieces[3]));
    if (pieces.size() >= 6) {
        k.userName = pieces[4];
        k.password = UnscramblePassword(pieces[5]);
    }
    return true;
}

namespace {

bool ParseTcp(CKelvo& k, std::u16string_view text) {
    const auto items = Tokenize(text, u"/,");
    if (items.size() != 3 && items.size() != 4)
        return false;
    k.tcpMode = 1;
    k.serialMode = 0;
    k.host = items[0];
    k.connectTimeout = ReadDecimal(items[2]);
    k.sslMode = items.size() == 4 && SameKeyword(items[3], u"SSL") ? 1 : 0;
    return true;
}

bool ParseSerial(CKelvo& k, std::u16string_view text) {
    const auto items = Tokenize(text, u",");
    if (items.empty())
        return false;
    k.serialMode = 1;
    k.tcpMode = 0;
    k.port = ReadDecimal(items[0]);
    const int baud = items.size() > 1 ? ReadDecimal(items[1]) : 921600;
    if (k.port < 1 || k.port > 256 || baud != 921600)
        return false;
    k.baudRate = 921600;
    return true;
}

} // namespace

bool ParseTransportPart(CKelvo& k, std::u16string_view text) {
    const auto pieces = Tokenize(text, u":");
    if (pieces.size() != 2)
        return false;
    if (SameKeyword(pieces[0], u"TCPIP"))
        return ParseTcp(k, pieces[1]);
    if (SameKeyword(pieces[0], u"COM"))
        return ParseSerial(k, pieces[1]);
    return false;
}

namespace {
std::u16string Number(long long v) {
    return Utf8ToUtf16(std::to_string(v));
}
} // namespace

std::u16string BuildDevicePart(const CKelvo& k) {
    std::u16string text =
        u"Kelvo:" + Number(k.address) + u"," + Number(k.timeOut) + u"," + Number(k.canNode);
    if (!k.userName.empty() && !k.password.empty())
        text += u"," + k.userName + u"," + ScramblePassword(k.password);
    return text;
}

std::u16string BuildTransportText(const CKelvo& k) {
    if (k.tcpMode) {
        std::u16string text =
            u"TCPIP:" + k.host + (k.sslMode ? u"/17222," : u"/17221,") + Number(k.connectTimeout);
        if (k.sslMode)
            text += u",SSL";
        return text;
    }
    if (k.sockMode)
        return u"SOCK:" + std::u16string(k.sockName.view()) + u"_COM," + Number(k.port) +
               u",921600,N,8,1";
    return u"COM:" + Number(k.port) + u",921600,N,8,1";
}

} // namespace kelvo

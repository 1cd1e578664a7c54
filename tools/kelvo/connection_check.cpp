#include "connection_check.h"

#include "commands.h"
#include "device/connection_text.h"
#include "kelvo/automation.h"

namespace kelvo::tool {
namespace {

using Pieces = std::vector<std::u16string_view>;

constexpr char kDeviceForm[] = " (Kelvo:address,time-out,node[,user,password])";
constexpr char kTcpForm[] = " (TCPIP:host/port,time-out[,SSL])";
constexpr char kComForm[] = " (COM:port[,921600])";

// The findings of one part: its first refusal and its warnings.
struct Findings {
    std::string refusal;
    std::vector<std::string> warnings;
};

std::string Text(std::u16string_view text) {
    return Utf16ToUtf8(text);
}

std::string Quoted(std::u16string_view part) {
    return "'" + Text(part) + "': ";
}

// A plain decimal number: what ReadDecimal reads is the whole item.
bool IsPlainNumber(std::u16string_view item) {
    std::size_t i = item.starts_with(u'-') || item.starts_with(u'+') ? 1 : 0;
    if (i == item.size())
        return false;
    for (; i < item.size(); ++i) {
        if (item[i] < u'0' || item[i] > u'9')
            return false;
    }
    return true;
}

// A number item that reads as something else than it says.
void CheckNumber(std::u16string_view part, std::u16string_view item, const char* what,
                 Findings& out) {
    if (!IsPlainNumber(item))
        out.warnings.push_back(Quoted(part) + "the " + what + " '" + Text(item) + "' is read as " +
                               std::to_string(ReadDecimal(item)));
}

// `serial`: the transport part names a serial link, where the address matters.
Findings CheckDevicePart(std::u16string_view part, bool serial, ConnectionCheck& check) {
    Findings out;
    const Pieces p = Tokenize(part, u":,");
    if (p.empty() || !SameKeyword(p[0], u"Kelvo")) {
        out.refusal = Quoted(part) + "the device part must start with 'Kelvo:'" + kDeviceForm;
        return out;
    }
    if (p.size() < 2) {
        out.refusal = Quoted(part) + "the address is missing after 'Kelvo:'" + kDeviceForm;
        return out;
    }
    if (serial && ReadDecimal(p[1]) != 255)
        out.warnings.push_back(Quoted(part) + "the address item is not read: 255 is used, so "
                                              "the answer's bus address is not checked");
    if (p.size() > 2)
        CheckNumber(part, p[2], "time-out", out);
    if (p.size() > 3) {
        CheckNumber(part, p[3], "node", out);
        const int node = ReadDecimal(p[3]);
        if (node < 0 || node > 255)
            out.warnings.push_back(Quoted(part) + "the node " + std::to_string(node) +
                                   " is cut to 8 bits: " + std::to_string(node & 0xFF) +
                                   " is used");
    }
    if (p.size() == 5)
        out.warnings.push_back(Quoted(part) + "the user '" + Text(p[4]) +
                               "' is ignored: a user needs its scrambled password as the next "
                               "item (or use --user)");
    if (p.size() >= 6) {
        check.user = Text(p[4]);
        check.passwordItem = Text(p[5]);
    }
    if (p.size() > 6)
        out.warnings.push_back(Quoted(part) + "the items after the password are ignored");
    return out;
}

// Empty items vanish in the tokenizer, so the items after one move up. `text`
// is a piece of the tokenizer: never empty.
bool HasEmptyItem(std::u16string_view text, std::u16string_view separators) {
    if (separators.find(text.front()) != std::u16string_view::npos ||
        separators.find(text.back()) != std::u16string_view::npos)
        return true;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (separators.find(text[i]) != std::u16string_view::npos &&
            separators.find(text[i - 1]) != std::u16string_view::npos)
            return true;
    }
    return false;
}

void CheckTcp(std::u16string_view part, std::u16string_view items, Findings& out) {
    const Pieces p = Tokenize(items, u"/,");
    if (p.size() > 4) {
        out.refusal = Quoted(part) + "there are " + std::to_string(p.size()) +
                      " items, at most 4 are taken" + kTcpForm;
        return;
    }
    if (p.size() < 3) {
        const char* missing =
            items.empty() || items[0] == u'/' || items[0] == u',' ? "the host is missing"
            : items.find(u'/') == std::u16string_view::npos       ? "the port is missing"
            : p.size() == 2 ? "the connection time-out is missing"
                            : "the port and the connection time-out are missing";
        out.refusal = Quoted(part) + missing + kTcpForm;
        return;
    }
    const bool ssl = p.size() == 4 && SameKeyword(p[3], u"SSL");
    if (HasEmptyItem(items, u"/,"))
        out.warnings.push_back(Quoted(part) + "empty items are dropped: '" + Text(p[0]) +
                               "' is read as the host, '" + Text(p[1]) + "' as the port and '" +
                               Text(p[2]) + "' as the connection time-out");
    if (ReadDecimal(p[1]) != (ssl ? 17222 : 17221))
        out.warnings.push_back(Quoted(part) + "the port item is ignored: 17221 is used (17222 "
                                              "with SSL)");
    CheckNumber(part, p[2], "connection time-out", out);
    if (p.size() == 4 && !ssl)
        out.warnings.push_back(Quoted(part) + "the unknown option '" + Text(p[3]) +
                               "' is dropped: the link is not encrypted (SSL is the only option)");
}

void CheckCom(std::u16string_view part, std::u16string_view items, Findings& out) {
    const Pieces p = Tokenize(items, u",");
    if (p.empty()) {
        out.refusal = Quoted(part) + "the port number is missing" + kComForm;
        return;
    }
    const int port = ReadDecimal(p[0]);
    if (port < 1 || port > 256) {
        out.refusal =
            Quoted(part) + "the port number must be 1 to 256" +
            (IsPlainNumber(p[0]) ? ""
                                 : " ('" + Text(p[0]) + "' reads as " + std::to_string(port) + ")");
        return;
    }
    if (p.size() > 1 && ReadDecimal(p[1]) != 921600) {
        out.refusal = Quoted(part) + "the baud rate must be 921600";
        return;
    }
    CheckNumber(part, p[0], "port number", out);
    const bool n81 = (p.size() < 3 || SameKeyword(p[2], u"N")) &&
                     (p.size() < 4 || ReadDecimal(p[3]) == 8) &&
                     (p.size() < 5 || ReadDecimal(p[4]) == 1);
    if (!n81)
        out.warnings.push_back(Quoted(part) +
                               "parity, data bits and stop bits are not read: N,8,1 is used");
    if (p.size() > 5)
        out.warnings.push_back(Quoted(part) + "the items after the stop bits are ignored");
}

Findings CheckTransportPart(std::u16string_view part) {
    Findings out;
    const Pieces p = Tokenize(part, u":");
    if (!p.empty() && SameKeyword(p[0], u"Kelvo")) {
        out.refusal = Quoted(part) + "the transport part is missing after the device part "
                                     "(Kelvo:...#TCPIP:host/port,time-out or Kelvo:...#COM:port)";
    } else if (p.size() == 1 && SameKeyword(p[0], u"TCPIP")) {
        out.refusal =
            Quoted(part) + "the host, port and connection time-out are missing" + kTcpForm;
    } else if (p.size() == 1 && SameKeyword(p[0], u"COM")) {
        out.refusal = Quoted(part) + "the port number is missing" + kComForm;
    } else if (p.size() != 2) {
        out.refusal = Quoted(part) +
                      (p.size() > 2 ? "there is more than one ':'" : "no link kind") +
                      "; a transport part reads TCPIP:host/port,time-out[,SSL] or COM:port";
    } else if (SameKeyword(p[0], u"TCPIP")) {
        CheckTcp(part, p[1], out);
    } else if (SameKeyword(p[0], u"COM")) {
        CheckCom(part, p[1], out);
    } else if (SameKeyword(p[0], u"SOCK")) {
        out.refusal = Quoted(part) + "SOCK links are not taken from a connection text; use TCPIP "
                                     "or COM";
    } else {
        out.refusal = Quoted(part) + "the link kind '" + Text(p[0]) + "' is unknown: TCPIP or COM";
    }
    return out;
}

// Findings of a part into the check: for ConfString a refusal is one more
// warning, since the part is then only left out.
bool Take(Findings findings, TextUse use, ConnectionCheck& check) {
    check.warnings.insert(check.warnings.end(), findings.warnings.begin(), findings.warnings.end());
    if (findings.refusal.empty())
        return true;
    if (use == TextUse::ConfString) {
        check.warnings.push_back(findings.refusal + "; what follows in this part is ignored");
        return true;
    }
    check.refusal = std::move(findings.refusal);
    return false;
}

} // namespace

ConnectionCheck CheckConnectionText(std::string_view text, TextUse use) {
    ConnectionCheck check;
    const std::u16string wide = Utf8ToUtf16(text);
    const Pieces pieces = Tokenize(wide, u"#");
    if (pieces.empty()) {
        if (use == TextUse::Init)
            check.refusal = "'" + std::string(text) + "': the transport part is missing";
        return check;
    }
    if (pieces.size() > 2) {
        if (use == TextUse::Init) {
            check.refusal = "'" + std::string(text) +
                            "': a connection text holds at most one '#' (device part#transport "
                            "part)";
            return check;
        }
        check.warnings.push_back("'" + std::string(text) +
                                 "': the pieces after the second '#' are ignored");
    }
    const std::u16string_view transport = pieces.size() >= 2 ? pieces[1] : pieces[0];
    const Pieces kind = Tokenize(transport, u":");
    const bool serial = !kind.empty() && SameKeyword(kind[0], u"COM");
    if (pieces.size() >= 2 && !Take(CheckDevicePart(pieces[0], serial, check), use, check))
        return check;
    Take(CheckTransportPart(transport), use, check);
    return check;
}

void WarnConfString(Tool& tool, const std::string& text) {
    const ConnectionCheck check = CheckConnectionText(text, TextUse::ConfString);
    tool.secrets().AddScrambled(check.passwordItem);
    for (const std::string& warning : check.warnings)
        tool.Warn(warning);
}

bool LooksScrambled(std::string_view item) {
    return !item.empty() && item.size() % 2 == 0 &&
           item.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

} // namespace kelvo::tool

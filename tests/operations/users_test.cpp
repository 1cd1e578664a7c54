// User administration on the scripted transport, beyond the request and
// failure tables of exchanges_test.cpp: the echo of the login user, how
// counted texts wrap and how permission elements become bits.
#include "operations/answers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// ------------------------------------------------------- the login user echo

TEST(ChangePasswordUser, ChecksAnEchoedNameAgainstTheLoginUser) {
    // (login user, echo, error code)
    const std::tuple<std::u16string, Bytes, int> cases[] = {
        {u"admin", {0}, 0}, // an empty echo goes with any user
        {u"", {0}, 0},
        {u"admin", Counted("admin"), 0},
        {u"admin", Counted("admiN"), 11},
        {u"admin", Counted("adm"), 11},
        {u"", Counted("x"), 11},
        {u"\U0001F600", Counted("??"), 0}, // two code units, one "?" filled up
        {u"\U0001F600", Counted("?"), 11},
    };
    for (const auto& [userName, echo, code] : cases) {
        SCOPED_TRACE(Hex(echo));
        ConnectedKelvo c(true, 3);
        c.kelvo->userName = userName;
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x3020, echo)));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->ChangePasswordUser(Bstr(u"o").get(), Bstr(u"n").get()),
                  code ? E_FAIL : S_OK);
        EXPECT_EQ(c.kelvo->errorCode, code);
        if (code == 11) {
            EXPECT_EQ(trace.lines.back(), "CKelvo::ChangePasswordUser fail 6");
            EXPECT_EQ(c.transport->Count("Read 2"), 0); // no CRC read
        }
    }
}

// ---------------------------------------------------------------- limits

// Counted texts are sent as written, never refused: the length byte is the
// number of UTF-16 code units modulo 256 (a character outside the BMP counts
// two), the text that many bytes of the code-page conversion (filled with "?"
// when it is shorter, cut when it is longer), and the frame length byte keeps
// its low 8 bits. The device echoes the first text so.
TEST(CountedTexts, LengthBytesWrapAndTextsFollowThem) {
    using Call = std::function<HRESULT(CKelvo*)>;
    const auto create = [](std::u16string first, std::u16string second) -> Call {
        return [=](CKelvo* k) { return k->CreateUser(Bstr(first).get(), Bstr(second).get()); };
    };
    const auto set = [](std::size_t l) -> Call {
        return [=](CKelvo* k) {
            VariantArray bits(1);
            return k->SetPermissionsAndRole(Bstr(std::u16string(l, u'n')).get(), 0, bits.get());
        };
    };
    const std::u16string n126(126, u'n');
    // (case, call, success word, text bytes of the first text, frame size)
    const std::tuple<const char*, Call, std::uint16_t, std::string, std::size_t> cases[] = {
        {"two texts of 252 bytes", create(n126, n126), 0x3040, std::string(126, 'n'), 260},
        {"a name of 256", create(std::u16string(256, u'n'), u"p"), 0x3040, "", 9},
        {"SetPermissionsAndRole 244", set(244), 0x3070, std::string(244, 'n'), 260},
    };
    for (const auto& [name, call, word, text, frame] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, word, Counted(text)));
        EXPECT_EQ(call(c.kelvo), S_OK);
        EXPECT_EQ(c.kelvo->errorCode, 0);
        ASSERT_EQ(c.transport->writes.size(), 1u);
        const Bytes& w = c.transport->writes[0];
        ASSERT_EQ(w.size(), frame);
        EXPECT_EQ(w[3], (frame - 4) % 256);
        EXPECT_EQ(w[6], text.size());
        EXPECT_EQ(std::string(w.begin() + 7, w.begin() + 7 + static_cast<long>(text.size())), text);
    }
    // A longer conversion is cut after the length byte's count of bytes.
    SetThreadCodePage(CodePage::Utf8);
    ConnectedKelvo c;
    c.transport->Answer(AnswerFrame(0, 0x3050, Counted("\xC3\xA4")));
    EXPECT_EQ(c.kelvo->DeleteUser(Bstr(u"\u00e4\u00e4").get()), S_OK);
    SetThreadCodePage(CodePage::Windows1252);
    EXPECT_EQ(Hex(c.transport->writes.at(0)), "00 00 00 05 05 30 02 c3 a4");
}

// ---------------------------------------------------------------- permissions

std::string PermissionWords(const Bytes& frame) {
    // [header 6][counted name][role][low 4][high 4]
    const std::size_t at = 6 + 1 + frame[6] + 1;
    char text[32];
    std::snprintf(text, sizeof text, "%08x %08x", ldle_u32(&frame[at]), ldle_u32(&frame[at + 4]));
    return text;
}

TEST(SetPermissionsAndRole, ElementIStandsForBitI) {
    // One letter per element: T, F VT_BOOL true and false, b VT_BOOL 1,
    // I VT_I4 1, '.' VT_EMPTY.
    const std::pair<std::string, const char*> cases[] = {
        {"TFT", "00000005 00000000"},
        {std::string(70, 'T'), "ffffffff ffffffff"},
        {"IT", "00000002 00000000"},                       // only VT_BOOL elements set their bit
        {std::string(40, '.') + "b", "00000000 00000100"}, // any non-zero VT_BOOL counts
        {"", "00000000 00000000"},
    };
    for (const auto& [elements, words] : cases) {
        SCOPED_TRACE(elements);
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x3070, Counted("op")));
        VariantArray bits(elements.size());
        for (std::size_t i = 0; i < elements.size(); ++i) {
            VARIANT& e = bits.at(i);
            if (elements[i] == 'I') {
                e.vt = VT_I4;
                e.lVal = 1;
            } else if (elements[i] != '.') {
                e.vt = VT_BOOL;
                e.boolVal = elements[i] == 'T' ? VARIANT_TRUE : elements[i] == 'b' ? 1 : 0;
            }
        }
        EXPECT_EQ(c.kelvo->SetPermissionsAndRole(Bstr(u"op").get(), 2, bits.get()), S_OK);
        EXPECT_EQ(PermissionWords(c.transport->writes.at(0)), words);
    }
}

} // namespace
} // namespace kelvo::test

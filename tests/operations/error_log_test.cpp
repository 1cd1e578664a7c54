// ReadErrorLog on the scripted transport: the multi-frame download byte for
// byte, its numbered failures, and the decoding into real XML files in a
// temporary folder, read back with pugixml and checked with xmllint.
#include "operations/answers.h"
#include "support/run_program.h"
#include "support/temp_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kData = 0x04B0;
constexpr std::uint16_t kError = 0x04B1;

// Header bytes 6-8 (index echo, one byte not examined) and what follows.
Bytes AfterStatus(std::uint16_t index, const Bytes& rest) {
    return Concat({static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8), 0xEE},
                  rest);
}

Bytes DataFrame(std::uint16_t counter, std::uint16_t index, bool more, const Bytes& data) {
    Bytes rest{static_cast<std::uint8_t>(more ? 1 : 0), static_cast<std::uint8_t>(data.size())};
    return AnswerFrame(counter, kData, AfterStatus(index, Concat(rest, data)));
}

Bytes ErrorFrame(std::uint16_t counter, std::uint16_t index, std::uint32_t code) {
    return AnswerFrame(counter, kError, AfterStatus(index, DeviceError(code)));
}

// A record of the given version and field bytes (from record byte 8 on); byte
// 4 is not interpreted.
Bytes Record(std::uint32_t version, const Bytes& fields) {
    return Concat(Concat(Le32(version), {0x99, 0, 0, 0}), fields);
}

// A description document with one Group holding the given (offset, type) fields.
std::string Description(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string xml = "<?xml version=\"1.0\"?>\n<Record>\n <Group name=\"g\">\n";
    for (const auto& [offset, type] : fields)
        xml += "  <Element><Offset>" + offset + "</Offset><DataType>" + type +
               "</DataType></Element>\n";
    return xml + " </Group>\n</Record>\n";
}

// A folder of this test's own for descriptions and outputs.
class ErrorLogTest : public ::testing::Test {
protected:
    // The description of version 26, by default in this folder.
    void WriteDescription(const std::string& xml, fs::path folder = {}) {
        std::ofstream((folder.empty() ? dir_ : folder) / "FPR_Version_0000001a.xml") << xml;
    }
    std::string Out() const { return (dir_ / "out.xml").string(); }

    // Calls ReadErrorLog with the output file and description folder, by default
    // Out() and this folder.
    HRESULT Read(CKelvo* k, std::uint16_t index, std::string out = {}, std::string parser = {}) {
        Bstr file(Utf8ToUtf16(out.empty() ? Out() : out));
        Bstr folder(Utf8ToUtf16(parser.empty() ? dir_.string() : parser));
        return k->ReadErrorLog(index, file.get(), folder.get());
    }

    // The `value` attributes of the output file, in document order.
    std::vector<std::string> Values() const {
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(Out().c_str()));
        std::vector<std::string> values;
        for (const pugi::xpath_node& n : doc.document_element().select_nodes("Group/Element"))
            values.emplace_back(n.node().attribute("value").value());
        return values;
    }

    TempFolder folder_{"errorlog"};
    const fs::path dir_ = folder_.path();
};

// ---------------------------------------------------------------- download

TEST_F(ErrorLogTest, OneFrameRecordIsDecodedAtOnce) {
    WriteDescription(Description({{"0", "unsignedShort"}, {"2", "char"}}));
    ConnectedKelvo c;
    c.kelvo->canNode = 3;
    c.kelvo->errorCode = 5;
    c.transport->Answer(DataFrame(0, 0x0102, false, Record(26, {0x34, 0x12, 0xFE})));
    TraceCapture trace;
    EXPECT_EQ(Read(c.kelvo, 0x0102), S_OK);
    EXPECT_EQ(c.kelvo->errorCode, 0);
    EXPECT_THAT(trace.lines, ::testing::ElementsAre("CKelvo::ReadErrorLog (index:258 )"));
    EXPECT_THAT(c.transport->calls,
                ::testing::ElementsAre("Lock", "Reset", "Write 03 00 00 05 0b 04 02 01 01", "Flush",
                                       "Read 9 10000", "Read 1 10000", "Read 1 10000",
                                       "Read 11 10000", "Unlock"));
    EXPECT_THAT(Values(), ::testing::ElementsAre("4660", "-2"));
}

TEST_F(ErrorLogTest, ThreeFramesAreAskedOneByOneAndJoinedInOrder) {
    WriteDescription(Description({{"0", "unsignedInt"}, {"4", "unsignedInt"}}));
    const Bytes record = Record(26, {1, 0, 0, 0, 2, 0, 0, 0});
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        ConnectedKelvo c(serial, 5);
        const std::ptrdiff_t cuts[] = {0, 5, 11, std::ssize(record)};
        for (std::uint16_t i = 0; i < 3; ++i)
            c.transport->Answer(c.Wire(DataFrame(
                i, 7, i < 2, Bytes(record.begin() + cuts[i], record.begin() + cuts[i + 1]))));
        std::vector<std::pair<int, std::size_t>> progress;
        c.kelvo->downloadProgress = [&](int frame, std::size_t bytes) {
            progress.emplace_back(frame, bytes);
        };
        EXPECT_EQ(Read(c.kelvo, 7), S_OK);
        EXPECT_EQ(progress, (std::vector<std::pair<int, std::size_t>>{{1, 5}, {2, 11}, {3, 16}}));
        ASSERT_EQ(c.transport->writes.size(), 3u);
        for (std::uint8_t i = 0; i < 3; ++i) {
            const Bytes expected{0, i, 0, 5, 0x0b, 0x04, 7, 0, static_cast<std::uint8_t>(i + 1)};
            EXPECT_EQ(Hex(c.transport->writes[i]),
                      Hex(serial ? SerialWrap(5, expected) : expected));
        }
        // The lock is re-entered for each further frame and released once.
        EXPECT_EQ(c.transport->Count("Lock"), 3);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
        EXPECT_EQ(c.transport->calls.back(), "Unlock");
        EXPECT_THAT(Values(), ::testing::ElementsAre("1", "2"));
    }
}

// An empty frame with the more flag asks for the next; an unexpected status
// word repeats the frame with a new counter.
TEST_F(ErrorLogTest, EmptyFramesAndUnexpectedStatusAskAgain) {
    WriteDescription(Description({{"0", "boolean"}}));
    ConnectedKelvo c;
    c.transport->Answer(DataFrame(0, 4, true, {}));
    c.transport->Answer(DataFrame(1, 4, true, Record(26, {})));
    // Status words of neither kind, with and without data behind them.
    c.transport->Answer(AnswerFrame(2, 0x04B2, AfterStatus(4, {1, 1, 1})));
    c.transport->Answer(AnswerFrame(3, 0x0000, AfterStatus(4, {})));
    c.transport->Answer(DataFrame(4, 4, false, {0}));
    EXPECT_EQ(Read(c.kelvo, 4), S_OK);
    ASSERT_EQ(c.transport->writes.size(), 5u);
    const int frames[] = {1, 2, 3, 3, 3};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ldle_u16(&c.transport->writes[i][1]), i);
        EXPECT_EQ(c.transport->writes[i][8], frames[i]);
    }
    EXPECT_THAT(Values(), ::testing::ElementsAre("false"));
}

// The steps of the download that are its own; every read of a download meets
// silence, a wrong counter, a device error, a bad CRC and a wrong address
// from kelvo-sim in the fault matrix (Tcp_ReadErrorLog, Serial_ReadErrorLog).
// The frames of a script, one after the other.
Script Frames(std::vector<Bytes> frames) {
    return [frames](ConnectedKelvo& c) {
        for (const Bytes& frame : frames)
            Reply(frame)(c);
    };
}

TEST_F(ErrorLogTest, DownloadFailureSetsCodeTracesAndUnlocksOnce) {
    WriteDescription(Description({}));
    const Call read = [this](CKelvo* k) {
        const HRESULT hr = Read(k, 9);
        EXPECT_FALSE(fs::exists(Out()));
        return hr;
    };
    const std::string fail = "CKelvo::ReadErrorLog fail ";
    const Bytes spoiled = Flip(SerialWrap(5, ErrorFrame(0, 9, 0x0D0D0D0D)), 1, 0x80);
    // clang-format off
    const FailureRow rows[] = {
        {"WrongIndexEcho", false, read,
         Reply(DataFrame(0, 10, false, Record(26, {}))), 9, fail + "5 (index 10 9)"},
        {"WrongIndexEchoOnFrame2", true, read,
         Frames({DataFrame(0, 9, true, Record(26, {})), DataFrame(1, 0x0109, false, {})}),
         9, fail + "5 (index 265 9)", 77, 2},
        {"ErrorCrcMismatch", true, read, Raw(spoiled), 13,
         "CKelvo::ReadErrorLog 9 " + CrcPair(spoiled)},
        {"SerialDeviceErrorOnFrame3", true, read,
         Frames({DataFrame(0, 9, true, {1}), DataFrame(1, 9, true, {2}), ErrorFrame(2, 9, 5)}),
         1, fail + "10 (error code: 5)", 5, 3},
    };
    // clang-format on
    ExpectFailures(rows);
}

// The output is the description with the value attribute of each field set
// (replaced where there was one); everything else is kept as it was. An
// Element outside a Group is no field.
TEST_F(ErrorLogTest, OutputIsTheDescriptionWithTheValuesSet) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<!-- drive error record -->\n"
        "<Log kind=\"drive\">\n"
        "  <Title lang=\"en\">Error record &amp; more</Title>\n"
        "  <Group><Note>no elements</Note></Group>\n"
        "  <Element><Offset>0</Offset><DataType>int</DataType></Element>\n"
        "  <Group id=\"1\"><Element name=\"a\" value=\"old\" unit=\"V\"><Offset>0</Offset>"
        "<DataType>short</DataType><Note>x</Note></Element></Group>\n"
        "  <Group><Element><Offset>2</Offset><DataType>boolean</DataType></Element></Group>\n"
        "</Log>\n";
    WriteDescription(xml);
    ConnectedKelvo c;
    c.transport->Answer(DataFrame(0, 0, false, Record(26, {0x10, 0x00, 0x01})));
    ASSERT_EQ(Read(c.kelvo, 0), S_OK);
    EXPECT_THAT(Values(), ::testing::ElementsAre("16", "true"));
    pugi::xml_document original, saved;
    ASSERT_TRUE(original.load_string(xml.c_str(), pugi::parse_default | pugi::parse_comments));
    ASSERT_TRUE(saved.load_file(Out().c_str(), pugi::parse_default | pugi::parse_comments));
    std::ostringstream a, b;
    for (auto [doc, text] : {std::pair{&original, &a}, std::pair{&saved, &b}}) {
        for (const pugi::xpath_node& n : doc->select_nodes("/Log/Group/Element"))
            n.node().remove_attribute("value");
        doc->save(*text, "", pugi::format_raw | pugi::format_no_declaration);
    }
    EXPECT_EQ(a.str(), b.str());
    // Saved as UTF-8 with a declaration.
    std::ifstream in(Out());
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.rfind("<?xml version=\"1.0\"", 0), 0u) << first;
}

// ---------------------------------------------------------------- decoding

// The description of version 26 (in the description folder given, by
// default the test folder) applied to the record: the values written, or a
// failure traced with no output file left. Records and descriptions that
// cannot be used and outputs that cannot be written fail so too.
TEST_F(ErrorLogTest, DecodeWritesTheValuesOrFailsWithoutOutput) {
    struct Case {
        const char* name;
        std::string description;
        Bytes record;
        std::string result; // the value, or the failure trace after "CKelvo::ReadErrorLog "
        int code = 14;
        std::string out = "";    // empty: Out()
        std::string parser = ""; // empty: the test folder
    };
    const auto Field = [](std::string offset, std::string type) {
        return Description({{offset, type}});
    };
    const std::string longPath = dir_.string() + "/" + std::string(260, 'p');
    // dir + "/" + pad + "/FPR_Version_0000001a.xml" (25 characters) = 259.
    const std::string path259 =
        dir_.string() + "/" + std::string(259 - 25 - dir_.string().size() - 1, 'q');
    const std::string noDocument =
        "fail 17 (could not load document " + (dir_ / "FPR_Version_0000001a.xml").string() + ")";
    const std::string unwritable = (dir_ / "missing" / "out.xml").string();
    const std::string noOffset =
        "<R><Group><Element><DataType>int</DataType></Element></Group></R>";
    const std::string secondNoType =
        "<R><Group><Element><Offset>0</Offset><DataType>char</DataType></Element>"
        "<Element><Offset>0</Offset></Element></Group></R>";
    // clang-format off
    const Case cases[] = {
    {"CharIsSigned", Field("0", "char"), Record(26, {0xFF}), "-1"},
    {"UnsignedChar", Field("0", "unsignedChar"), Record(26, {0xFF}), "255"},
    {"Short", Field("0", "short"), Record(26, {0x00, 0x80}), "-32768"},
    {"UnsignedShort", Field("0", "unsignedShort"), Record(26, {0xFF, 0xFF}), "65535"},
    {"Int", Field("0", "int"), Record(26, {0xFE, 0xFF, 0xFF, 0xFF}), "-2"},
    {"UnsignedInt", Field("0", "unsignedInt"), Record(26, {0xFF, 0xFF, 0xFF, 0xFF}), "4294967295"},
    {"Float", Field("0", "float"), Record(26, F32(36.6f)), "36.6"},
    {"FloatNaN", Field("0", "float"), Record(26, {0, 0, 0xC0, 0x7F}), "NaN"},
    {"FloatNegativeInfinity", Field("0", "float"), Record(26, {0, 0, 0x80, 0xFF}), "-INF"},
    {"Long", Field("0", "long"), Record(26, {0, 0, 0, 0, 0, 0, 0, 0x80}), "-9223372036854775808"},
    {"UnsignedLong", Field("0", "unsignedLong"),
     Record(26, Bytes(8, 0xFF)), "18446744073709551615"},
    {"Double", Field("0", "double"), Record(26, F64(0.1)), "0.1"},
    {"StringEndsAtZero", Field("0", "string 8"),
     Record(26, {0x41, 0x42, 0x00, 0x43, 0x44, 0x45, 0x46, 0x47}), "AB"},
    {"StringFillsItsCount", Field("0", "string 3"), Record(26, {0x41, 0x42, 0x43, 0x44}), "ABC"},
    {"StringFromWindows1252", Field("0", "string 4"),
     Record(26, {0x80, 0xE9, 0, 0}), "\xE2\x82\xAC\xC3\xA9"},
    {"StringOfCountZero", Field("0", "string 0"), Record(26, {}), ""},
    // Characters XML 1.0 cannot hold become "?"; tab and line feed stay.
    {"StringControlCharacters", Field("0", "string 6"),
     Record(26, {0x01, 0x09, 0x1F, 0x0A, 0x0B, 0x41}), "?\t?\n?A"},
    {"OffsetWithBlanksAndTrailingText",
     Field("  +2xyz", "unsignedChar"), Record(26, {1, 2, 3}), "3"},
    {"OffsetWithoutDigitsIsZero", Field("abc", "unsignedChar"), Record(26, {7}), "7"},
    {"NegativeOffsetReachesTheHeader", Field("-8", "unsignedInt"), Record(26, {}), "26"},
    {"OffsetWrapsAt65536", Field("65528", "unsignedChar"), Record(26, {}), "26"},
    {"TypeTextIsTrimmed", Field("0", "\n   unsignedChar  "), Record(26, {9}), "9"},
    {"UnsignedIntPastTheEnd", Field("0", "unsignedInt"),
     Record(26, {1, 2, 3}), "fail 18 (bad offset+size 8 4)"},
    {"StringPastTheEnd", Field("1", "string 4"),
     Record(26, {1, 2, 3, 4}), "fail 18 (bad offset+size 9 4)"},
    {"UnknownTypeInRange", Field("0", "word"), Record(26, {1, 2}), "fail 19 (unknown type word)"},
    {"UnknownTypePastTheEnd", Field("3", "word"),
     Record(26, {1, 2}), "fail 18 (bad offset+size 11 0)"},
    {"StringWithoutBlankIsNoType", Field("0", "string2"),
     Record(26, {1, 2}), "fail 19 (unknown type string2)"},
    {"StringCountAbove255IsNoType", Field("0", "string 256"),
     Record(26, {1, 2}), "fail 19 (unknown type string 256)"},
    {"TypeNamesAreCaseSensitive", Field("0", "Float"),
     Record(26, {1, 2, 3, 4}), "fail 19 (unknown type Float)"},

        {"VersionSelectsItsDescription", Field("0", "char"), Record(0x1b, {5}),
         "fail 17 (could not load document " + (dir_ / "FPR_Version_0000001b.xml").string() + ")"},
        {"RecordShorterThanFour", Description({}),
         {0x1a, 0, 0}, "fail 21 (record too short 3)", 10},
        {"NoDocumentElement", "<!-- nothing -->", Record(26, {}), noDocument},
        {"NotXml", "<a><b></a>", Record(26, {}), noDocument},
        {"MissingOffset", noOffset, Record(26, {0, 0, 0, 0}),
         "fail 24 (field 1 without Offset or DataType)"},
        {"SecondFieldWithoutDataType", secondNoType, Record(26, {0}),
         "fail 24 (field 2 without Offset or DataType)"},
        {"ParserPathTooLong", Description({}), Record(26, {}),
         "fail 22 (description path too long " + std::to_string(longPath.size() + 25) + ")",
         14, "", longPath},
        {"ParserPathOf259", Field("0", "char"), Record(26, {0x7F}), "127", 14, "", path259},
        {"UnwritableOutput", Field("0", "char"), Record(26, {1}),
         "fail 20 (could not load document " + unwritable + ")", 14, unwritable},
    };
    // clang-format on
    for (const Case& dc : cases) {
        SCOPED_TRACE(dc.name);
        std::error_code ignored; // a name too long for the file system stays missing
        fs::create_directories(dc.parser.empty() ? dir_ : fs::path(dc.parser), ignored);
        WriteDescription(dc.description, dc.parser);
        ConnectedKelvo c;
        c.transport->Answer(DataFrame(0, 0, false, dc.record));
        TraceCapture trace;
        const HRESULT hr = Read(c.kelvo, 0, dc.out, dc.parser);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
        if (dc.result.starts_with("fail ")) {
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(c.kelvo->errorCode, dc.code);
            EXPECT_EQ(trace.lines.back(), "CKelvo::ReadErrorLog " + dc.result);
            EXPECT_FALSE(fs::exists(dc.out.empty() ? Out() : dc.out));
            continue;
        }
        ASSERT_EQ(hr, S_OK) << trace.lines.back();
        EXPECT_THAT(Values(), ::testing::ElementsAre(dc.result));
        // Well-formed for a parser of another make too.
        const ProgramOutcome lint = RunProgram({"/usr/bin/xmllint", "--noout", Out()});
        EXPECT_EQ(lint.status, 0) << Describe(lint);
        fs::remove(Out());
    }
}

} // namespace
} // namespace kelvo::test

// Error-log download: one entry of the device's error log is fetched frame by
// frame into a byte record, then decoded with the XML description that its
// version number selects and saved as the filled-in description document.
// The port lock is held for the whole call, decoding and saving included.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"
#include "protocol/crc16.h"

#include <pugixml.hpp>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <string_view>

using namespace kelvo;

namespace {

constexpr char16_t kPrefix[] = u"CKelvo::ReadErrorLog";
constexpr std::uint16_t kErrorLogCommand = 0x040B;
constexpr std::uint16_t kDataWord = 0x04B0;
constexpr std::uint16_t kErrorWord = 0x04B1;
constexpr std::size_t kAnswerHeader = 9;
constexpr std::size_t kMaxDescriptionPath = 259;
// Record bytes before the first field: version number and 4 bytes not interpreted.
constexpr unsigned kFieldBase = 8;

// ---------------------------------------------------------------- download

enum class FrameEnd { Last, More, Repeat };

std::vector<std::uint8_t> Request(CKelvo& k, std::uint16_t index, std::uint8_t frameNumber) {
    std::uint8_t payload[3];
    stle_u16(payload, index);
    payload[2] = frameNumber;
    return k.BuildRequest(kErrorLogCommand, payload);
}

// The answer after the error word: length byte (the device sends 4), 32-bit
// code, CRC trailer in serial mode. deviceStatus is set only once all is read.
int ReadErrorAnswer(AnswerSteps& steps) {
    std::uint8_t length = 0;
    if (int r = steps.Read(std::span(&length, 1), 6))
        return r;
    std::uint8_t code[4];
    if (int r = steps.Read(code, 7))
        return r;
    if (int r = steps.Crc(8, 9, u"%s %i (calculated CRC: %i,  response CRC: %i)"))
        return r;
    CKelvo& k = steps.object();
    k.deviceStatus = ldle_u32(code);
    Trace(TRACE_READ, u"%s fail 10 (error code: %i)", kPrefix, static_cast<int>(k.deviceStatus));
    return KE_DEVICE;
}

// One request and its answer. A data frame appends its bytes to the record;
// `end` tells whether more frames follow or the same frame is to be asked again.
int ExchangeFrame(CKelvo& k, std::span<const std::uint8_t> frame, std::uint16_t index,
                  std::vector<std::uint8_t>& record, FrameEnd& end) {
    if (!k.SendRequest(frame))
        return KE_SEND;
    AnswerSteps steps(k, kPrefix);
    if (int r = steps.Echo(1, 2))
        return r;
    std::uint8_t header[kAnswerHeader];
    if (!k.portAdapter->get(header, k.ReadTimeout(), kAnswerHeader)) {
        Trace(TRACE_READ, u"%s fail 3 (index %i)", kPrefix, static_cast<int>(index));
        return KE_TIMEOUT;
    }
    if (k.serialMode)
        steps.crc = Crc16(header, kAnswerHeader, steps.crc);
    if (int r = steps.Counter(header, ldle_u16(&frame[1]), 4))
        return r;
    const std::uint16_t echoed = ldle_u16(header + 6);
    if (echoed != index) {
        Trace(TRACE_READ, u"%s fail 5 (index %i %i)", kPrefix, static_cast<int>(echoed),
              static_cast<int>(index));
        return KE_INDEX;
    }

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == kErrorWord)
        return ReadErrorAnswer(steps);
    if (status != kDataWord) {
        // Asked again without limit; a device that stops answering ends the
        // call through the read time-outs.
        end = FrameEnd::Repeat;
        return KE_OK;
    }
    std::uint8_t more = 0;
    if (int r = steps.Read(std::span(&more, 1), 11))
        return r;
    std::uint8_t length = 0;
    if (int r = steps.Read(std::span(&length, 1), 12))
        return r;
    const std::size_t start = record.size();
    record.resize(start + length);
    if (int r = steps.Read(std::span(record).subspan(start), 13))
        return r;
    if (int r = steps.Crc(14, 15))
        return r;
    end = more ? FrameEnd::More : FrameEnd::Last;
    return KE_OK;
}

// ---------------------------------------------------------------- decoding

enum class FieldType {
    Char,
    UnsignedChar,
    Boolean,
    Short,
    UnsignedShort,
    Int,
    UnsignedInt,
    Float,
    Long,
    UnsignedLong,
    Double,
    String,
    Unknown,
};

struct TypeName {
    std::string_view name;
    FieldType type;
    unsigned size;
};

constexpr TypeName kTypeNames[] = {
    {"char", FieldType::Char, 1},
    {"unsignedChar", FieldType::UnsignedChar, 1},
    {"boolean", FieldType::Boolean, 1},
    {"short", FieldType::Short, 2},
    {"unsignedShort", FieldType::UnsignedShort, 2},
    {"int", FieldType::Int, 4},
    {"unsignedInt", FieldType::UnsignedInt, 4},
    {"float", FieldType::Float, 4},
    {"long", FieldType::Long, 8},
    {"unsignedLong", FieldType::UnsignedLong, 8},
    {"double", FieldType::Double, 8},
};

constexpr std::string_view kStringType = "string ";
constexpr int kMaxStringCount = 255;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal text to an integer as the C library's atoi reads it: leading blanks
// and a sign, digits up to the first other character, no digits give 0; out of
// range saturates.
int DecimalPrefix(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    constexpr long long kLimit = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit)
            value = kLimit;
    }
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(value < kLimit ? value : kLimit - 1);
}

struct FieldKind {
    FieldType type = FieldType::Unknown;
    unsigned size = 0; // 0 for a name that is no type
};

FieldKind KindOf(std::string_view name) {
    for (const TypeName& t : kTypeNames) {
        if (t.name == name)
            return {t.type, t.size};
    }
    if (name.substr(0, kStringType.size()) != kStringType)
        return {};
    // Counts outside 0..255 are not taken as a type name.
    const int count = DecimalPrefix(name.substr(kStringType.size()));
    if (count < 0 || count > kMaxStringCount)
        return {};
    return {FieldType::String, static_cast<unsigned>(count)};
}

// Shortest text that reads back to the same value; XML Schema names for the
// values that are no number.
template <class F> std::string FloatText(F value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc())
        return "NaN";
    return std::string(buffer, end);
}

// The text with every character that XML 1.0 cannot hold (control
// characters other than tab, line feed and carriage return, lone surrogates,
// U+FFFE and U+FFFF) written as "?", as a code page writes a character it
// cannot hold, so that the saved document is well-formed.
std::u16string XmlCharacters(std::u16string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i; // a pair: a character beyond the BMP
            continue;
        }
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD);
        if (!allowed)
            text[i] = u'?';
    }
    return text;
}

std::string ValueText(FieldType type, const std::uint8_t* p, unsigned size) {
    switch (type) {
    case FieldType::Char:
        return std::to_string(static_cast<std::int8_t>(p[0]));
    case FieldType::UnsignedChar:
        return std::to_string(p[0]);
    case FieldType::Boolean:
        return p[0] ? "true" : "false";
    case FieldType::Short:
        return std::to_string(static_cast<std::int16_t>(ldle_u16(p)));
    case FieldType::UnsignedShort:
        return std::to_string(ldle_u16(p));
    case FieldType::Int:
        return std::to_string(static_cast<std::int32_t>(ldle_u32(p)));
    case FieldType::UnsignedInt:
        return std::to_string(ldle_u32(p));
    case FieldType::Float:
        return FloatText(std::bit_cast<float>(ldle_u32(p)));
    case FieldType::Long:
        return std::to_string(static_cast<std::int64_t>(ldle_u64(p)));
    case FieldType::UnsignedLong:
        return std::to_string(ldle_u64(p));
    case FieldType::Double:
        return FloatText(std::bit_cast<double>(ldle_u64(p)));
    case FieldType::String: {
        // 8-bit text of the system's code page, ending at a zero byte.
        std::string_view bytes(reinterpret_cast<const char*>(p), size);
        bytes = bytes.substr(0, bytes.find('\0'));
        return Utf16ToUtf8(XmlCharacters(FromAnsi(bytes, CodePage::Windows1252)));
    }
    case FieldType::Unknown:
        break;
    }
    return {};
}

// All text below a node, without the surrounding blanks, as the text of an
// element reads in an XML document object.
class TextCollector : public pugi::xml_tree_walker {
public:
    std::string text;
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
        return true;
    }
};

std::string ElementText(const pugi::xml_node& element) {
    TextCollector collector;
    const_cast<pugi::xml_node&>(element).traverse(collector);
    std::string_view text = collector.text;
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

pugi::xml_node ChildElement(const pugi::xml_node& parent, const char* name) {
    for (pugi::xml_node child : parent.children(name)) {
        if (child.type() == pugi::node_element)
            return child;
    }
    return {};
}

class StringWriter : public pugi::xml_writer {
public:
    std::string bytes;
    void write(const void* data, size_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
};

// Writes the whole file or, on a failed write, removes what was begun.
bool WriteFile(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::remove(path.c_str());
    return ok;
}

// Sets the `value` attribute of one field element; returns an error code.
int DecodeField(const pugi::xml_node& element, int number, std::span<const std::uint8_t> record) {
    const pugi::xml_node offsetNode = ChildElement(element, "Offset");
    const pugi::xml_node typeNode = ChildElement(element, "DataType");
    if (element.type() != pugi::node_element || !offsetNode || !typeNode) {
        Trace(TRACE_READ, u"%s fail 24 (field %i without Offset or DataType)", kPrefix, number);
        return KE_DESCRIPTION;
    }
    const unsigned offset = static_cast<unsigned>(DecimalPrefix(ElementText(offsetNode)));
    const unsigned position = static_cast<std::uint16_t>(offset + kFieldBase);
    const std::string typeName = ElementText(typeNode);
    const FieldKind kind = KindOf(typeName);
    if (position + kind.size > record.size()) {
        Trace(TRACE_READ, u"%s fail 18 (bad offset+size %i %i)", kPrefix,
              static_cast<int>(position), static_cast<int>(kind.size));
        return KE_DESCRIPTION;
    }
    if (kind.type == FieldType::Unknown) {
        Trace(TRACE_READ, u"%s fail 19 (unknown type %s)", kPrefix, Utf8ToUtf16(typeName));
        return KE_DESCRIPTION;
    }
    const std::string text = ValueText(kind.type, record.data() + position, kind.size);
    pugi::xml_node target = element;
    pugi::xml_attribute value = target.attribute("value");
    if (!value)
        value = target.append_attribute("value");
    if (!value || !value.set_value(text.c_str())) {
        Trace(TRACE_READ, u"%s fail 25 (could not set value of field %i)", kPrefix, number);
        return KE_DESCRIPTION;
    }
    return KE_OK;
}

// Reads the description selected by the record's version number, sets the
// value of every field and saves the document under fileName. Nothing is
// written when any step fails.
int DecodeRecord(std::span<const std::uint8_t> record, std::u16string_view fileName,
                 std::u16string_view parserPath) {
    if (record.size() < 4) {
        Trace(TRACE_READ, u"%s fail 21 (record too short %i)", kPrefix,
              static_cast<int>(record.size()));
        return KE_LENGTH;
    }
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "/FPR_Version_%08x.xml", ldle_u32(record.data()));
    const std::u16string path = std::u16string(parserPath) + Utf8ToUtf16(leaf);
    if (path.size() > kMaxDescriptionPath) {
        Trace(TRACE_READ, u"%s fail 22 (description path too long %i)", kPrefix,
              static_cast<int>(path.size()));
        return KE_DESCRIPTION;
    }

    pugi::xml_document doc;
    constexpr unsigned kParse =
        pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype;
    if (!doc.load_file(Utf16ToUtf8(path).c_str(), kParse)) {
        Trace(TRACE_READ, u"%s fail 17 (could not load document %s)", kPrefix, path);
        return KE_DESCRIPTION;
    }
    const pugi::xml_node root = doc.document_element();
    if (!root) {
        Trace(TRACE_READ, u"%s fail 23 (no document element %s)", kPrefix, path);
        return KE_DESCRIPTION;
    }
    pugi::xpath_node_set fields = root.select_nodes("Group/Element");
    fields.sort(); // document order
    int number = 0;
    for (const pugi::xpath_node& field : fields) {
        if (int r = DecodeField(field.node(), ++number, record))
            return r;
    }

    StringWriter out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    if (!WriteFile(Utf16ToUtf8(fileName), out.bytes)) {
        Trace(TRACE_READ, u"%s fail 20 (could not load document %s)", kPrefix, fileName);
        return KE_DESCRIPTION;
    }
    return KE_OK;
}

int Decode(std::span<const std::uint8_t> record, std::u16string_view fileName,
           std::u16string_view parserPath) {
    try {
        return DecodeRecord(record, fileName, parserPath);
    } catch (const std::bad_alloc&) {
        // The document could not be built.
        Trace(TRACE_READ, u"%s fail 16 (error on creating xml doc instance)", kPrefix);
        return KE_DESCRIPTION;
    }
}

} // namespace

HRESULT CKelvo::ReadErrorLog(USHORT index, BSTR fileName, BSTR parserPath) {
    Trace(TRACE_READ, u"CKelvo::ReadErrorLog (index:%i )", static_cast<int>(index));
    errorCode = KE_OK;
    std::vector<std::uint8_t> record;
    std::uint8_t frameNumber = 1;
    std::vector<std::uint8_t> frame = Request(*this, index, frameNumber);
    PortLock lock(portAdapter.get());
    if (!lock.locked())
        return Finish(KE_NO_PORT);
    for (;;) {
        FrameEnd end = FrameEnd::Last;
        if (int r = ExchangeFrame(*this, frame, index, record, end))
            return Finish(r);
        if (downloadProgress)
            downloadProgress(frameNumber, record.size());
        if (end == FrameEnd::Last)
            break;
        if (end == FrameEnd::More)
            ++frameNumber;
        frame = Request(*this, index, frameNumber);
        if (!lock.Again())
            return Finish(KE_NO_PORT);
    }
    return Finish(Decode(record, BstrView(fileName), BstrView(parserPath)));
}

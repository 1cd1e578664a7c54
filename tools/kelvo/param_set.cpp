#include "param_set.h"

#include "value_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace kelvo::tool {
namespace {

using Json = nlohmann::ordered_json;

constexpr struct {
    const char* name;
    VARTYPE type;
} kTypeNames[] = {
    {"i1", VT_I1},
    {"u1", VT_UI1},
    {"i2", VT_I2},
    {"u2", VT_UI2},
    {"i4", VT_I4},
    {"u4", VT_UI4},
    {"r4", VT_R4},
    {"r8", VT_R8},
    {"i8", VT_I8},
    {"u8", VT_UI8},
    {"str", VT_BSTR},
    {"auto", VT_EMPTY},
    // The prefixes invoke takes for the unsigned types.
    {"ui1", VT_UI1},
    {"ui2", VT_UI2},
    {"ui4", VT_UI4},
    {"ui8", VT_UI8},
};

// The columns of a CSV file, in the order a backup writes them.
constexpr const char* kColumns[] = {"ipa", "sub", "type", "value", "name", "error", "error_text"};
enum Column { kIpa, kSub, kType, kValue, kName, kError, kErrorText, kColumnCount };

bool IsInteger(VARTYPE t) {
    return t == VT_I1 || t == VT_UI1 || t == VT_I2 || t == VT_UI2 || t == VT_I4 || t == VT_UI4 ||
           t == VT_I8 || t == VT_UI8;
}

bool IsSigned(VARTYPE t) {
    return t == VT_I1 || t == VT_I2 || t == VT_I4 || t == VT_I8;
}

// The range of an integer type, as 128-bit-free pairs: signed bounds and the
// unsigned maximum.
void Range(VARTYPE t, std::int64_t& low, std::uint64_t& high) {
    const int bits = t == VT_I1 || t == VT_UI1   ? 8
                     : t == VT_I2 || t == VT_UI2 ? 16
                     : t == VT_I4 || t == VT_UI4 ? 32
                                                 : 64;
    if (IsSigned(t)) {
        low = bits == 64 ? std::numeric_limits<std::int64_t>::min()
                         : -(std::int64_t{1} << (bits - 1));
        high = (std::uint64_t{1} << (bits - 1)) - 1;
    } else {
        low = 0;
        high =
            bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    }
}

std::string_view Trim(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        if (n == 0 || i + n > text.size() || (n == 2 && c < 0xC2))
            return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += n;
    }
    return true;
}

// A whole number in decimal (optional sign) or 0x-hex.
bool ParseInteger(std::string_view text, bool& negative, std::uint64_t& magnitude) {
    negative = false;
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    } else if (text.starts_with('-') || text.starts_with('+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// An index or sub-index of a file: decimal or 0x-hex, 0 to `max`.
bool ParseAddress(std::string_view text, LONG max, LONG& value) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (!ParseInteger(Trim(text), negative, magnitude) || negative ||
        magnitude > static_cast<std::uint64_t>(max))
        return false;
    value = static_cast<LONG>(magnitude);
    return true;
}

template <class Real> bool ParseReal(std::string_view text, Real& value) {
    if (text.starts_with('+'))
        text.remove_prefix(1);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

template <class Real> std::string RealText(Real value) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string At(const std::string& path, int line) {
    return path + ":" + std::to_string(line) + ": ";
}

// The checks every entry of every format gets once its fields are read.
bool CheckEntry(ParamEntry& entry, bool isSet, std::string& error) {
    if (!isSet || entry.error) {
        entry.value.reset();
        return true;
    }
    if (!entry.value) {
        error = "no value (a set needs one in every row that has no error)";
        return false;
    }
    if (entry.type == VT_EMPTY) {
        error = "a value needs a type; auto is only for lists";
        return false;
    }
    std::string canonical;
    if (!CanonicalValue(*entry.value, entry.type, canonical, error))
        return false;
    entry.value = std::move(canonical);
    return true;
}

// ---- CSV ----

struct CsvRecord {
    std::vector<std::string> fields;
    int line = 0;
    bool comment = false;
};

// Cuts the text into records: fields by `separator`, quoted fields with ""
// for a quote and line ends inside. Lines starting with # are comments.
class CsvReader {
public:
    CsvReader(std::string_view text, char separator) : text_(text), separator_(separator) {}

    // The next record; false at the end. A malformed record sets `error`.
    bool Next(CsvRecord& record, std::string& error) {
        error.clear();
        record.fields.clear();
        record.comment = false;
        while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r'))
            Advance();
        if (pos_ >= text_.size())
            return false;
        record.line = line_;
        if (text_[pos_] == '#') {
            record.comment = true;
            const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
            std::string_view line = text_.substr(pos_ + 1, end - pos_ - 1);
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            record.fields.emplace_back(line);
            pos_ = end;
            return true;
        }
        std::string field;
        bool quoted = false;
        bool afterQuote = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (quoted) {
                if (c == '"' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                    field += '"';
                    Advance();
                } else if (c == '"') {
                    quoted = false;
                    afterQuote = true;
                } else {
                    field += c;
                }
                Advance();
                continue;
            }
            if (c == '\n' || (c == '\r' && (pos_ + 1 == text_.size() || text_[pos_ + 1] == '\n')))
                break;
            Advance();
            if (c == separator_) {
                record.fields.push_back(std::move(field));
                field.clear();
                afterQuote = false;
            } else if (afterQuote) {
                if (c != ' ' && c != '\t')
                    error = "text after the closing quote of field " +
                            std::to_string(record.fields.size() + 1);
            } else if (c == '"' && Trim(field).empty()) {
                field.clear();
                quoted = true;
            } else {
                field += c;
            }
        }
        if (quoted)
            error =
                "the quote of field " + std::to_string(record.fields.size() + 1) + " is not closed";
        record.fields.push_back(std::move(field));
        return true;
    }

private:
    void Advance() {
        if (text_[pos_] == '\n')
            ++line_;
        ++pos_;
    }

    std::string_view text_;
    char separator_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

// "key: value" of a comment line before the header.
void AddHeaderLine(SetHeader& header, std::string_view comment) {
    const std::size_t colon = comment.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view key = Trim(comment.substr(0, colon));
    if (key.empty() || key.find(' ') != std::string_view::npos)
        return;
    header.emplace_back(std::string(key), std::string(Trim(comment.substr(colon + 1))));
}

// The separator of a header line: the first of , ; TAB after "ipa".
char SeparatorOf(std::string_view line) {
    line = Trim(line);
    if (line.size() < 4 || Lower(line.substr(0, 3)) != "ipa")
        return 0;
    const std::string_view rest = Trim(line.substr(3));
    if (rest.empty())
        return 0;
    return rest[0] == ',' || rest[0] == ';' || rest[0] == '\t' ? rest[0] : 0;
}

bool ReadCsvEntry(const CsvRecord& record, const int (&index)[kColumnCount], bool isSet,
                  ParamEntry& entry, std::string& error) {
    auto field = [&](Column c) -> const std::string* {
        const int i = index[c];
        return i >= 0 && static_cast<std::size_t>(i) < record.fields.size() ? &record.fields[i]
                                                                            : nullptr;
    };
    entry.line = record.line;
    const std::string* ipa = field(kIpa);
    const std::string* sub = field(kSub);
    if (!ipa || !ParseAddress(*ipa, 65535, entry.ipa)) {
        error = "ipa '" + (ipa ? *ipa : std::string()) + "' is not a number from 0 to 65535";
        return false;
    }
    if (!sub || !ParseAddress(*sub, 255, entry.sub)) {
        error = "sub '" + (sub ? *sub : std::string()) + "' is not a number from 0 to 255";
        return false;
    }
    const std::string* type = field(kType);
    const std::string_view typeText = type ? Trim(*type) : std::string_view();
    if (!typeText.empty() && !ParamTypeFromText(typeText, entry.type)) {
        error = "unknown type '" + std::string(typeText) + "'";
        return false;
    }
    for (Column c : {kValue, kName, kErrorText}) {
        if (const std::string* text = field(c); text && !IsUtf8(*text)) {
            error = std::string(kColumns[c]) + " is not UTF-8 text";
            return false;
        }
    }
    if (const std::string* name = field(kName))
        entry.name = *name;
    if (const std::string* code = field(kError); code && !Trim(*code).empty()) {
        bool negative = false;
        std::uint64_t magnitude = 0;
        if (!ParseInteger(Trim(*code), negative, magnitude) || magnitude > 0x7FFFFFFF) {
            error = "error '" + *code + "' is not a number";
            return false;
        }
        entry.error = static_cast<int>(negative ? -static_cast<std::int64_t>(magnitude)
                                                : static_cast<std::int64_t>(magnitude));
        if (const std::string* text = field(kErrorText))
            entry.errorText = *text;
    }
    if (const std::string* value = field(kValue)) {
        // An empty cell is an empty text, and no value for the other types.
        if (!value->empty() || entry.type == VT_BSTR)
            entry.value = entry.type == VT_BSTR ? *value : std::string(Trim(*value));
    }
    return CheckEntry(entry, isSet, error);
}

void ReadCsv(const std::string& path, std::string_view text, char separator, ParamFile& file) {
    CsvReader reader(text, separator);
    CsvRecord record;
    std::string error;
    int index[kColumnCount];
    std::fill(std::begin(index), std::end(index), -1);
    bool haveHeader = false;
    while (reader.Next(record, error)) {
        if (record.comment) {
            if (!haveHeader)
                AddHeaderLine(file.header, record.fields[0]);
            continue;
        }
        if (!haveHeader) {
            haveHeader = true;
            for (std::size_t i = 0; i < record.fields.size(); ++i) {
                const std::string name = Lower(Trim(record.fields[i]));
                auto known = std::find_if(std::begin(kColumns), std::end(kColumns),
                                          [&](const char* c) { return name == c; });
                if (known == std::end(kColumns)) {
                    file.errors.push_back(At(path, record.line) + "unknown column '" + name +
                                          "' (columns: ipa,sub,type,value,name,error,error_text)");
                    return;
                }
                int& slot = index[known - std::begin(kColumns)];
                if (slot >= 0) {
                    file.errors.push_back(At(path, record.line) + "column " + name + " twice");
                    return;
                }
                slot = static_cast<int>(i);
            }
            if (index[kSub] < 0 || index[kType] < 0) {
                file.errors.push_back(At(path, record.line) +
                                      "the header needs the columns ipa, sub and type");
                return;
            }
            file.hasValues = index[kValue] >= 0;
            continue;
        }
        if (std::all_of(record.fields.begin(), record.fields.end(),
                        [](const std::string& f) { return Trim(f).empty(); }) &&
            error.empty())
            continue; // a blank line, or one of separators only
        ParamEntry entry;
        if (error.empty() && record.fields.size() > static_cast<std::size_t>(std::count_if(
                                                        std::begin(index), std::end(index),
                                                        [](int i) { return i >= 0; })))
            error = std::to_string(record.fields.size()) + " fields, more than the header names";
        if (error.empty())
            ReadCsvEntry(record, index, file.hasValues, entry, error);
        if (!error.empty()) {
            file.errors.push_back(At(path, record.line) + error);
            continue;
        }
        file.entries.push_back(std::move(entry));
    }
}

// The lines "IPA SUB [TYPE]" of par get --file, # starting a comment.
void ReadPlain(const std::string& path, std::string_view text, ParamFile& file) {
    std::istringstream in{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string used = line.substr(0, line.find('#'));
        std::istringstream words(used);
        std::vector<std::string> fields;
        for (std::string word; words >> word;)
            fields.push_back(word);
        if (fields.empty())
            continue;
        ParamEntry entry;
        entry.line = number;
        std::string error;
        if (fields.size() > 3 || used.find(',') != std::string::npos)
            error = "IPA SUB [TYPE] expected (a CSV file starts with the header ipa,sub,type)";
        else if (fields.size() < 2)
            error = "IPA SUB [TYPE] expected";
        else if (!ParseAddress(fields[0], 65535, entry.ipa))
            error = "ipa '" + fields[0] + "' is not a number from 0 to 65535";
        else if (!ParseAddress(fields[1], 255, entry.sub))
            error = "sub '" + fields[1] + "' is not a number from 0 to 255";
        else if (fields.size() == 3 && !ParamTypeFromText(fields[2], entry.type))
            error = "unknown type '" + fields[2] + "'";
        if (!error.empty()) {
            file.errors.push_back(At(path, number) + error);
            continue;
        }
        file.entries.push_back(std::move(entry));
    }
}

// ---- JSON ----

// Walks the file's characters for the JSON parser and counts its lines, so
// that each parameter object can be told by the line it starts on.
class LineCountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    LineCountingIterator(const char* at, int* line) : at_(at), line_(line) {}
    reference operator*() const { return *at_; }
    LineCountingIterator& operator++() {
        if (*at_ == '\n')
            ++*line_;
        ++at_;
        return *this;
    }
    LineCountingIterator operator++(int) {
        LineCountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const LineCountingIterator& o) const { return at_ == o.at_; }
    bool operator!=(const LineCountingIterator& o) const { return at_ != o.at_; }

private:
    const char* at_;
    int* line_;
};

// An index, sub-index or error code: a JSON number or a decimal/0x-hex text.
bool JsonAddress(const Json& value, LONG max, LONG& out) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <= static_cast<std::uint64_t>(max)) {
        out = static_cast<LONG>(value.get<std::uint64_t>());
        return true;
    }
    return value.is_string() && ParseAddress(value.get<std::string>(), max, out);
}

bool ReadJsonEntry(const Json& item, bool isSet, ParamEntry& entry, std::string& error) {
    if (!item.is_object()) {
        error = "a parameter is an object {\"ipa\":..,\"sub\":..,\"type\":..}";
        return false;
    }
    for (const auto& [key, value] : item.items()) {
        const bool known = std::any_of(std::begin(kColumns), std::end(kColumns),
                                       [&](const char* c) { return key == c; });
        if (!known) {
            error = "unknown member '" + key + "'";
            return false;
        }
    }
    const Json none;
    auto member = [&](const char* key) -> const Json& {
        auto it = item.find(key);
        return it == item.end() ? none : *it;
    };
    if (!JsonAddress(member("ipa"), 65535, entry.ipa)) {
        error = "ipa " + member("ipa").dump() + " is not a number from 0 to 65535";
        return false;
    }
    if (!JsonAddress(member("sub"), 255, entry.sub)) {
        error = "sub " + member("sub").dump() + " is not a number from 0 to 255";
        return false;
    }
    const Json& type = member("type");
    if (type.is_number_unsigned() && type.get<std::uint64_t>() <= 0x7FFF) {
        entry.type = static_cast<VARTYPE>(type.get<std::uint64_t>());
    } else if (!type.is_null() &&
               (!type.is_string() || !ParamTypeFromText(type.get<std::string>(), entry.type))) {
        error = "unknown type " + type.dump();
        return false;
    }
    for (const char* key : {"name", "error_text"}) {
        if (!member(key).is_null() && !member(key).is_string()) {
            error = std::string(key) + " is not a text";
            return false;
        }
    }
    entry.name = member("name").is_string() ? member("name").get<std::string>() : "";
    if (const Json& code = member("error"); !code.is_null()) {
        if (!code.is_number_integer()) {
            error = "error is not a number";
            return false;
        }
        entry.error = code.get<int>();
        entry.errorText =
            member("error_text").is_string() ? member("error_text").get<std::string>() : "";
    }
    const Json& value = member("value");
    if (value.is_string()) {
        entry.value = value.get<std::string>();
    } else if (value.is_number() && entry.type != VT_BSTR) {
        // A float written by a backup comes back as the double of its text.
        entry.value = value.is_number_float() ? RealText(value.get<double>()) : value.dump();
    } else if (!value.is_null()) {
        error = "value " + value.dump() + " is neither a number nor a text";
        return false;
    }
    return CheckEntry(entry, isSet, error);
}

void ReadJson(const std::string& path, const std::string& text, ParamFile& file) {
    int line = 1;
    int depth1Key = 0;       // the top-level member being read is "parameters"
    std::vector<int> starts; // line of each parameter object
    bool topArray = false;
    Json root;
    try {
        root =
            Json::parse(LineCountingIterator(text.data(), &line),
                        LineCountingIterator(text.data() + text.size(), &line),
                        [&](int depth, Json::parse_event_t event, Json& parsed) {
                            if (depth == 0 && event == Json::parse_event_t::array_start)
                                topArray = true;
                            if (depth == 1 && event == Json::parse_event_t::key)
                                depth1Key = parsed == "parameters";
                            const int entryDepth = topArray ? 1 : 2;
                            if (depth == entryDepth && event == Json::parse_event_t::object_start &&
                                (topArray || depth1Key))
                                starts.push_back(line);
                            return true;
                        });
    } catch (const Json::parse_error& e) {
        // The byte position of the error gives its line.
        const std::size_t at = std::min<std::size_t>(e.byte, text.size());
        const int where =
            1 + static_cast<int>(std::count(
                    text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at > 0 ? at - 1 : 0),
                    '\n'));
        std::string why = e.what();
        if (const std::size_t cut = why.find("syntax error"); cut != std::string::npos)
            why = why.substr(cut);
        file.errors.push_back(At(path, where) + why);
        return;
    }
    const Json* list = &root;
    if (root.is_object()) {
        auto it = root.find("parameters");
        if (it == root.end() || !it->is_array()) {
            file.errors.push_back(At(path, 1) + "no \"parameters\" array");
            return;
        }
        list = &*it;
        for (const auto& [key, value] : root.items()) {
            if (key != "parameters" && key != "format" && value.is_string())
                file.header.emplace_back(key, value.get<std::string>());
        }
    } else if (!root.is_array()) {
        file.errors.push_back(At(path, 1) + "neither an object with \"parameters\" nor an array");
        return;
    }
    for (const Json& item : *list) {
        if (item.is_object() && (item.contains("value") || item.contains("error")))
            file.hasValues = true;
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
        ParamEntry entry;
        entry.line = i < starts.size() ? starts[i] : 0;
        std::string error;
        if (!ReadJsonEntry((*list)[i], file.hasValues, entry, error)) {
            file.errors.push_back(At(path, entry.line) + "parameter " + std::to_string(i + 1) +
                                  ": " + error);
            continue;
        }
        file.entries.push_back(std::move(entry));
    }
}

// ---- writing ----

std::string Hex16(LONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

void AppendCsvField(std::string& out, std::string_view field) {
    const bool quote =
        field.find_first_of(",;\"\r\n\t") != std::string_view::npos ||
        (!field.empty() && (field.front() == ' ' || field.back() == ' ' || field.front() == '#'));
    if (!quote) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string CsvHead(const SetHeader& header) {
    std::string out = "# kelvo parameter set\n";
    for (const auto& [key, value] : header) {
        std::string line = value;
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        out += "# " + key + ": " + line + "\n";
    }
    return out + "ipa,sub,type,value,name,error,error_text\n";
}

// Appends the entry's line to `out` (a buffer kept between lines).
void AppendCsvLine(std::string& out, const ParamEntry& e) {
    out += Hex16(e.ipa);
    out += ',';
    out += std::to_string(e.sub);
    out += ',';
    out += ParamTypeName(e.type);
    out += ',';
    if (e.value)
        AppendCsvField(out, *e.value);
    out += ',';
    AppendCsvField(out, e.name);
    out += ',';
    if (e.error) {
        out += std::to_string(*e.error) + ",";
        AppendCsvField(out, e.errorText);
    } else {
        out += ',';
    }
    out += '\n';
}

} // namespace

nlohmann::ordered_json ValueJson(const std::string& text, VARTYPE type) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    if (IsInteger(type) && ParseInteger(text, negative, magnitude)) {
        if (!negative)
            return magnitude;
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (type == VT_R4) {
        float f = 0;
        if (ParseReal(text, f) && std::isfinite(f))
            return FloatAsDouble(f);
    }
    if (type == VT_R8) {
        double d = 0;
        if (ParseReal(text, d) && std::isfinite(d))
            return d;
    }
    return text;
}

namespace {

std::string JsonHead(const SetHeader& header) {
    Json head = {{"format", "kelvo parameter set"}};
    for (const auto& [key, value] : header)
        head[key] = value;
    std::string text = JsonText(head);
    text.pop_back(); // the closing brace: the parameters follow
    return text + ",\"parameters\":[\n";
}

std::string JsonEntry(const ParamEntry& e) {
    Json item = {{"ipa", e.ipa}, {"sub", e.sub}, {"type", ParamTypeName(e.type)}};
    if (e.value)
        item["value"] = ValueJson(*e.value, e.type);
    if (!e.name.empty())
        item["name"] = e.name;
    if (e.error) {
        item["error"] = *e.error;
        item["error_text"] = e.errorText;
    }
    return JsonText(item);
}

std::string ReadWhole(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return ok ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

bool EndsWithNoCase(const std::string& text, std::string_view end) {
    return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

} // namespace

bool ParamFromWords(std::string_view ipa, std::string_view sub, std::string_view type,
                    ParamEntry& entry, std::string& error) {
    if (!ParseAddress(ipa, 65535, entry.ipa))
        error = "IPA '" + std::string(ipa) + "' is not a number from 0 to 65535";
    else if (!ParseAddress(sub, 255, entry.sub))
        error = "SUB '" + std::string(sub) + "' is not a number from 0 to 255";
    else if (!type.empty() && !ParamTypeFromText(type, entry.type))
        error = "unknown type '" + std::string(type) + "'";
    else
        return true;
    return false;
}

bool ParamTypeFromText(std::string_view text, VARTYPE& type) {
    const std::string name = Lower(text);
    for (const auto& entry : kTypeNames) {
        if (name == entry.name) {
            type = entry.type;
            return true;
        }
    }
    bool negative = false;
    std::uint64_t number = 0;
    if (!ParseInteger(text, negative, number) || negative || number > 0x7FFF)
        return false;
    type = static_cast<VARTYPE>(number);
    return true;
}

std::string ParamTypeName(VARTYPE type) {
    for (const auto& entry : kTypeNames) {
        if (entry.type == type)
            return entry.name;
    }
    return std::to_string(type);
}

bool CanonicalValue(std::string_view text, VARTYPE type, std::string& canonical,
                    std::string& error) {
    const std::string shown = "'" + std::string(text) + "'";
    if (type == VT_BSTR) {
        canonical = text;
        return true;
    }
    if (IsInteger(type)) {
        bool negative = false;
        std::uint64_t magnitude = 0;
        if (!ParseInteger(Trim(text), negative, magnitude)) {
            error = shown + " is not a whole number";
            return false;
        }
        std::int64_t low = 0;
        std::uint64_t high = 0;
        Range(type, low, high);
        const bool fits = negative ? magnitude <= 0 - static_cast<std::uint64_t>(low) &&
                                         (magnitude == 0 || low < 0)
                                   : magnitude <= high;
        if (!fits) {
            error = shown + " is out of range for " + ParamTypeName(type);
            return false;
        }
        canonical = negative && magnitude != 0 ? "-" + std::to_string(magnitude)
                                               : std::to_string(magnitude);
        return true;
    }
    bool ok = false;
    if (type == VT_R4) {
        float f = 0;
        ok = ParseReal(Trim(text), f);
        canonical = RealText(f);
    } else if (type == VT_R8) {
        double d = 0;
        ok = ParseReal(Trim(text), d);
        canonical = RealText(d);
    } else {
        error = "type " + ParamTypeName(type) + " has no values";
        return false;
    }
    if (!ok)
        error = shown + " is not a " + ParamTypeName(type) + " number";
    return ok;
}

std::string ValueText(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1:
        return std::to_string(static_cast<signed char>(v.cVal));
    case VT_UI1:
        return std::to_string(v.bVal);
    case VT_I2:
        return std::to_string(v.iVal);
    case VT_UI2:
        return std::to_string(v.uiVal);
    case VT_I4:
        return std::to_string(v.lVal);
    case VT_UI4:
        return std::to_string(v.ulVal);
    case VT_I8:
        return std::to_string(v.llVal);
    case VT_UI8:
        return std::to_string(v.ullVal);
    case VT_R4:
        return RealText(v.fltVal);
    case VT_R8:
        return RealText(v.dblVal);
    case VT_BSTR:
        return Utf16ToUtf8(BstrView(v.bstrVal));
    default:
        return "(" + TypeName(v.vt) + ")";
    }
}

bool ValueVariant(const std::string& text, VARTYPE type, VARIANT* out, std::string& error) {
    VariantInit(out);
    std::string canonical;
    if (!CanonicalValue(text, type, canonical, error))
        return false;
    out->vt = type;
    if (type == VT_BSTR) {
        out->bstrVal = Bstr(Utf8ToUtf16(canonical)).release();
        return true;
    }
    if (type == VT_R4)
        return ParseReal(canonical, out->fltVal);
    if (type == VT_R8)
        return ParseReal(canonical, out->dblVal);
    bool negative = false;
    std::uint64_t magnitude = 0;
    ParseInteger(canonical, negative, magnitude);
    // Two's complement in the low bytes is every integer type's layout.
    out->ullVal = negative ? 0 - magnitude : magnitude;
    return true;
}

std::string CsvField(std::string_view text) {
    std::string out;
    AppendCsvField(out, text);
    return out;
}

std::string ParamLabel(const ParamEntry& entry) {
    return Hex16(entry.ipa) + "/" + std::to_string(entry.sub);
}

ParamFile ReadParamFile(const std::string& path) {
    ParamFile file;
    bool ok = false;
    std::string text = ReadWhole(path, ok);
    if (!ok) {
        file.errors.push_back(path + ": cannot read: " + std::strerror(errno));
        return file;
    }
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    if (EndsWithNoCase(path, ".json")) {
        ReadJson(path, text, file);
        return file;
    }
    // The first line that is neither blank nor a comment tells CSV from plain.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (Trim(line).empty() || line.starts_with('#'))
            continue;
        if (const char separator = SeparatorOf(line)) {
            ReadCsv(path, text, separator, file);
            return file;
        }
        break;
    }
    ReadPlain(path, text, file);
    return file;
}

SetWriter::~SetWriter() {
    Abandon();
}

SetWriter::Format SetWriter::FormatOf(const std::string& path) {
    return EndsWithNoCase(path, ".json") ? Format::Json : Format::Csv;
}

bool SetWriter::Open(const std::string& path, Format format, const SetHeader& header,
                     std::string& error) {
    Abandon();
    path_ = path;
    format_ = format;
    first_ = true;
    const std::string part = path + ".part";
    file_ = std::fopen(part.c_str(), "wb");
    if (!file_) {
        error = "cannot write " + part + ": " + std::strerror(errno);
        return false;
    }
    const std::string head = format == Format::Csv ? CsvHead(header) : JsonHead(header);
    std::fwrite(head.data(), 1, head.size(), file_);
    return true;
}

void SetWriter::Add(const ParamEntry& entry) {
    if (!file_)
        return;
    buffer_.clear();
    if (format_ == Format::Csv)
        AppendCsvLine(buffer_, entry);
    else
        buffer_ = (first_ ? "" : ",\n") + JsonEntry(entry);
    first_ = false;
    std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
}

bool SetWriter::Finish(std::string& error) {
    if (!file_) {
        error = "no file open";
        return false;
    }
    if (format_ == Format::Json)
        std::fputs("\n]}\n", file_);
    const bool written = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    const std::string part = path_ + ".part";
    if (!written || !closed || std::rename(part.c_str(), path_.c_str()) != 0) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}

void SetWriter::Abandon() {
    if (!file_)
        return;
    std::fclose(file_);
    file_ = nullptr;
    std::remove((path_ + ".part").c_str());
}

std::string SetText(const SetHeader& header, const std::vector<ParamEntry>& entries,
                    SetWriter::Format format) {
    if (format == SetWriter::Format::Csv) {
        std::string text = CsvHead(header);
        for (const ParamEntry& e : entries)
            AppendCsvLine(text, e);
        return text;
    }
    std::string text = JsonHead(header);
    for (std::size_t i = 0; i < entries.size(); ++i)
        text += (i ? ",\n" : "") + JsonEntry(entries[i]);
    return text + "\n]}\n";
}

} // namespace kelvo::tool

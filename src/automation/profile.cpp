#include "automation/profile.h"

#include "automation/atomic_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace kelvo {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWhole(const std::string& path, std::string& text) {
    text.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return failed ? ReadResult::Failed : ReadResult::Ok;
}

// One line of a profile, classified.
struct Line {
    enum class Kind { Other, Section, Entry } kind = Kind::Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // entry value, trimmed
};

Line Classify(std::string_view raw) {
    Line line;
    std::string_view s = Trim(raw);
    if (s.empty() || s.front() == ';')
        return line;
    if (s.front() == '[') {
        const std::size_t close = s.rfind(']');
        if (close == std::string_view::npos)
            return line;
        line.kind = Line::Kind::Section;
        line.name = Trim(s.substr(1, close - 1));
        return line;
    }
    const std::size_t equals = s.find('=');
    if (equals == std::string_view::npos)
        return line;
    line.kind = Line::Kind::Entry;
    line.name = Trim(s.substr(0, equals));
    line.value = Trim(s.substr(equals + 1));
    return line;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::optional<std::string> Lookup(const std::string& path, std::string_view section,
                                  std::string_view key) {
    std::string text;
    if (ReadWhole(path, text) != ReadResult::Ok)
        return std::nullopt;
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    bool seenSection = false;
    for (std::string_view raw : SplitLines(text)) {
        const Line line = Classify(raw);
        if (line.kind == Line::Kind::Section) {
            // Only the first section of the name is searched.
            if (inSection)
                return std::nullopt;
            inSection = !seenSection && SameName(line.name, section);
            seenSection = seenSection || inSection;
            continue;
        }
        if (inSection && line.kind == Line::Kind::Entry && SameName(line.name, key))
            return std::string(line.value);
    }
    return std::nullopt;
}

std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view def) {
    const std::optional<std::string> value = Lookup(path, section, key);
    if (!value)
        return std::string(def);
    return Unquote(*value);
}

int ReadProfileInt(const std::string& path, std::string_view section, std::string_view key,
                   int def) {
    const std::string value = ReadProfileString(path, section, key, "");
    if (value.empty())
        return def;
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+'))
        negative = value[i++] == '-';
    std::uint32_t result = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        result = result * 10u + static_cast<std::uint32_t>(value[i] - '0');
    if (negative)
        result = 0u - result;
    return static_cast<int>(result);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || key.empty() ||
        section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos)
        return false;
    std::string text;
    if (ReadWhole(path, text) == ReadResult::Failed)
        return false;
    mode_t mode = 0644;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;

    const std::vector<std::string_view> lines = SplitLines(text);
    const std::string entry = std::string(key) + "=" + std::string(value);
    // Where the first section of the name starts and where its last entry
    // line ends; where the key's line is.
    std::optional<std::size_t> sectionLine, keyLine;
    std::size_t lastInSection = 0;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line line = Classify(lines[i]);
        if (line.kind == Line::Kind::Section) {
            if (inSection)
                break;
            if (!sectionLine && SameName(line.name, section)) {
                sectionLine = lastInSection = i;
                inSection = true;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(lines[i]).empty())
            lastInSection = i;
        if (line.kind == Line::Kind::Entry && SameName(line.name, key)) {
            keyLine = i;
            break;
        }
    }

    std::string out;
    auto emit = [&out](std::string_view line) {
        out.append(line);
        out.push_back('\n');
    };
    // New lines end the way the file's lines do.
    const std::string eol = !lines.empty() && lines.front().ends_with('\r') ? "\r" : "";
    if (!sectionLine) {
        for (std::string_view line : lines)
            emit(line);
        if (!lines.empty() && !Trim(lines.back()).empty())
            emit(eol);
        std::string header = "[";
        header.append(section).append("]").append(eol);
        emit(header);
        emit(entry + eol);
        return WriteFileAtomically(path, out, mode);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (keyLine && i == *keyLine) {
            emit(entry + (lines[i].ends_with('\r') ? "\r" : ""));
            continue;
        }
        emit(lines[i]);
        if (!keyLine && i == lastInSection)
            emit(entry + eol);
    }
    return WriteFileAtomically(path, out, mode);
}

} // namespace kelvo

// The message file loader on any file content.
//
// Input: the bytes of the file.
#include "fuzz_support.h"

#include "device/messages.h"

#include <climits>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

std::int32_t Key(std::string_view text) {
    if (!text.empty() && text[0] == '*')
        return 1;
    const long long v = std::strtoll(std::string(text).c_str(), nullptr, 0);
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(v);
}

std::u16string Text(std::string_view text) {
    if (!text.empty() && text.front() == '"')
        text.remove_prefix(1);
    if (!text.empty() && text.back() == '"')
        text.remove_suffix(1);
    return FromAnsi(text, CodePage::Windows1252);
}

// The table the file should give and whether the load should succeed.
bool Expected(std::string_view file, MessageTable& table) {
    MessageSection* section = nullptr;
    while (!file.empty()) {
        const std::size_t end = file.find('\n');
        if (end == std::string_view::npos)
            return false; // no line feed at the end
        std::string_view line = file.substr(0, end);
        file.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() > kMaxMessageLine)
            return false;
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']')
                return false;
            section = &table[FromAnsi(line.substr(1, line.size() - 2), CodePage::Windows1252)];
            continue;
        }
        const std::size_t comma = line.find(',');
        if (!section || comma == std::string_view::npos)
            return false;
        (*section)[Key(line.substr(0, comma))] = Text(line.substr(comma + 1));
    }
    return true;
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const auto bytes = in.rest();
    const std::string file(bytes.begin(), bytes.end());
    const std::string path = ScratchDir() + "/fuzzed.ERR";
    std::ofstream(path, std::ios::binary) << file;
    MessageTable loaded;
    const bool ok = LoadMessageFile(path, loaded);

    MessageTable expected;
    const bool expectedOk = Expected(file, expected);
    FUZZ_CHECK(ok == expectedOk);
    FUZZ_CHECK(loaded == expected);
}

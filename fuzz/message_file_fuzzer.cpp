// The message file loader on any file content.
//
// Input: the bytes of the file.
#include "fuzz_support.h"

#include "device/messages.h"

#include <climits>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

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
        // The key: a number in C notation, clamped to 32 bits ("*" is 1); the
        // text: the rest without the quotes around it.
        const std::string key(line.substr(0, comma));
        const long long n = key.starts_with('*') ? 1 : std::strtoll(key.c_str(), nullptr, 0);
        std::string_view text = line.substr(comma + 1);
        if (text.starts_with('"'))
            text.remove_prefix(1);
        if (text.ends_with('"'))
            text.remove_suffix(1);
        (*section)[static_cast<std::int32_t>(std::clamp<long long>(n, INT32_MIN, INT32_MAX))] =
            FromAnsi(text, CodePage::Windows1252);
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

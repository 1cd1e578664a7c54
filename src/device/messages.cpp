#include "device/messages.h"

#include "automation/settings_paths.h"
#include "kelvo/automation.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace kelvo {
namespace {

std::atomic<MessageBoxFunction> g_messageBox{nullptr};

void MessageBoxToStderr(std::u16string_view text, std::u16string_view caption, unsigned) {
    const std::string head = caption.empty() ? std::string() : Utf16ToUtf8(caption) + ": ";
    const std::string line = head + Utf16ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Reads one line into `line`, line feed excluded. False at the end of the
// file, or (with `broken` set) when the line has no line feed or is too long.
bool ReadLine(std::FILE* f, std::string& line, bool& broken) {
    line.clear();
    broken = false;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            broken = line.size() > kMaxMessageLine;
            return true;
        }
        line.push_back(static_cast<char>(c));
        // The longest line and its carriage return; anything longer fails.
        if (line.size() > kMaxMessageLine + 1) {
            broken = true;
            return true;
        }
    }
    if (line.empty())
        return false;
    broken = true;
    return true;
}

// The key as a C integer with automatic base, clamped to 32 bits.
std::int32_t ParseKey(std::string_view text) {
    if (!text.empty() && text.front() == '*')
        return 1;
    const std::string key(text);
    errno = 0;
    const long long value = std::strtoll(key.c_str(), nullptr, 0);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

std::u16string_view Unquote(std::u16string_view text) {
    if (!text.empty() && text.front() == u'"')
        text.remove_prefix(1);
    if (!text.empty() && text.back() == u'"')
        text.remove_suffix(1);
    return text;
}

} // namespace

bool LoadMessageFile(const std::string& path, MessageTable& table) {
    table.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    MessageSection* section = nullptr;
    std::string raw;
    bool broken = false;
    bool ok = true;
    while (ReadLine(f, raw, broken)) {
        if (broken) {
            ok = false;
            break;
        }
        if (raw.empty())
            continue;
        const std::u16string line = FromAnsi(raw, CodePage::Windows1252);
        if (line.front() == u'[') {
            if (line.size() < 2 || line.back() != u']') {
                ok = false;
                break;
            }
            section = &table[line.substr(1, line.size() - 2)];
            continue;
        }
        const std::size_t comma = raw.find(',');
        if (!section || comma == std::string::npos) {
            ok = false;
            break;
        }
        // Windows-1252 maps byte to character one to one: the comma sits at
        // the same index in the wide line.
        (*section)[ParseKey(std::string_view(raw).substr(0, comma))] =
            std::u16string(Unquote(std::u16string_view(line).substr(comma + 1)));
    }
    std::fclose(f);
    return ok;
}

MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction show) {
    return g_messageBox.exchange(show);
}

void ShowMessageBox(std::u16string_view text, std::u16string_view caption, unsigned style) {
    MessageBoxFunction show = g_messageBox.load();
    (show ? show : MessageBoxToStderr)(text, caption, style);
}

void LoadObjectMessages(std::map<std::uint32_t, std::u16string>& messages) {
    messages.clear();
    MessageTable table;
    const bool loaded = LoadMessageFile(ModuleDirectory() + kMessageFileName, table);
    auto err = table.find(u"ERR");
    if (err != table.end())
        for (const auto& [key, text] : err->second)
            messages[static_cast<std::uint32_t>(key)] = text;
    if (!loaded)
        ShowMessageBox(u"Error loading Kelvo.err", u"Kelvo", MB_OK | MB_ICONERROR);
}

} // namespace kelvo

// The message file "Kelvo.ERR" beside the component's module: the texts that
// ErrorString returns, for the component's error codes and for the codes
// devices report.
//
// Format, one item per line, every line ending with a line feed (a carriage
// return before it is dropped) and holding at most 254 characters:
//   (empty)        skipped
//   [NAME]         starts or continues section NAME
//   KEY,TEXT       an entry of the current section; KEY is a C integer
//                  (decimal, 0x hex, 0 octal; clamped to 32 bits signed) or
//                  starts with '*' (key 1); one double quote at either end of
//                  TEXT is removed. A later entry of the same key wins.
// Anything else (no section yet, no comma, "[" without "]" at the end, a
// longer line, a missing last line feed) fails the load; the entries read
// before it are kept. Bytes are Windows-1252 text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kelvo {

using MessageSection = std::map<std::int32_t, std::u16string>;
using MessageTable = std::map<std::u16string, MessageSection>;

inline constexpr const char* kMessageFileName = "Kelvo.ERR";
// Longest line a message file may hold, line feed excluded.
inline constexpr std::size_t kMaxMessageLine = 254;

// Reads `path` into `table` (cleared first). False when the file cannot be
// opened or breaks the format; `table` keeps what was read until then.
bool LoadMessageFile(const std::string& path, MessageTable& table);

// Shows a message box: text, caption and the platform's style bits.
using MessageBoxFunction = void (*)(std::u16string_view text, std::u16string_view caption,
                                    unsigned style);
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_ICONERROR = 0x10;
// Routes message boxes (a window layer, a test); null restores the default,
// which writes "<caption>: <text>" (or the text alone without a caption) to
// standard error. Returns the function set before.
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction show);
void ShowMessageBox(std::u16string_view text, std::u16string_view caption, unsigned style);

// The object's message table: section "ERR" of the message file beside the
// module. On failure the "Error loading Kelvo.err" box is shown; the entries
// read so far stay.
void LoadObjectMessages(std::map<std::uint32_t, std::u16string>& messages);

} // namespace kelvo

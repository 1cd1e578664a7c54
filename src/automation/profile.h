// Profile (INI) files read and written with the platform's profile rules:
// "[section]" lines, "key=value" lines, section and key names compared without
// regard to case, blanks around names and values ignored, ';' starts a comment
// line. The first section and the first key of a name count. Texts are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// The value of `key`, without surrounding blanks and one pair of surrounding
// quotes; `def` when the file, the section or the key is missing.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view def);

// The value read as a decimal integer: leading blanks and a sign allowed,
// reading stops at the first other character (no digits: 0), wrapping at 32
// bits. A missing file, section or key, or an empty value, gives `def`.
int ReadProfileInt(const std::string& path, std::string_view section, std::string_view key,
                   int def);

// Sets `key` in `section` to `value`, adding the section or the key when
// missing; the file is created when missing (not its folder). The file is
// replaced at once (temporary file and rename), so readers never see half of
// it. False when the file cannot be read or written, or when a name or the
// value holds a line break (or the section a ']', the key a '=').
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);

} // namespace kelvo

// Replacing a file at once: readers see the old or the new contents, never a
// part of them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kelvo {

// Writes `text` to a fresh temporary file beside `path` (its own unique name,
// so concurrent writers do not meet), gives it `mode`, flushes it to the disk
// and renames it over `path`. On failure `path` is untouched and the
// temporary file removed.
bool WriteFileAtomically(const std::string& path, std::string_view text, mode_t mode);

} // namespace kelvo

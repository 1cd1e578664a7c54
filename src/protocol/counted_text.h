// Counted texts: how user names, passwords and the login user travel in a
// request and come back in an answer.
#pragma once

#include "kelvo/automation.h"

#include <string>
#include <string_view>

namespace kelvo {

// The text bytes of a counted text; their number is its length byte.
//
// The length byte is the number of UTF-16 code units of the text modulo 256
// (a character outside the Basic Multilingual Plane counts two), and the
// bytes are the first that many bytes of the text converted to the thread's
// code page. A text of 256 code units or more therefore wraps; the caller
// keeps texts short enough.
//
// The conversion can be shorter than the length byte: a character outside
// the Basic Multilingual Plane is two code units but a single "?" in a
// single-byte code page. Chosen here: the bytes are filled up with "?" to the
// length, so the frame holds exactly the bytes its length byte announces and
// every field after the text stays where the device reads it; "?" is what the
// conversion writes for a character the code page cannot hold. A longer
// conversion (UTF-8) is cut after `length` bytes, inside a character if need be.
inline std::string CountedText(std::u16string_view text) {
    const std::size_t length = text.size() % 256;
    std::string bytes = ToAnsi(text);
    bytes.resize(length, '?');
    return bytes;
}

} // namespace kelvo

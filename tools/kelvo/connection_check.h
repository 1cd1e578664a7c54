// What the component will make of a connection text, told in words: why Init
// refuses it (the piece and the rule it breaks), and what parsing changes
// without a word (items that are not read, dropped or cut). The verdict follows
// the component's own tokenizer and number reading, so refused and accepted
// texts are the same ones Init refuses and accepts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvo::tool {

// Init refuses a text with a bad part; put ConfString ignores that part.
enum class TextUse { Init, ConfString };

struct ConnectionCheck {
    // Why Init refuses the text, e.g. "'COM:7,9600': the baud rate must be
    // 921600"; empty when it takes the text (always empty for ConfString).
    std::string refusal;
    // What parsing changes, e.g. "'TCPIP:h/1234,3000': the port item is
    // ignored: 17221 is used (17222 with SSL)".
    std::vector<std::string> warnings;
    // The user and password items of the device part, when it has them.
    std::string user;
    std::string passwordItem;
};

ConnectionCheck CheckConnectionText(std::string_view text, TextUse use);

// Whether a password item is in the scrambled form (pairs of hex digits).
bool LooksScrambled(std::string_view item);

} // namespace kelvo::tool

// The rendering of one UDP discovery answer.
//
// Input: the datagram.
#include "fuzz_support.h"

#include "discovery/scan_udp.h"

void kelvo::fuzz::FuzzOne(Input& in) {
    // A buffer of exactly the datagram's size, so that a read past it is seen.
    const auto input = in.rest();
    const std::vector<std::uint8_t> datagram(input.begin(), input.end());

    const std::string before = "earlier line\n";
    std::string text = before;
    const bool rendered = discovery::RenderScanAnswer(datagram, text);
    FUZZ_CHECK(rendered == (!datagram.empty() && datagram[0] == discovery::kKindAnswer));
    if (!rendered) {
        FUZZ_CHECK(text == before);
        return;
    }
    FUZZ_CHECK(text.starts_with(before) && text.size() > before.size());
    const std::string_view line = std::string_view(text).substr(before.size());
    FUZZ_CHECK(line.back() == '\n');
    const int announced = datagram.size() > 1 ? static_cast<std::int8_t>(datagram[1]) : 0;
    FUZZ_CHECK(line.size() <= 1 + 100 * static_cast<std::size_t>(std::max(announced, 0)));

    std::string again;
    discovery::RenderScanAnswer(datagram, again);
    FUZZ_CHECK(again == line);
}

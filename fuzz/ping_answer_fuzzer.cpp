// The Ping answer: the whole exchange with the answer from the input, and the
// rendering of its items one by one.
//
// Input: flags, blink time (16 bits), then the answer (without the serial
// envelope; the frame counter is written into it).
//   flags: 1 serial link with a correct envelope, 2 UTF-8 code page,
//          4 serial address 5 (else 255)
#include "fuzz_support.h"

#include "operations/ping.h"
#include "protocol/bytes.h"

#include <algorithm>
#include <string>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

bool KnownType(std::uint32_t type) {
    static const std::uint32_t kKnown[] = {
        0x00000000, 0x00000001, 0x00010002, 0x00020003, 0x00030004, 0x00040005,
        0x00050006, 0x00060007, 0x00070009, 0x0007FFFF, 0x0008FFFF, 0x00100015,
        0x0011001B, 0x00120008, 0xFFFF0011, 0xFFFF0100, 0xFFFF0101, 0xFFFFFFFF};
    return std::ranges::find(kKnown, type) != std::end(kKnown);
}

// The items after the 7-byte header, each rendered alone.
void CheckItems(std::span<const std::uint8_t> answer) {
    if (answer.size() < 7)
        return;
    Input in(answer.subspan(7));
    for (unsigned i = 0; i < answer[6] && in.left() >= 6; ++i) {
        const std::uint8_t key = in.u8();
        const std::uint32_t type = in.u32();
        const auto value = in.bytes(in.u8());
        std::string text = "x";
        const bool known = RenderPingItem(key, type, value, text);
        FUZZ_CHECK(known == KnownType(type));
        const std::string head = "x\"" + std::to_string(key) + "\":";
        FUZZ_CHECK(text.starts_with(head) && text.size() > head.size());
        if (!known)
            FUZZ_CHECK(text == head + "null");
    }
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const std::uint8_t flags = in.u8();
    const auto blink = static_cast<SHORT>(in.u16());
    const auto answer = in.rest();
    CheckItems(answer);

    const bool serial = flags & 1;
    CKelvo* k = ConnectedObject(serial, (flags & 4) ? 5 : 255, flags & 2);
    k->errorCode = KE_TYPE;
    std::vector<std::uint8_t> answers;
    AppendAnswer(answers, answer);
    FuzzTransport& t = FuzzTransport::Instance();
    t.PlayAnswers(answers, serial);

    static const BSTR sentinel = SysAllocString(u"sentinel");
    BSTR result = sentinel;
    const HRESULT hr = k->Ping(blink, &result);
    FUZZ_CHECK(t.writes == 1);
    const auto& request = t.written.front();
    const std::size_t at = serial ? 7 : 6;
    FUZZ_CHECK(request.size() >= at + 2);
    const auto sent = static_cast<std::int16_t>(ldle_u16(&request[at]));
    FUZZ_CHECK(sent == LimitBlinkTime(blink) && sent >= kBlinkMin && sent <= kBlinkMax);
    if (hr == S_OK) {
        FUZZ_CHECK(k->errorCode == KE_OK && result != sentinel);
        const std::u16string_view text = BstrView(result);
        FUZZ_CHECK(text.starts_with(u"{ ") && text.ends_with(u" }"));
        SysFreeString(result);
    } else {
        FUZZ_CHECK(hr == E_FAIL && k->errorCode != KE_OK && k->errorCode != KE_TYPE);
        FUZZ_CHECK(result == sentinel);
    }
    ReleaseChecked(k);
}

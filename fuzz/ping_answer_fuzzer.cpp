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

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

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

    Out<BSTR> result(false, SentinelBstr());
    const HRESULT hr = result.Check(k->Ping(blink, result.ptr()));
    FUZZ_CHECK(t.writes == 1);
    const auto& request = t.written.front();
    const std::size_t at = serial ? 7 : 6;
    FUZZ_CHECK(request.size() >= at + 2);
    const auto sent = static_cast<std::int16_t>(ldle_u16(&request[at]));
    FUZZ_CHECK(sent == LimitBlinkTime(blink) && sent >= kBlinkMin && sent <= kBlinkMax);
    const std::u16string_view text = BstrView(result.value);
    if (hr == S_OK)
        FUZZ_CHECK(k->errorCode == KE_OK && text.starts_with(u"{ ") && text.ends_with(u" }"));
    else
        FUZZ_CHECK(hr == E_FAIL && k->errorCode != KE_OK && k->errorCode != KE_TYPE);
    ReleaseChecked(k);
}

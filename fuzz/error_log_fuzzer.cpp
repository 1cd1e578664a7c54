// The error-log record decoding with a description document, both from the
// input, the record downloaded through correct answer frames.
//
// Input: flags, description length L (16 bits), L bytes of the description
// document, frame size S, then the record bytes.
//   flags: 1 serial link, 2 UTF-8 code page
// The description is stored under the name the record's version selects; the
// record goes out in data frames of S bytes (at least 1), the last one
// without the "more" mark.
#include "fuzz_support.h"

#include "protocol/bytes.h"

#include <pugixml.hpp>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

constexpr std::uint16_t kDataWord = 0x04B0;

// The data frames of the record as answers: 16-bit length, answer bytes.
std::vector<std::uint8_t> Frames(std::uint16_t index, std::span<const std::uint8_t> record,
                                 std::size_t frameSize) {
    std::vector<std::uint8_t> answers;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(frameSize, record.size() - at);
        std::vector<std::uint8_t> data{
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8), 0,
            static_cast<std::uint8_t>(at + n < record.size()), static_cast<std::uint8_t>(n)};
        data.insert(data.end(), record.begin() + static_cast<std::ptrdiff_t>(at),
                    record.begin() + static_cast<std::ptrdiff_t>(at + n));
        AppendAnswer(answers, AnswerFrame(0, kDataWord, data)); // the transport writes the counter
        at += n;
    } while (at < record.size());
    return answers;
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const std::uint8_t flags = in.u8();
    const auto description = in.bytes(in.u16());
    const std::size_t frameSize = std::max<std::size_t>(1, in.u8());
    const auto record = in.rest();

    char leaf[40];
    std::snprintf(leaf, sizeof leaf, "/FPR_Version_%08x.xml",
                  record.size() >= 4 ? ldle_u32(record.data()) : 0u);
    const std::string descriptionPath = ScratchDir() + leaf;
    std::ofstream(descriptionPath, std::ios::binary)
        << std::string(description.begin(), description.end());
    const std::string out = ScratchDir() + "/out.xml";
    std::filesystem::remove(out);

    const bool serial = flags & 1;
    CKelvo* k = ConnectedObject(serial, 255, flags & 2);
    const std::uint16_t index = 0x0102;
    const auto answers = Frames(index, record, frameSize);
    FuzzTransport::Instance().PlayAnswers(answers, serial);

    const HRESULT hr =
        k->ReadErrorLog(index, Bstr(Utf8ToUtf16(out)).get(), Bstr(Utf8ToUtf16(ScratchDir())).get());
    FUZZ_CHECK(hr == S_OK || hr == E_FAIL);
    FUZZ_CHECK((hr == S_OK) == (k->errorCode == KE_OK));
    // Every frame was asked for once: the download itself cannot fail here.
    FUZZ_CHECK(k->errorCode == KE_OK || k->errorCode == KE_DESCRIPTION ||
               k->errorCode == KE_LENGTH);
    FUZZ_CHECK((hr == S_OK) == std::filesystem::exists(out));
    if (hr == S_OK) {
        pugi::xml_document doc;
        FUZZ_CHECK(doc.load_file(out.c_str(), pugi::parse_default | pugi::parse_comments |
                                                  pugi::parse_pi | pugi::parse_doctype));
        FUZZ_CHECK(doc.document_element().select_nodes("Group/Element[not(@value)]").empty());
    }
    ReleaseChecked(k);
    std::filesystem::remove(descriptionPath);
}

// Device commands: save, reset, restore, axis error reset, error-log deletion.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"

using namespace kelvo;

namespace {
constexpr std::uint16_t kSaveCommand = 0x300E;
} // namespace

HRESULT CKelvo::Save_Command() {
    static constexpr char16_t kPrefix[] = u"CKelvo::Save_Command";
    TraceText(TRACE_READ, kPrefix);
    Exchange x{};
    x.prefix = kPrefix;
    x.command = kSaveCommand;
    x.headerLength = 6;
    x.successWord = SuccessWord(kSaveCommand);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.crcStep = 7;
    return Transact(x);
}

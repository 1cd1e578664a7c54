#include "support/trace_capture.h"

#include "kelvo/automation.h"

namespace kelvo::test {

TraceCapture::TraceCapture(std::uint32_t mask) {
    SetTraceSink(
        [](void* self, std::uint32_t category, std::u16string_view line) {
            auto* capture = static_cast<TraceCapture*>(self);
            capture->lines.push_back(Utf16ToUtf8(line));
            capture->categories.push_back(category);
            return true;
        },
        this, mask);
}

TraceCapture::~TraceCapture() {
    SetTraceSink(nullptr, nullptr, 0);
}

} // namespace kelvo::test

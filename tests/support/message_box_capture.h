// Records the message boxes shown while in scope instead of showing them.
#pragma once

#include "device/messages.h"

#include <string>
#include <string_view>
#include <vector>

namespace kelvo::test {

class MessageBoxCapture {
public:
    struct Box {
        std::u16string text, caption;
        unsigned style;
    };

    MessageBoxCapture() {
        Shown().clear();
        SetMessageBoxFunction(Record);
    }
    ~MessageBoxCapture() { SetMessageBoxFunction(nullptr); }
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

    // The boxes shown so far, oldest first.
    std::vector<Box>& boxes = Shown();

private:
    static std::vector<Box>& Shown() {
        static std::vector<Box> shown;
        return shown;
    }
    static void Record(std::u16string_view text, std::u16string_view caption, unsigned style) {
        Shown().push_back({std::u16string(text), std::u16string(caption), style});
    }
};

} // namespace kelvo::test

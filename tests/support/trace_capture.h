// Captures trace lines (as UTF-8) while in scope.
#pragma once

#include "kelvo/trace.h"

#include <string>
#include <vector>

namespace kelvo::test {

class TraceCapture {
public:
    explicit TraceCapture(std::uint32_t mask = 0xFFFFFFFF);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> lines;
    std::vector<std::uint32_t> categories;
};

} // namespace kelvo::test

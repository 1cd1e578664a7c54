#include "kelvo-sim/faults.h"

#include <charconv>

namespace kelvo::sim {
namespace {

bool ParseNumber(std::string_view text, std::uint32_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

struct FaultName {
    std::string_view name;
    FaultKind kind;
    bool takesValue;
};

constexpr FaultName kNames[] = {
    {"silent", FaultKind::Silent, false},
    {"delay", FaultKind::Delay, true},
    {"wrong-counter", FaultKind::WrongCounter, false},
    {"wrong-status", FaultKind::WrongStatus, false},
    {"device-error", FaultKind::DeviceError, true},
    {"bad-crc", FaultKind::BadCrc, false},
    {"wrong-address", FaultKind::WrongAddress, false},
    {"close", FaultKind::Close, false},
    {"cut", FaultKind::Cut, true},
    {"store-other", FaultKind::StoreOther, false},
};

} // namespace

bool ParseFault(std::string_view text, Fault& fault, std::string& error) {
    std::string_view name = text;
    std::string_view value;
    bool hasValue = false;
    if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        name = text.substr(0, colon);
        value = text.substr(colon + 1);
        hasValue = true;
    }
    for (const FaultName& entry : kNames) {
        if (entry.name != name)
            continue;
        if (entry.takesValue != hasValue) {
            error = "fault " + std::string(name) +
                    (entry.takesValue ? " needs a value (NAME:VALUE)" : " takes no value");
            return false;
        }
        fault.kind = entry.kind;
        fault.value = 0;
        if (hasValue && !ParseNumber(value, fault.value)) {
            error = "bad value in fault " + std::string(text);
            return false;
        }
        return true;
    }
    error = "unknown fault " + std::string(text);
    return false;
}

bool ParseFaultPlan(std::string_view line, FaultPlan& plan, std::string& error) {
    std::vector<std::string_view> words;
    for (std::size_t at = 0; at < line.size();) {
        std::size_t end = line.find_first_of(" \t\r\n", at);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > at)
            words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    FaultPlan parsed;
    if (words.size() == 1 && words[0] == "clear") {
        plan = parsed;
        return true;
    }
    for (std::size_t i = 0; i < words.size(); i += 2) {
        if (i + 1 >= words.size()) {
            error = "no value after " + std::string(words[i]);
            return false;
        }
        const std::string_view key = words[i];
        const std::string_view value = words[i + 1];
        std::uint32_t number = 0;
        if (key == "fault") {
            Fault fault;
            if (!ParseFault(value, fault, error))
                return false;
            parsed.faults.push_back(fault);
            continue;
        }
        if (!ParseNumber(value, number)) {
            error = "bad number " + std::string(value);
            return false;
        }
        if (key == "at" && number > 0) {
            parsed.firstRequest = number;
        } else if (key == "count") {
            parsed.count = number;
        } else if (key == "command" && number <= 0xFFFF) {
            parsed.command = static_cast<std::uint16_t>(number);
        } else {
            error = "bad word " + std::string(key) + " " + std::string(value);
            return false;
        }
    }
    if (parsed.faults.empty()) {
        error = "no fault given";
        return false;
    }
    plan = parsed;
    return true;
}

bool FaultPlan::AppliesTo(std::uint64_t requestNumber) const {
    if (faults.empty() || requestNumber < firstRequest)
        return false;
    return count == 0 || requestNumber - firstRequest < count;
}

} // namespace kelvo::sim

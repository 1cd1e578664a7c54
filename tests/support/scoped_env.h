// Sets an environment variable for a scope: a null pointer or an empty string
// object unsets it (an empty literal sets it empty); the old value, or its
// absence, comes back at the end.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace kelvo::test {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value ? std::optional<std::string>(value) : std::nullopt);
    }
    ScopedEnv(const char* name, const std::string& value)
        : ScopedEnv(name, value.empty() ? nullptr : value.c_str()) {}
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { Set(old_); }

private:
    void Set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace kelvo::test

// Runs the built kelvo program as a user runs it and checks what it printed.
#pragma once

#include "support/run_program.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {

// A command line: words split at blanks as a shell splits them, or listed
// one by one where a word is empty or holds a blank.
struct Words : std::vector<std::string> {
    Words() = default;
    Words(std::initializer_list<std::string> words) : vector(words) {}
    Words(std::vector<std::string> words) : vector(std::move(words)) {}
    Words(const char* line) : Words(std::string(line)) {}
    Words(const std::string& line) {
        std::istringstream in(line);
        for (std::string word; in >> word;)
            push_back(word);
    }
};

// kelvo ARGS with KELVO_CONF removed unless `env` sets it.
inline ProgramOutcome Kelvo(Words args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), KELVO_BIN_DIR "/kelvo");
    env.insert(env.begin(), "KELVO_CONF");
    return RunProgram(args, env);
}

// One run: exit status 0 prints `out` and on standard error `err` at its
// start (nothing when `err` is empty); 1 prints `out` and standard error starts
// with `err`; 2 (usage) prints an error starting with `err`; 3 (differences
// found) prints `out` alone.
struct ToolCase {
    Words args;
    int status = 0;
    std::string out = {};
    std::string err = {};
    std::vector<std::string> env = {};
};

inline ProgramOutcome Check(const ToolCase& c, Words before = {}) {
    before.insert(before.end(), c.args.begin(), c.args.end());
    ProgramOutcome o = Kelvo(before, c.env);
    SCOPED_TRACE(::testing::PrintToString(before) + "\n" + Describe(o));
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.out);
    if (c.err.empty() && c.status != 1)
        EXPECT_EQ(o.err.empty(), c.status != 2);
    else
        EXPECT_EQ(o.err.rfind(c.err, 0), 0u);
    return o;
}

// Each case in turn, every one after `before`.
inline void CheckAll(std::initializer_list<ToolCase> cases, const Words& before = {}) {
    for (const ToolCase& c : cases)
        Check(c, before);
}

// The JSON line of a successful call with `result`.
inline std::string JsonOk(const std::string& result) {
    return "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":" + result +
           "}\n";
}

} // namespace kelvo::test

// Runs the built kelvo program as a user runs it and checks what it printed.
#pragma once

#include "support/run_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvo::test {

// kelvo ARGS with KELVO_CONF removed unless `env` sets it.
inline ProgramOutcome Kelvo(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), KELVO_BIN_DIR "/kelvo");
    env.insert(env.begin(), "KELVO_CONF");
    return RunProgram(args, env);
}

// One run: exit status 0 prints `out` and on standard error `err` at its
// start (nothing when `err` is empty); 1 prints `out` and standard error starts
// with `err`; 2 (usage) prints an error starting with `err`.
struct ToolCase {
    std::vector<std::string> args;
    int status = 0;
    std::string out = {};
    std::string err = {};
    std::vector<std::string> env = {};
};

inline ProgramOutcome Check(const ToolCase& c, std::vector<std::string> before = {}) {
    before.insert(before.end(), c.args.begin(), c.args.end());
    ProgramOutcome o = Kelvo(before, c.env);
    std::string line;
    for (const std::string& a : before)
        line += a + " ";
    SCOPED_TRACE(line + "\n" + Describe(o));
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out, c.out);
    if (c.err.empty() && c.status != 1)
        EXPECT_EQ(o.err.empty(), c.status == 0);
    else
        EXPECT_EQ(o.err.rfind(c.err, 0), 0u);
    return o;
}

// The JSON line of a successful call with `result`.
inline std::string JsonOk(const std::string& result) {
    return "{\"ok\":true,\"hresult\":0,\"errorCode\":0,\"deviceStatus\":0,\"result\":" + result +
           "}\n";
}

} // namespace kelvo::test

// Passwords of a run: where they come from, so that they need not stand on the
// command line (where every user of the machine can read them), and how they
// are kept out of what the tool prints.
//
// The login password of --user NAME: --password-file FILE, else
// $KELVO_PASSWORD, else a prompt without echo on the terminal. A new password
// of user administration: --new-password-file FILE, else $KELVO_NEW_PASSWORD,
// else a prompt, asked twice. A file gives its first line.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace kelvo::tool {

class Secrets {
public:
    // --user, --password-file, --new-password-file.
    void AddOptions(CLI::App& app);
    // Where warnings about the sources go (a password file others can read).
    void OnWarning(std::function<void(const std::string&)> warn) { warn_ = std::move(warn); }

    const std::string& user() const { return user_; }

    // The login password (asked once per run); false with the reason in
    // `error` when no source gives one.
    bool LoginPassword(std::string* password, std::string* error);
    // A new password for `forWhom`; false with the reason in `error`.
    bool NewPassword(const std::string& forWhom, std::string* password, std::string* error);

    // A text to keep out of printed lines; its scrambled form is kept out too.
    void Add(std::string_view secret);
    // A scrambled password item; its plain form is kept out too.
    void AddScrambled(std::string_view item);
    // The text with every secret replaced by "***".
    std::string Mask(std::string_view text) const;

private:
    bool FromFile(const std::string& path, std::string* password, std::string* error);

    std::string user_;
    std::string passwordFile_;
    std::string newPasswordFile_;
    bool haveLogin_ = false;
    std::string login_;
    std::vector<std::string> secrets_;
    std::function<void(const std::string&)> warn_;
};

// Asks on the controlling terminal with echo off; false when there is no
// terminal or nothing was read (end of input).
bool PromptHidden(const std::string& question, std::string* answer);

} // namespace kelvo::tool

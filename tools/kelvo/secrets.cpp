#include "secrets.h"

#include "kelvo/automation.h"
#include "operations/password_encoding.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kelvo::tool {
namespace {

constexpr char kMask[] = "***";

// The terminal's settings while a prompt has echo off, for the signal handler
// that gives them back when the user breaks off.
int g_promptFd = -1;
termios g_promptSaved;

void RestoreAndRaise(int signal) {
    if (g_promptFd >= 0)
        ::tcsetattr(g_promptFd, TCSAFLUSH, &g_promptSaved);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void Write(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string FirstLine(std::string text) {
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

} // namespace

bool PromptHidden(const std::string& question, std::string* answer) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios saved;
    if (::tcgetattr(fd, &saved) != 0) {
        ::close(fd);
        return false;
    }
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON | ECHONL;
    g_promptSaved = saved;
    g_promptFd = fd;
    struct sigaction restore {};
    restore.sa_handler = RestoreAndRaise;
    struct sigaction before[3];
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i)
        ::sigaction(signals[i], &restore, &before[i]);

    Write(fd, question);
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    std::string line;
    bool ended = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = line.empty();
            break;
        }
        if (c == '\n')
            break;
        line += c;
    }
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    for (int i = 0; i < 3; ++i)
        ::sigaction(signals[i], &before[i], nullptr);
    g_promptFd = -1;
    ::close(fd);
    if (ended)
        return false;
    *answer = FirstLine(line);
    return true;
}

void Secrets::AddOptions(CLI::App& app) {
    app.add_option("-u,--user", user_,
                   "log in as NAME after connecting (also $KELVO_USER); the password comes from "
                   "--password-file, $KELVO_PASSWORD or a prompt")
        ->envname("KELVO_USER")
        ->type_name("NAME");
    app.add_option("--password-file", passwordFile_,
                   "FILE whose first line is the login password (keep it chmod 600)")
        ->type_name("FILE");
    app.add_option("--new-password-file", newPasswordFile_,
                   "FILE whose first line is the new password of users create/passwd/"
                   "admin-passwd (else $KELVO_NEW_PASSWORD or a prompt)")
        ->type_name("FILE");
}

bool Secrets::FromFile(const std::string& path, std::string* password, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot read the password file: " + std::strerror(errno);
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    *password = FirstLine(text);
    if (password->empty()) {
        *error = path + ": the password file's first line is empty";
        return false;
    }
    struct stat st;
    if (warn_ && ::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        warn_(path + ": other users may read this password file (chmod 600 " + path + ")");
    return true;
}

bool Secrets::LoginPassword(std::string* password, std::string* error) {
    if (!haveLogin_) {
        const char* env = std::getenv("KELVO_PASSWORD");
        if (!passwordFile_.empty()) {
            if (!FromFile(passwordFile_, &login_, error))
                return false;
        } else if (env && *env) {
            login_ = env;
        } else if (!PromptHidden("Password for " + (user_.empty() ? "the login" : user_) + ": ",
                                 &login_) ||
                   login_.empty()) {
            *error = "no password for " + (user_.empty() ? "the login" : "'" + user_ + "'") +
                     ": give --password-file FILE, set KELVO_PASSWORD, or run on a terminal to "
                     "be asked";
            return false;
        }
        haveLogin_ = true;
        Add(login_);
    }
    *password = login_;
    return true;
}

bool Secrets::NewPassword(const std::string& forWhom, std::string* password, std::string* error) {
    const char* env = std::getenv("KELVO_NEW_PASSWORD");
    if (!newPasswordFile_.empty()) {
        if (!FromFile(newPasswordFile_, password, error))
            return false;
    } else if (env && *env) {
        *password = env;
    } else {
        std::string again;
        if (!PromptHidden("New password for " + forWhom + ": ", password) || password->empty() ||
            !PromptHidden("New password again: ", &again)) {
            *error = "no new password for " + forWhom +
                     ": give --new-password-file FILE, set KELVO_NEW_PASSWORD, or run on a "
                     "terminal to be asked";
            return false;
        }
        if (again != *password) {
            *error = "the two new passwords differ";
            return false;
        }
    }
    Add(*password);
    return true;
}

void Secrets::Add(std::string_view secret) {
    if (secret.empty())
        return;
    secrets_.emplace_back(secret);
    secrets_.push_back(Utf16ToUtf8(ScramblePassword(Utf8ToUtf16(secret))));
}

void Secrets::AddScrambled(std::string_view item) {
    if (item.empty())
        return;
    secrets_.emplace_back(item);
    const std::string plain = Utf16ToUtf8(UnscramblePassword(Utf8ToUtf16(item)));
    if (plain != "?")
        secrets_.push_back(plain);
}

std::string Secrets::Mask(std::string_view text) const {
    std::vector<const std::string*> order;
    for (const std::string& s : secrets_)
        order.push_back(&s);
    // Longest first, so that a secret inside another is not masked in halves.
    std::sort(order.begin(), order.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    std::string out(text);
    for (const std::string* secret : order) {
        if (secret->empty())
            continue;
        for (std::size_t at = out.find(*secret); at != std::string::npos;
             at = out.find(*secret, at + sizeof kMask - 1))
            out.replace(at, secret->size(), kMask);
    }
    return out;
}

} // namespace kelvo::tool

#include "automation/registry.h"

#include "automation/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kelvo::registry {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

bool UsableName(std::string_view name) {
    return name.find_first_of("\n\r") == std::string_view::npos;
}

bool UsablePath(std::string_view path) {
    if (path.empty() || !UsableName(path) || path.front() == '[' || path.back() == ']')
        return false;
    // No empty names: no leading, trailing or doubled separator.
    return path.front() != '\\' && path.back() != '\\' &&
           path.find("\\\\") == std::string_view::npos;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// Reads a quoted text at text[pos]; pos ends after the closing quote.
bool Unquote(std::string_view text, std::size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"')
        return false;
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= text.size())
                return false;
            c = text[pos] == 'n' ? '\n' : text[pos];
        }
        out += c;
    }
    return false;
}

// Whether `path` lies below `parent` (at any depth).
bool IsBelow(std::string_view path, std::string_view parent) {
    return path.size() > parent.size() + 1 && path[parent.size()] == '\\' &&
           SameNoCase(path.substr(0, parent.size()), parent);
}

bool ReadFile(const std::string& path, std::string& text, bool& missing) {
    missing = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        missing = errno == ENOENT;
        return missing;
    }
    if (!S_ISREG(st.st_mode))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return !in.bad();
}

bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder's writer lock, held for the lifetime of the object.
class FolderLock {
public:
    explicit FolderLock(const std::string& root) {
        fd_ = ::open((root + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return;
        int rc;
        do
            rc = ::flock(fd_, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace

bool NoCaseLess::operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char x = Lower(a[i]);
        const char y = Lower(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

bool HiveData::HasKey(std::string_view path) const {
    return keys_.find(path) != keys_.end();
}

bool HiveData::CreateKey(std::string_view path) {
    if (!UsablePath(path))
        return false;
    for (std::size_t sep = path.find('\\');; sep = path.find('\\', sep + 1)) {
        const std::string_view part = path.substr(0, sep);
        if (!HasKey(part))
            keys_.emplace(std::string(part), Values{});
        if (sep == std::string_view::npos)
            return true;
    }
}

bool HiveData::DeleteKey(std::string_view path) {
    if (HasSubkeys(path))
        return false;
    auto it = keys_.find(path);
    if (it != keys_.end())
        keys_.erase(it);
    return true;
}

void HiveData::DeleteTree(std::string_view path) {
    auto it = keys_.find(path);
    if (it == keys_.end())
        return;
    it = keys_.erase(it);
    while (it != keys_.end() && IsBelow(it->first, path))
        it = keys_.erase(it);
}

bool HiveData::HasSubkeys(std::string_view path) const {
    auto it = keys_.upper_bound(path);
    return it != keys_.end() && IsBelow(it->first, path);
}

std::vector<std::string> HiveData::Subkeys(std::string_view path) const {
    std::vector<std::string> names;
    for (auto it = keys_.upper_bound(path); it != keys_.end() && IsBelow(it->first, path); ++it) {
        const std::string_view rest = std::string_view(it->first).substr(path.size() + 1);
        if (rest.find('\\') == std::string_view::npos)
            names.emplace_back(rest);
    }
    return names;
}

const Values* HiveData::KeyValues(std::string_view path) const {
    auto it = keys_.find(path);
    return it == keys_.end() ? nullptr : &it->second;
}

const std::string* HiveData::Value(std::string_view path, std::string_view name) const {
    const Values* values = KeyValues(path);
    if (!values)
        return nullptr;
    auto it = values->find(name);
    return it == values->end() ? nullptr : &it->second;
}

bool HiveData::SetValue(std::string_view path, std::string_view name, std::string_view data) {
    if (!CreateKey(path))
        return false;
    Values& values = keys_.find(path)->second;
    auto it = values.find(name);
    if (it == values.end())
        values.emplace(std::string(name), std::string(data));
    else
        it->second = std::string(data);
    return true;
}

bool HiveData::DeleteValue(std::string_view path, std::string_view name) {
    auto key = keys_.find(path);
    if (key == keys_.end())
        return false;
    auto it = key->second.find(name);
    if (it == key->second.end())
        return false;
    key->second.erase(it);
    return true;
}

std::string HiveData::Text() const {
    std::string text = "; Kelvo registry hive\n";
    for (const auto& [path, values] : keys_) {
        text += "\n[" + path + "]\n";
        for (const auto& [name, data] : values)
            text += (name.empty() ? std::string("@") : Quote(name)) + "=" + Quote(data) + "\n";
    }
    return text;
}

bool HiveData::Parse(std::string_view text, HiveData& out) {
    HiveData data;
    std::string current;
    bool inKey = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (line.size() < 3 || line.back() != ']')
                return false;
            current = std::string(line.substr(1, line.size() - 2));
            if (!data.CreateKey(current))
                return false;
            inKey = true;
            continue;
        }
        if (!inKey)
            return false;
        std::string name;
        std::size_t pos = 0;
        if (line.front() == '@')
            pos = 1;
        else if (!Unquote(line, pos, name))
            return false;
        std::string value;
        if (pos >= line.size() || line[pos] != '=')
            return false;
        ++pos;
        if (!Unquote(line, pos, value) || pos != line.size())
            return false;
        data.SetValue(current, name, value);
    }
    out = std::move(data);
    return true;
}

std::string RootDirectory() {
    const char* env = std::getenv("KELVO_REGISTRY");
    if (env && env[0])
        return env;
    return "/etc/kelvo/registry";
}

std::string HiveFile(const std::string& root, Hive hive) {
    switch (hive) {
    case Hive::ClassesRoot:
        return root + "/classes_root.reg";
    case Hive::LocalMachine:
        return root + "/local_machine.reg";
    }
    return {};
}

bool Load(const std::string& root, Hive hive, HiveData& data) {
    std::string text;
    bool missing = false;
    if (!ReadFile(HiveFile(root, hive), text, missing))
        return false;
    if (missing) {
        data = HiveData{};
        return true;
    }
    return HiveData::Parse(text, data);
}

bool Update(const std::string& root, Hive hive, const std::function<bool(HiveData&)>& edit) {
    if (root.empty() || !MakeFolders(root))
        return false;
    FolderLock lock(root);
    if (!lock.Held())
        return false;
    HiveData data;
    if (!Load(root, hive, data))
        return false;
    if (!edit(data))
        return true;
    return WriteFileAtomically(HiveFile(root, hive), data.Text(), 0644);
}

std::optional<std::string> ReadString(Hive hive, std::string_view path, std::string_view name) {
    HiveData data;
    if (!Load(RootDirectory(), hive, data))
        return std::nullopt;
    const std::string* value = data.Value(path, name);
    if (!value)
        return std::nullopt;
    return *value;
}

} // namespace kelvo::registry

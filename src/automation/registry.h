// The registry: a file-backed store of the two hives the component uses, the
// classes root and the local machine. Each hive is one text file in the
// registry folder ($KELVO_REGISTRY, else /etc/kelvo/registry):
//
//   classes_root.reg, local_machine.reg:
//     ; comment lines start with ';'
//     [CLSID\{...}\InprocServer32]      one line per key, keys sorted
//     @="/usr/lib/libkelvo.so"          the default value
//     "ThreadingModel"="Apartment"      named string values, sorted
//
// Key and value names are compared without regard to the case of ASCII
// letters. In quoted texts '\' and '"' are written as "\\" and "\"", a line
// feed as "\n". Writers hold an exclusive lock on the folder's ".lock" file
// for the whole read-modify-write and replace a hive at once (temporary file
// and rename), so readers never need the lock and never see half a file.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::registry {

enum class Hive { ClassesRoot, LocalMachine };

struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

using Values = std::map<std::string, std::string, NoCaseLess>; // "" is the default value

// One hive in memory. Key paths are names joined by '\'.
class HiveData {
public:
    bool HasKey(std::string_view path) const;
    // Creates the key and its parents; false for an unusable path (empty
    // name, line break, a name starting with '[' or ending with ']').
    bool CreateKey(std::string_view path);
    // Deletes a key without subkeys; false when it has subkeys.
    bool DeleteKey(std::string_view path);
    // Deletes a key with its whole subtree.
    void DeleteTree(std::string_view path);
    bool HasSubkeys(std::string_view path) const;
    std::vector<std::string> Subkeys(std::string_view path) const; // direct children, names only
    const Values* KeyValues(std::string_view path) const;
    const std::string* Value(std::string_view path, std::string_view name) const;
    // Creates the key when missing; false for an unusable path or name.
    bool SetValue(std::string_view path, std::string_view name, std::string_view data);
    bool DeleteValue(std::string_view path, std::string_view name);
    bool Empty() const { return keys_.empty(); }

    // The file form; Parse accepts it back (false on a line it cannot read).
    std::string Text() const;
    static bool Parse(std::string_view text, HiveData& out);

private:
    std::map<std::string, Values, NoCaseLess> keys_;
};

// $KELVO_REGISTRY when set and not empty, else /etc/kelvo/registry.
std::string RootDirectory();
// The file of a hive in a registry folder.
std::string HiveFile(const std::string& root, Hive hive);

// Reads a hive; a missing file (or folder) is an empty hive. False when the
// file exists but cannot be read or parsed.
bool Load(const std::string& root, Hive hive, HiveData& data);

// Read-modify-write of a hive under the folder's lock (the folder is created
// when missing). `edit` returns whether it changed anything; the file is
// written only then. False when the folder cannot be locked, the hive not
// read, or the new file not written: the hive stays as it was.
bool Update(const std::string& root, Hive hive, const std::function<bool(HiveData&)>& edit);

// A string value of the registry at RootDirectory(); nullopt when missing.
std::optional<std::string> ReadString(Hive hive, std::string_view path, std::string_view name);

} // namespace kelvo::registry

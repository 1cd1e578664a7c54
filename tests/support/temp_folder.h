// A fresh, empty folder of the running test under the test temporary folder,
// removed again at the end of its scope.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace kelvo::test {

// "kelvo-<tag>-<pid>-<test name>" under the test temporary folder; the '/' of
// a parameterised test's name becomes '-', so that the path is one folder.
inline std::string TestFolderPath(const std::string& tag) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
        c = c == '/' ? '-' : c;
    return ::testing::TempDir() + "kelvo-" + tag + "-" + std::to_string(::getpid()) + "-" + name;
}

class TempFolder {
public:
    explicit TempFolder(const std::string& tag) : path_(TestFolderPath(tag)) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` in the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace kelvo::test

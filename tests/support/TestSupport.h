#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace talvex::test {

// A fresh folder under the test's home, removed when it goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::error_code ignored_;
};

std::string readText(const std::string& path);
int countOf(const std::string& text, const std::string& part);
// Checks every few ms (in the Qt event loop, or asleep) until done or seconds passed.
bool waitUntil(const std::function<bool()>& done, double seconds = 60.0);
std::vector<std::string> listDir(const std::string& path);

// Runs a command through the shell and returns its standard output.
std::string runCommand(const std::string& command, int* exitCode = nullptr);

// Absolute path of a built program (the talvex executable, a tool).
std::string binaryPath(const std::string& name);
std::string sourcePath(const std::string& relative);

}  // namespace talvex::test

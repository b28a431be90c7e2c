#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/CameraDevice.h"

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

// Outside the webcam emulator: runs the current test again among webcams made
// from the configuration, with a truth log, and fails it if that run fails;
// false. Inside: true, go on.
bool amongWebcams(const std::string& config);
std::string sourcePath(const std::string& relative);
// Synthetic camera number as a device, shown as name (by default its system name).
inline CameraDevice synthetic(int number, std::string name = {}) {
    std::string system = "Synthetic Camera " + std::to_string(number);
    return {"synthetic-" + std::to_string(number), name.empty() ? system : name, system};
}
// Presentation times of a movie's frames, as ffprobe reads them.
std::vector<double> movieFrameTimes(const std::string& path);

// Captures standard output, where the log goes; what is not taken is printed at the end.
struct LogCapture {
    LogCapture() { testing::internal::CaptureStdout(); }
    ~LogCapture() { std::fputs(testing::internal::GetCapturedStdout().c_str(), stdout); }
    std::string take() {  // what was logged since the last take
        std::string log = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return log;
    }
};

}  // namespace talvex::test

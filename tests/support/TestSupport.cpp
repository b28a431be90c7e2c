#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace talvex::test {

TempDir::TempDir() {
    const char* base = std::getenv("TALVEX_TEST_HOME");
    std::string pattern =
        base ? std::string(base) + "/tmp" : std::filesystem::temp_directory_path().string();
    std::filesystem::create_directories(pattern);
    path_ = ::mkdtemp((pattern += "/talvex-XXXXXX").data());
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // A polling loop would add CPU time of its own to what a benchmark measures.
    const bool inEventLoop = qApp && QThread::currentThread() == qApp->thread();
    auto nap = [] {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    };
    while (!done() && std::chrono::steady_clock::now() < end)
        inEventLoop ? nap() : QThread::msleep(5);
    return done();
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string runCommand(const std::string& command, int* exitCode) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (int c; pipe && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
    const int status = pipe ? ::pclose(pipe) : -1;
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

std::string binaryPath(const std::string& name) {
    return std::string(TALVEX_BINARY_DIR) + "/" + name;
}
std::string sourcePath(const std::string& relative) {
    return std::string(TALVEX_SOURCE_DIR) + "/" + relative;
}

std::vector<double> movieFrameTimes(const std::string& path) {
    std::istringstream lines(
        runCommand("ffprobe -v error -select_streams v:0 -show_entries "
                   "frame=pts_time -of csv=p=0 '" +
                   path + "'"));
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::stod(line));
    return times;
}

}  // namespace talvex::test

// Kept out of TestSupport.cpp: the benchmarks share that file without GoogleTest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"

namespace talvex::test {

bool amongWebcams(const std::string& config) {
    if (std::getenv("TALVEX_WEBCAM_CONTROL")) return true;
    TempDir dir;
    std::ofstream(dir.file("cams")) << config;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    int code = -1;
    // FFmpeg's v4l2 input leaks its buffer tables when it cannot start a stream.
    std::string output =
        runCommand("LSAN_OPTIONS=suppressions=" TALVEX_SOURCE_DIR
                   "/scripts/lsan.supp "
                   "ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=0 " +
                       binaryPath("tools/webcam/with-webcams") + " --truth " + dir.file("truth") +
                       " " + dir.file("cams") + " -- " + self + " --gtest_filter='" +
                       test->test_suite_name() + "." + test->name() + "' 2>&1",
                   &code);
    EXPECT_EQ(code, 0) << output;
    return false;
}

}  // namespace talvex::test

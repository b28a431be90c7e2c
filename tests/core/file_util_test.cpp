#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <tuple>

#include "core/FileUtil.h"
#include "core/Log.h"
#include "support/TestSupport.h"

using namespace talvex;

namespace {

using Status = SmallFile::Status;
using Make = std::function<void(const std::string&)>;

}  // namespace

// Only regular files up to the cap are read and the rest is said once;
// creating a file never follows a link nor blocks on what is in the way.
TEST(FileUtil, ReadsOnlyRegularFilesAndCreatesNothingThroughWhatIsInTheWay) {
    ::alarm(30);  // a FIFO that stalls a reader or a writer ends the program, not hangs it
    test::TempDir dir;
    const std::tuple<const char*, Make, Status, std::string> cases[] = {
        {"regular", [](auto& p) { writeFile(p, "{\"a\":\"b\"}"); }, Status::read, "{\"a\":\"b\"}"},
        {"at the cap", [](auto& p) { writeFile(p, std::string(16, 'x')); }, Status::read,
         std::string(16, 'x')},
        {"over the cap", [](auto& p) { writeFile(p, std::string(17, 'x')); }, Status::skipped,
         "larger than 16 bytes"},
        {"fifo", [](auto& p) { ::mkfifo(p.c_str(), 0600); }, Status::skipped,
         "a FIFO, not a regular file"},
        {"zero", [](auto& p) { (void)::symlink("/dev/zero", p.c_str()); }, Status::skipped,
         "a device, not a regular file"},
        {"folder", [](auto& p) { makeDirectories(p); }, Status::skipped,
         "a folder, not a regular file"},
        {"dangling", [](auto& p) { (void)::symlink("/nonexistent/x", p.c_str()); }, Status::skipped,
         "a link to nothing"},
        {"missing", [](auto&) {}, Status::missing, ""},
    };
    for (const auto& [name, make, status, bytesOrProblem] : cases) {
        SCOPED_TRACE(name);
        std::string path = dir.file(name);
        make(path);
        testing::internal::CaptureStdout();
        SmallFile file = readSmallFile(path, 16);
        flushLog();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  status == Status::skipped
                      ? "Talvex: skipped " + path + ": " + bytesOrProblem + "\n"
                      : "");
        EXPECT_EQ(file.status, status);
        EXPECT_EQ(file.bytes, status == Status::read ? bytesOrProblem : "");
    }
    std::string target = dir.file("target");
    ASSERT_FALSE(writeFile(target, "precious"));
    // An empty problem: created.
    const std::tuple<const char*, Make, bool, std::string> creations[] = {
        {"new", [](auto&) {}, true, ""},
        {"stale", [](auto& p) { writeFile(p, "old"); }, true, "the file exists already"},
        {"replaced", [](auto& p) { writeFile(p, "old"); }, false, ""},
        {"link", [&](auto& p) { (void)::symlink(target.c_str(), p.c_str()); }, true,
         "a link is in the way"},
        {"link2", [&](auto& p) { (void)::symlink(target.c_str(), p.c_str()); }, false,
         "a link is in the way"},
        {"fifo2", [](auto& p) { ::mkfifo(p.c_str(), 0600); }, false, "a FIFO is in the way"},
        {"folder2", [](auto& p) { makeDirectories(p); }, false, "a folder is in the way"},
    };
    for (const auto& [name, make, mustBeNew, problem] : creations) {
        SCOPED_TRACE(name);
        std::string path = dir.file(name);
        make(path);
        CreatedFile file = createFileForWriting(path, mustBeNew);
        if (problem.empty()) {
            ASSERT_GE(file.fd, 0) << file.error;
            EXPECT_TRUE(writeAll(file.fd, "new"));
            ::close(file.fd);
            EXPECT_EQ(test::readText(path), "new");
        } else {
            EXPECT_EQ(file.fd, -1);
            EXPECT_EQ(file.error, path + ": " + problem);
        }
    }
    EXPECT_EQ(test::readText(target), "precious");
    // A whole-file replacement puts a file where the link was, leaving its target alone.
    EXPECT_EQ(writeFileAtomically(dir.file("link"), "record"), std::nullopt);
    EXPECT_EQ(test::readText(target), "precious");
    EXPECT_EQ(test::readText(dir.file("link")), "record");
    EXPECT_TRUE(writeFileAtomically(dir.file("folder2"), "record").has_value());
    EXPECT_TRUE(writeFile(dir.file("link2"), "x").has_value());
    EXPECT_EQ(test::readText(target), "precious");
    ::alarm(0);
}

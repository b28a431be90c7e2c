#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "core/FileUtil.h"
#include "core/Log.h"
#include "support/TestSupport.h"

using namespace talvex;

namespace {

using Status = SmallFile::Status;

// Puts at path a "fifo", a "folder", a link "->target", a file "=bytes" or nothing.
void make(const std::string& path, const std::string& what) {
    if (what == "fifo") ::mkfifo(path.c_str(), 0600);
    if (what == "folder") makeDirectories(path);
    if (what.starts_with("->")) (void)::symlink(what.c_str() + 2, path.c_str());
    if (what.starts_with("=")) writeFile(path, what.substr(1));
}

}  // namespace

// Only regular files up to the cap are read and the rest is said once;
// creating a file never follows a link nor blocks on what is in the way.
TEST(FileUtil, ReadsOnlyRegularFilesAndCreatesNothingThroughWhatIsInTheWay) {
    ::alarm(30);  // a FIFO that stalls a reader or a writer ends the program, not hangs it
    test::TempDir dir;
    const std::tuple<std::string, Status, std::string> reads[] = {
        {"={\"a\":\"b\"}", Status::read, "{\"a\":\"b\"}"},
        {"=" + std::string(16, 'x'), Status::read, std::string(16, 'x')},
        {"=" + std::string(17, 'x'), Status::skipped, "larger than 16 bytes"},
        {"fifo", Status::skipped, "a FIFO, not a regular file"},
        {"->/dev/zero", Status::skipped, "a device, not a regular file"},
        {"folder", Status::skipped, "a folder, not a regular file"},
        {"->/nonexistent/x", Status::skipped, "a link to nothing"},
        {"", Status::missing, ""},
    };
    int number = 0;
    for (const auto& [what, status, bytesOrProblem] : reads) {
        SCOPED_TRACE(what);
        const std::string path = dir.file(std::to_string(++number));
        make(path, what);
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
    const std::tuple<const char*, std::string, bool, std::string> creations[] = {
        {"new", "", true, ""},
        {"stale", "=old", true, "the file exists already"},
        {"replaced", "=old", false, ""},
        {"link", "->" + target, true, "a link is in the way"},
        {"link2", "->" + target, false, "a link is in the way"},
        {"fifo", "fifo", false, "a FIFO is in the way"},
        {"folder", "folder", false, "a folder is in the way"},
    };
    for (const auto& [name, what, mustBeNew, problem] : creations) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        make(path, what);
        CreatedFile file = createFileForWriting(path, mustBeNew);
        EXPECT_EQ(file.error, problem.empty() ? "" : path + ": " + problem);
        EXPECT_EQ(file.fd >= 0, problem.empty());
        if (file.fd < 0) continue;
        EXPECT_TRUE(writeAll(file.fd, "new"));
        ::close(file.fd);
        EXPECT_EQ(test::readText(path), "new");
    }
    // A whole-file replacement puts a file where the link was, leaving its target alone.
    EXPECT_EQ(writeFileAtomically(dir.file("link"), "record"), std::nullopt);
    EXPECT_EQ(test::readText(dir.file("link")), "record");
    EXPECT_TRUE(writeFileAtomically(dir.file("folder"), "record").has_value());
    EXPECT_TRUE(writeFile(dir.file("link2"), "x").has_value());
    EXPECT_EQ(test::readText(target), "precious");
    ::alarm(0);
}

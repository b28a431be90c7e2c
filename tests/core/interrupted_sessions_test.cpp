#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/FileUtil.h"
#include "core/InterruptedSessions.h"
#include "support/TestSupport.h"

using namespace talvex;

TEST(InterruptedSessions, OnlyRecordsWithoutAnEnd) {
    test::TempDir root;
    struct Case {
        const char* folder;
        const char* json;  // nullptr: no session.json
    } cases[] = {
        {"a_20250101_000000", R"({"session_id":"a","recording_start":"2025-01-01T00:00:00Z"})"},
        {"b_20250101_000000", R"({"session_id":"b","recording_end":"2025-01-01T00:00:09Z"})"},
        {"c_20250101_000000", "{not json"},
        {"d_20250101_000000", nullptr},
        {"e_20250101_000000", R"({"session_id":"e"})"},
    };
    for (const auto& c : cases) {
        makeDirectories(root.file(c.folder));
        if (c.json) writeFile(root.file(c.folder) + "/session.json", c.json);
    }
    // Neither a FIFO nor an endless device stalls the scan.
    makeDirectories(root.file("f_20250101_000000"));
    ASSERT_EQ(::mkfifo(root.file("f_20250101_000000/session.json").c_str(), 0600), 0);
    makeDirectories(root.file("g_20250101_000000"));
    ASSERT_EQ(::symlink("/dev/zero", root.file("g_20250101_000000/session.json").c_str()), 0);
    EXPECT_EQ(
        findInterruptedSessions(root.path()),
        (std::vector<std::string>{root.file("a_20250101_000000"), root.file("e_20250101_000000")}));
    EXPECT_TRUE(findInterruptedSessions(root.file("missing")).empty());
}

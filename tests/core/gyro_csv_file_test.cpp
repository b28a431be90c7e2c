#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <tuple>

#include "core/FileUtil.h"
#include "core/GyroCsvFile.h"
#include "core/GyroSessionStats.h"
#include "core/SessionFiles.h"
#include "support/TestSupport.h"

using namespace talvex;

// Whatever already has the name (an earlier recording, a planted link) is left
// as it is, and the session says once that it records no gyroscope. A file that
// cannot grow (a full disk, here a file-size limit) keeps whole lines only: the
// line that did not fit is cut away, said once, and nothing more is appended.
TEST(GyroCsvFile, NeverWritesIntoWhatIsThereAndEndsOnAWholeLine) {
    test::TempDir dir;
    ASSERT_FALSE(writeFile(dir.file("elsewhere"), "precious"));
    for (std::string kind : {"stale", "link", "folder", "missing"}) {
        SCOPED_TRACE(kind);
        const std::string folder = dir.file(kind), path = folder + "/gyro.csv";
        if (kind != "missing") makeDirectories(folder);
        if (kind == "stale") writeFile(path, "earlier session\n");
        if (kind == "link") (void)::symlink(dir.file("elsewhere").c_str(), path.c_str());
        if (kind == "folder") makeDirectories(path);
        GyroCsvFile file;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(file.open(folder));
        EXPECT_FALSE(file.append(gyroCsvLine(1, 2, 3, 4)));
        EXPECT_FALSE(file.isOpen());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(out.starts_with("Talvex: cannot create gyro.csv, this session records no "
                                    "gyroscope: " +
                                    path + ": ") &&
                    test::countOf(out, "\n") == 1)
            << out;
    }
    EXPECT_EQ(test::readText(dir.file("stale/gyro.csv")), "earlier session\n");
    EXPECT_EQ(test::readText(dir.file("elsewhere")), "precious");

    const std::string line = gyroCsvLine(0.5, 0, 0, 1e-05);  // 18 bytes
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{kGyroCsvHeader.size() + 2 * line.size() + line.size() / 2,
                       previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStdout();
    GyroCsvFile full;
    ASSERT_TRUE(full.open(dir.path()));
    int rows = 0;
    for (int i = 0; i < 5; ++i) rows += full.append(line);
    EXPECT_EQ(rows, 2) << "what was appended is what gyro.csv holds";
    full.close();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Talvex: gyro.csv write failed, no more samples are written: File too large\n");
    EXPECT_EQ(test::readText(dir.file("gyro.csv")), std::string(kGyroCsvHeader) + line + line);
}

// The stop's summary: the longest stretch without a sample counts from the
// session's start and up to its stop; the record's figure is 0 without samples.
TEST(GyroSessionStats, ReportsKeptSamplesAndTheLongestGap) {
    const std::tuple<std::vector<double>, double, double, const char*> cases[] = {
        {{}, 2.5, 0.0, "Talvex Gyro: session kept 0 samples, longest gap 2.500 s"},
        {{0.25, 0.5, 2.0, 2.0025},
         2.1,
         1.5,
         "Talvex Gyro: session kept 4 samples, longest gap 1.500 s"},
        {{1.25, 1.5}, 1.6, 1.25, "Talvex Gyro: session kept 2 samples, longest gap 1.250 s"},
        {{0.1, 0.2}, 3.0, 2.8, "Talvex Gyro: session kept 2 samples, longest gap 2.800 s"},
    };
    for (const auto& [times, length, gap, line] : cases) {
        GyroSessionStats stats;
        for (double t : times) stats.add(t);
        EXPECT_EQ(stats.report(length), line);
        EXPECT_DOUBLE_EQ(stats.longestGap(length), gap);
        EXPECT_EQ(stats.kept(), times.size());
    }
}

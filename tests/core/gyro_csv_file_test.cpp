#include <gtest/gtest.h>
#include <unistd.h>

#include "core/GyroCsvFile.h"
#include "core/SessionFiles.h"
#include "support/TestSupport.h"

using namespace talvex;

TEST(GyroCsvFile, TruncatesAStaleFileAndWritesHeaderAndLines) {
    test::TempDir dir;
    {
        GyroCsvFile old;
        ASSERT_TRUE(old.open(dir.path()));
        for (int i = 0; i < 100; ++i) old.append(gyroCsvLine(i, 1, 2, 3));
    }
    GyroCsvFile file;
    ASSERT_TRUE(file.open(dir.path()));
    file.append(gyroCsvLine(0.5, 0, 0, 1e-05));
    file.close();
    EXPECT_EQ(test::readText(dir.file("gyro.csv")), std::string(kGyroCsvHeader) + "0.5,0.0,0.0,1e-05\n");
}

TEST(GyroCsvFile, FullDiskIsReportedOnceAndStopsAppending) {
    test::TempDir dir;
    ASSERT_EQ(::symlink("/dev/full", dir.file("gyro.csv").c_str()), 0);
    GyroCsvFile file;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(file.open(dir.path()));
    for (int i = 0; i < 10; ++i) file.append(gyroCsvLine(i, 0, 0, 0));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Talvex: gyro.csv write failed, no more samples are written: No space left on device\n");
}

TEST(GyroCsvFile, MissingFolderLeavesItClosed) {
    test::TempDir dir;
    GyroCsvFile file;
    EXPECT_FALSE(file.open(dir.file("missing")));
    file.append("ignored\n");
    EXPECT_FALSE(file.isOpen());
}

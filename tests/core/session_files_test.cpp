#include <gtest/gtest.h>

#include <locale>
#include <nlohmann/json.hpp>

#include "core/NumberFormat.h"
#include "core/SessionFiles.h"

using namespace talvex;

TEST(NumberFormat, ShortestRoundTripWithPointOrTwoDigitExponent) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {2.0, "2.0"},
        {1.0, "1.0"},
        {0.0123, "0.0123"},
        {12.5, "12.5"},
        {-0.004, "-0.004"},
        {0.52, "0.52"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {-3.25e-07, "-3.25e-07"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-300, "1e-300"},
        {123456789.0, "123456789.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatNumber(c.value), c.text) << c.text;
}

// A German desktop writes numbers with a decimal comma; gyro.csv never does.
TEST(NumberFormat, IgnoresTheProcessLocale) {
    std::locale::global(std::locale("de_DE.UTF-8"));  // made by scripts/setup.sh
    EXPECT_EQ(formatNumber(0.52), "0.52");
    EXPECT_EQ(gyroCsvLine(0.52, 0.0123, -0.004, 1e-05), "0.52,0.0123,-0.004,1e-05\n");
    std::locale::global(std::locale::classic());
}

TEST(SessionFolderName, SanitisesNineCharactersAndNul) {
    std::tm local{};
    local.tm_year = 125, local.tm_mon = 2, local.tm_mday = 14, local.tm_hour = 9, local.tm_min = 26,
    local.tm_sec = 53;
    local.tm_isdst = -1;
    std::time_t when = std::mktime(&local);
    struct Case {
        std::optional<std::string> name;
        std::string folder;
    } cases[] = {
        {"Run 3/4: left?", "Run 3_4_ left__20250314_092653"},
        {"a//b", "a__b_20250314_092653"},
        {"\\:*?\"<>|", "_________20250314_092653"},
        {"   ", "   _20250314_092653"},
        {"", "session_20250314_092653"},
        {std::nullopt, "session_20250314_092653"},
        {std::string("x\0y", 3), "x_y_20250314_092653"},
        {"..", ".._20250314_092653"},
    };
    for (const auto& c : cases) {
        std::string folder = sessionFolderName(c.name, when);
        EXPECT_EQ(folder, c.folder);
        EXPECT_TRUE(isUsableFolderName(folder));
    }
    EXPECT_FALSE(isUsableFolderName(sessionFolderName(std::string(300, 'a'), when)));
}

TEST(SessionMetadata, SortedKeysUtcDatesOptionalEndAndVideoStart) {
    SessionMetadata m{"session_20250314_092653",
                      "Lumetra Program",
                      {},
                      1741944413.7,
                      std::nullopt,
                      cameraLabels(2),
                      true};
    std::string open = encodeSessionMetadata(m);
    EXPECT_EQ(open.find("recording_end"), std::string::npos);
    EXPECT_EQ(open.find("video_start_seconds"), std::string::npos);
    m.recordingEnd = 1741944420.2;
    m.videoStartSeconds = 0.0425;
    m.animationsRun = {"jump", "jump"};
    std::string text = encodeSessionMetadata(m);
    EXPECT_EQ(text,
              "{\n"
              "  \"animations_run\": [\n    \"jump\",\n    \"jump\"\n  ],\n"
              "  \"cameras\": [\n    \"camera1\",\n    \"camera2\"\n  ],\n"
              "  \"gyroscope\": true,\n"
              "  \"initiated_by\": \"Lumetra Program\",\n"
              "  \"recording_end\": \"2025-03-14T09:27:00Z\",\n"
              "  \"recording_start\": \"2025-03-14T09:26:53Z\",\n"
              "  \"session_id\": \"session_20250314_092653\",\n"
              "  \"video_start_seconds\": 0.0425\n"
              "}");
    m.animationsRun = {std::string("bad\xff")};
    EXPECT_NO_THROW(nlohmann::json::parse(encodeSessionMetadata(m)));
}

TEST(Elapsed, HoursMinutesSeconds) {
    EXPECT_EQ(formatElapsed(0), "00:00:00");
    EXPECT_EQ(formatElapsed(3725), "01:02:05");
    EXPECT_EQ(formatElapsed(360000), "100:00:00");
}

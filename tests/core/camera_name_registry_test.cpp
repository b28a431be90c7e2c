#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "core/CameraIdentity.h"
#include "core/CameraNameRegistry.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using namespace talvex::test;

// Every readable name is kept and the bad members are dropped with a line;
// the next save writes back at least the names that were read.
TEST(CameraNameRegistry, KeepsEveryReadableNameOfAFlawedFile) {
    const std::tuple<std::string, json, std::string> cases[] = {
        {R"({"usb-A": "Left", "usb-B": "Ri)", {{"usb-A", "Left"}}, "is broken, keeping the 1"},
        {R"({"usb-A": "Left", "usb-B": 3, "usb-C": {"x": "y"}, "usb-D": "R"})",
         {{"usb-A", "Left"}, {"usb-D", "R"}},
         "dropped 2 camera names that are not texts"},
        {"[]", json::object(), "holds no object of camera names"},
        {"", json::object(), "is broken, keeping the 0"},
        {std::string("\0\xff\x01", 3), json::object(), "is broken, keeping the 0"},
    };
    for (const auto& [content, kept, line] : cases) {
        SCOPED_TRACE(content);
        TempDir dir;
        std::string path = dir.file("camera_names.json");
        ASSERT_FALSE(writeFile(path, content));
        testing::internal::CaptureStdout();
        CameraNameRegistry registry(path);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(line), std::string::npos) << out;
        EXPECT_EQ(json(registry.store()), kept);
        EXPECT_EQ(readText(path), content) << "reading never rewrites";
        EXPECT_EQ(registry.displayName("usb-Z", "Cam"), "Cam");
        json expected = kept;
        expected["usb-Z"] = "Cam";
        EXPECT_TRUE(waitUntil([&] {
            return json::parse(readText(path), nullptr, false) == expected;
        })) << readText(path);
    }
}

// Sightings and given names are saved compact, by renaming a copy over the
// file, and survive a new registry. An unreadable file may hold names: it is
// never replaced. Without a path, or one whose folder cannot be made (a file
// in the way stops root too), the names live in memory only.
TEST(CameraNameRegistry, NamesAreSavedWhereTheyCanBeAndKeptInMemoryElsewhere) {
    TempDir dir;
    std::string path = dir.file("Talvex/camera_names.json");
    {
        CameraNameRegistry registry(path);
        EXPECT_EQ(registry.displayName("usb-A", "HD Webcam"), "HD Webcam");
        EXPECT_EQ(registry.displayName("usb-B", "HD Webcam"), "HD Webcam");
        ASSERT_TRUE(waitUntil([&] { return fileExists(path); }));
        EXPECT_EQ(countOf(readText(path), "\n") + countOf(readText(path), ": "), 0) << "compact";
        registry.setName("Left", "usb-A");
        registry.setName("", "usb-B");             // an empty name is ignored
        registry.displayName("usb-C", "bad\xff");  // broken UTF-8 must not cost the others
    }
    EXPECT_EQ(listDir(dir.file("Talvex")), std::vector<std::string>{"camera_names.json"});
    json stored = json::parse(readText(path));
    EXPECT_EQ(stored["usb-A"], "Left");
    EXPECT_EQ(stored["usb-B"], "HD Webcam");
    CameraNameRegistry again(path);
    EXPECT_EQ(again.displayName("usb-A", "Renamed By Driver"), "Left");
    std::string big = "{\"usb-A\":\"" + std::string(kSmallFileCap, 'x') + "\"}";
    ASSERT_FALSE(writeFile(dir.file("big.json"), big));
    ASSERT_FALSE(writeFile(dir.file("plain"), "not a folder"));
    const std::string before = runCommand("ls -A");
    const std::pair<std::string, bool> cases[] = {
        {dir.file("big.json"), true}, {"", false}, {dir.file("plain/camera_names.json"), false}};
    for (const auto& [where, unreadable] : cases) {
        testing::internal::CaptureStdout();
        {
            CameraNameRegistry registry(where);
            registry.setName("Left", "usb-B");
            EXPECT_EQ(registry.displayName("usb-B", "Cam"), "Left") << where;
        }  // gone once its saves are done
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(countOf(out, "Talvex: skipped " + where + ": "), unreadable) << out;
    }
    EXPECT_EQ(runCommand("ls -A"), before) << "nothing in the working directory";
    EXPECT_EQ(readText(dir.file("plain")), "not a folder");
    EXPECT_EQ(readText(dir.file("big.json")), big);
}

// Twin cameras without a serial share a by-id name that follows the last one
// plugged, so only a serial makes that name an identity; otherwise the port.
TEST(CameraIdentity, SerialOrPortAndProduct) {
    const std::string byId = "usb-Acme_Cam-video-index0",
                      byPath = "pci-0:14.0-usb-0:2:1.0-video-index0";
    const std::tuple<CameraNodeFacts, std::string, std::vector<std::string>> cases[] = {
        {{"/dev/video0", byId, byPath, true, "Acme Cam", "usb-1", "Cam"}, byId, {}},
        {{"/dev/video0", byId, byPath, false, "Acme Cam", "usb-1", "Cam"},
         byPath + " Acme Cam",
         {byId}},
        {{"/dev/video2", "", byPath, false, "", "usb-1", "Cam"}, byPath + " Cam", {"usb-1 Cam"}},
        {{"/dev/video2", "", "", false, "", "usb-1", "Cam"}, "usb-1 Cam", {}},
    };
    for (const auto& [facts, id, legacy] : cases) {
        SCOPED_TRACE(id);
        EXPECT_EQ(stableCameraId(facts), id);
        EXPECT_EQ(legacyCameraIds(facts), legacy);
    }
}

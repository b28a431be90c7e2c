#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/CameraNameRegistry.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using nlohmann::json;
using talvex::test::readText;
using talvex::test::TempDir;

TEST(CameraNameRegistry, SightingsAndGivenNamesAreSavedAndSurviveANewRegistry) {
    TempDir dir;
    std::string path = dir.file("Talvex/camera_names.json");
    {
        CameraNameRegistry registry(path);
        EXPECT_EQ(registry.displayName("usb-A", "HD Webcam"), "HD Webcam");
        EXPECT_EQ(registry.displayName("usb-B", "HD Webcam"), "HD Webcam");
        std::string text = readText(path);
        EXPECT_TRUE(text.find('\n') == text.find(": ")) << "compact: " << text;
        registry.setName("Left", "usb-A");
        registry.setName("", "usb-B");             // an empty name is ignored
        registry.displayName("usb-C", "bad\xff");  // broken UTF-8 must not cost the others
    }
    // The temporary copy was renamed over the file.
    EXPECT_EQ(test::listDir(dir.file("Talvex")), std::vector<std::string>{"camera_names.json"});
    json stored = json::parse(readText(path));
    EXPECT_EQ(stored["usb-A"], "Left");
    EXPECT_EQ(stored["usb-B"], "HD Webcam");
    CameraNameRegistry again(path);
    EXPECT_EQ(again.displayName("usb-A", "Renamed By Driver"), "Left");
}

TEST(CameraNameRegistry, UnusableFilesStartEmptyAndAreReplacedAtTheNextSighting) {
    for (std::string content : {std::string("{\"usb-A\": \"Left\""), std::string("[]"),
                                std::string("{\"usb-A\": \"Left\", \"usb-B\": 3}"), std::string(""),
                                std::string("\0\xff\x01", 3)}) {
        SCOPED_TRACE(content);
        TempDir dir;
        std::string path = dir.file("camera_names.json");
        ASSERT_FALSE(writeFile(path, content));
        CameraNameRegistry registry(path);
        EXPECT_TRUE(registry.store().empty());
        EXPECT_EQ(readText(path), content) << "reading never rewrites";
        EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Cam");
        EXPECT_EQ(json::parse(readText(path)), json({{"usb-A", "Cam"}}));
    }
}

TEST(CameraNameRegistry, NoPathOrUnwritableFolderKeepsNamesInMemory) {
    TempDir dir;
    std::string before = test::runCommand("ls -A");
    CameraNameRegistry memory("");
    memory.setName("Left", "usb-A");
    EXPECT_EQ(memory.displayName("usb-A", "Cam"), "Left");
    EXPECT_EQ(test::runCommand("ls -A"), before) << "nothing in the working directory";

    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    std::string path = dir.file("locked/camera_names.json");
    ASSERT_TRUE(makeDirectories(dir.file("locked")));
    ASSERT_FALSE(writeFile(path, "{\"usb-A\":\"Left\"}"));
    ::chmod(dir.file("locked").c_str(), 0500);
    CameraNameRegistry registry(path);
    registry.setName("Right", "usb-A");
    EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Right");
    EXPECT_EQ(readText(path), "{\"usb-A\":\"Left\"}");
    ::chmod(dir.file("locked").c_str(), 0700);
}

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/CameraNameRegistry.h"
#include "core/FileUtil.h"
#include "support/TestSupport.h"

using namespace talvex;
using talvex::test::listDir;
using talvex::test::readText;
using talvex::test::TempDir;

namespace {

nlohmann::json fileJson(const std::string& path) {
    return nlohmann::json::parse(readText(path));
}

}  // namespace

TEST(CameraNameRegistry, FirstSightingsAreSavedCompactWithSystemNames) {
    TempDir dir;
    std::string path = dir.file("Talvex/camera_names.json");
    CameraNameRegistry registry(path);
    EXPECT_EQ(registry.displayName("usb-A", "HD Webcam"), "HD Webcam");
    EXPECT_EQ(registry.displayName("usb-B", "HD Webcam"), "HD Webcam");
    std::string text = readText(path);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find(": "), std::string::npos);
    EXPECT_EQ(fileJson(path), (nlohmann::json{{"usb-A", "HD Webcam"}, {"usb-B", "HD Webcam"}}));
    // Only the file itself remains: the temporary copy was renamed over it.
    EXPECT_EQ(listDir(dir.file("Talvex")), std::vector<std::string>{"camera_names.json"});
}

TEST(CameraNameRegistry, GivenNamesSurviveANewRegistryAndANewSystemName) {
    TempDir dir;
    std::string path = dir.file("camera_names.json");
    {
        CameraNameRegistry registry(path);
        registry.displayName("usb-A", "HD Webcam");
        registry.displayName("usb-B", "HD Webcam");
        registry.setName("Left", "usb-A");
        registry.setName("", "usb-B");
    }
    CameraNameRegistry again(path);
    EXPECT_EQ(again.displayName("usb-A", "Renamed By Driver"), "Left");
    EXPECT_EQ(again.displayName("usb-B", "Other"), "HD Webcam");
    EXPECT_EQ(fileJson(path), (nlohmann::json{{"usb-A", "Left"}, {"usb-B", "HD Webcam"}}));
}

TEST(CameraNameRegistry, UnusableFilesStartEmptyAndAreReplacedAtTheNextSighting) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "{\"usb-A\": \"Left\""},
        {"array", "[]"},
        {"numeric value", "{\"usb-A\": \"Left\", \"usb-B\": 3}"},
        {"string", "\"usb-A\""},
        {"empty", ""},
        {"binary", std::string("\0\xff\x01", 3)},
    };
    for (const auto& [label, content] : cases) {
        SCOPED_TRACE(label);
        TempDir dir;
        std::string path = dir.file("camera_names.json");
        ASSERT_FALSE(writeFile(path, content));
        CameraNameRegistry registry(path);
        EXPECT_TRUE(registry.store().empty());
        EXPECT_EQ(readText(path), content);  // reading never rewrites
        EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Cam");
        EXPECT_EQ(fileJson(path), (nlohmann::json{{"usb-A", "Cam"}}));
    }
}

TEST(CameraNameRegistry, ExtraMembersAndEscapesAreReadBack) {
    TempDir dir;
    std::string path = dir.file("camera_names.json");
    ASSERT_FALSE(writeFile(path, "{ \"a\\\"b\" : \"Caf\\u00e9 \\\\ cam\" ,\n \"x\": \"\" }"));
    CameraNameRegistry registry(path);
    EXPECT_EQ(registry.displayName("a\"b", "ignored"), "Caf\xc3\xa9 \\ cam");
    EXPECT_EQ(registry.store().size(), 2u);
}

TEST(CameraNameRegistry, EmptyPathKeepsNamesInMemoryOnly) {
    TempDir dir;
    std::string before = test::runCommand("ls -A");
    CameraNameRegistry registry("");
    EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Cam");
    registry.setName("Left", "usb-A");
    EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Left");
    EXPECT_EQ(test::runCommand("ls -A"), before);  // nothing in the working directory
}

TEST(CameraNameRegistry, UnwritableFolderKeepsWorkingInMemory) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    ASSERT_TRUE(makeDirectories(dir.file("locked")));
    ASSERT_FALSE(writeFile(dir.file("locked/camera_names.json"), "{\"usb-A\":\"Left\"}"));
    ::chmod(dir.file("locked").c_str(), 0500);
    CameraNameRegistry registry(dir.file("locked/camera_names.json"));
    registry.setName("Right", "usb-A");
    EXPECT_EQ(registry.displayName("usb-A", "Cam"), "Right");
    EXPECT_EQ(readText(dir.file("locked/camera_names.json")), "{\"usb-A\":\"Left\"}");
    ::chmod(dir.file("locked").c_str(), 0700);
}

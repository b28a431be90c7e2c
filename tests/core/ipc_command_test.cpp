#include <gtest/gtest.h>

#include <string>

#include "core/IPCCommand.h"

using namespace talvex;

namespace {

const std::string kLumetra = "Lumetra Program";

StartCommand start(std::optional<std::string> name) {
    return {std::move(name), kLumetra};
}

struct ParseCase {
    std::string text;
    IPCCommand expected;
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, GivesTheCommand) {
    EXPECT_EQ(describeCommand(parseCommand(GetParam().text)), describeCommand(GetParam().expected));
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Commands, ParseTable,
    ::testing::Values(
        // verbs are case-insensitive, arguments keep their case and inner spacing
        ParseCase{"START", start(std::nullopt)}, ParseCase{"Start\r\n", start(std::nullopt)},
        ParseCase{"start Run 3/4", start("Run 3/4")}, ParseCase{"START  x", start(" x")},
        ParseCase{"START x  y \n", start("x  y")},
        ParseCase{"  \tSTART Caf\xC3\xA9\xE3\x80\x80", start("Caf\xC3\xA9")},
        ParseCase{"STOP please", StopCommand{}}, ParseCase{"stop\r\n", StopCommand{}},
        ParseCase{"ANIMATION\n", AnimationCommand{"unknown"}},
        ParseCase{"animation fixation cross", AnimationCommand{"fixation cross"}},
        // only U+0020 separates the verb
        ParseCase{"START\tx", UnknownCommand{"START\tx"}},
        ParseCase{"STOP\nSTART", UnknownCommand{"STOP\nSTART"}},
        ParseCase{"STOP\xC2\xA0now", UnknownCommand{"STOP\xC2\xA0now"}},
        ParseCase{" hello World ", UnknownCommand{"hello World"}},
        ParseCase{"STARTX", UnknownCommand{"STARTX"}}, ParseCase{"", UnknownCommand{""}},
        ParseCase{" \t\r\n\v\f", UnknownCommand{""}},
        ParseCase{"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
                  "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80",
                  UnknownCommand{""}},
        // zero-width space and byte order mark are not white space
        ParseCase{"\xE2\x80\x8BSTOP", UnknownCommand{"\xE2\x80\x8BSTOP"}},
        ParseCase{"\xEF\xBB\xBFSTOP", UnknownCommand{"\xEF\xBB\xBFSTOP"}},
        ParseCase{"\0"s, UnknownCommand{"\0"s}}, ParseCase{"STOP\0"s, UnknownCommand{"STOP\0"s}},
        // letters whose upper case is ASCII still spell the verb
        ParseCase{"\xC5\xBFtop", StopCommand{}},
        ParseCase{"an\xC4\xB1mation wave", AnimationCommand{"wave"}},
        ParseCase{"\xEF\xAC\x86"
                  "art",
                  start(std::nullopt)},
        // broken bytes are never white space and never crash the parser
        ParseCase{"\xFF", UnknownCommand{"\xFF"}}, ParseCase{"STOP \xE2\x80", StopCommand{}},
        ParseCase{"\xE2\x80 START", UnknownCommand{"\xE2\x80 START"}},
        ParseCase{"\x80\x80\x80", UnknownCommand{"\x80\x80\x80"}}));

TEST(CommandText, OnlyNonEmptyValidUtf8IsAText) {
    struct Case {
        std::string bytes;
        bool text;
    };
    const Case cases[] = {
        {"STOP", true},
        {"", false},
        {"\0"s, true},
        {"\xFF", false},
        {"Caf\xC3\xA9", true},
        {"Caf\xC3", false},  // cut inside a character
        {"\xC0\xA0", false},
        {"\xED\xA0\x80", false},      // overlong space, surrogate
        {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xF0\x9F\x8E\xAC", true},   // U+1F3AC
    };
    for (const auto& c : cases)
        EXPECT_EQ(isCommandText(c.bytes), c.text) << testing::PrintToString(c.bytes);
}

}  // namespace

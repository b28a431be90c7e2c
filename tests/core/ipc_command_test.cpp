#include <gtest/gtest.h>

#include <string>

#include "core/IPCCommand.h"

using namespace talvex;
using namespace std::string_literals;

TEST(CommandText, EveryTextGivesOneCommand) {
    const auto parsed = [](const std::string& text) { return describeCommand(parseCommand(text)); };
    const auto start = [](std::optional<std::string> name) {
        return describeCommand(StartCommand{std::move(name), "Lumetra Program"});
    };
    // Verbs are case-insensitive (also letters whose upper case is ASCII),
    // arguments keep their case and inner spacing; a trailing broken byte is dropped.
    const std::pair<std::string, std::string> cases[] = {
        {"START", start({})},
        {"Start\r\n", start({})},
        {"\xEF\xAC\x86\x61rt", start({})},
        {"start Run 3/4", start("Run 3/4")},
        {"START  x", start(" x")},
        {"START x  y \n", start("x  y")},
        {"  \tSTART Caf\xC3\xA9\xE3\x80\x80", start("Caf\xC3\xA9")},
        {"ANIMATION\n", describeCommand(AnimationCommand{"unknown"})},
        {"animation fixation cross", describeCommand(AnimationCommand{"fixation cross"})},
        {"an\xC4\xB1mation wave", describeCommand(AnimationCommand{"wave"})},
        {" hello World ", describeCommand(UnknownCommand{"hello World"})}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
    for (std::string text : {"STOP please"s, "stop\r\n"s, "\xC5\xBFtop"s, "STOP \xE2\x80"s})
        EXPECT_EQ(parsed(text), "stop") << text;
    // Unicode white space alone is an empty text.
    for (std::string text : {""s, " \t\r\n\v\f"s,
                             "\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8"
                             "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"s})
        EXPECT_EQ(parsed(text), describeCommand(UnknownCommand{""})) << text;
    // Only U+0020 separates the verb; zero-width space, byte order mark, NUL
    // and broken bytes are never white space (and never crash the parser).
    for (std::string text :
         {"START\tx"s, "STOP\nSTART"s, "STOP\xC2\xA0now"s, "STARTX"s, "\xE2\x80\x8BSTOP"s,
          "\xEF\xBB\xBFSTOP"s, "\0"s, "STOP\0"s, "\xFF"s, "\xE2\x80 START"s, "\x80\x80\x80"s})
        EXPECT_EQ(parsed(text), describeCommand(UnknownCommand{text}))
            << testing::PrintToString(text);
    // A text is not empty and valid UTF-8: not cut inside a character, not
    // overlong, no surrogate, nothing beyond U+10FFFF.
    for (std::string text : {"STOP"s, "\0"s, "Caf\xC3\xA9"s, "\xF0\x9F\x8E\xAC"s})
        EXPECT_TRUE(isCommandText(text)) << testing::PrintToString(text);
    for (std::string bytes :
         {""s, "\xFF"s, "Caf\xC3"s, "\xC0\xA0"s, "\xED\xA0\x80"s, "\xF4\x90\x80\x80"s})
        EXPECT_FALSE(isCommandText(bytes)) << testing::PrintToString(bytes);
}

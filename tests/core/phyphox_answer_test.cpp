#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/PhyphoxAnswer.h"

namespace talvex {
namespace {

using Poll = PhyphoxAnswer::Poll;
using Numbers = std::vector<double>;

std::string buffer(const std::string& name, const std::string& elements) {
    return "\"" + name + "\": {\"size\": 0, \"updateMode\": \"full\", \"buffer\": [" + elements +
           "]}";
}

std::string answer(const std::string& time, const std::string& x, const std::string& y,
                   const std::string& z, const std::string& measuring = "true") {
    return "{\"buffer\": {" + buffer("gyrX", x) + ", " + buffer("gyrY", y) + ", " +
           buffer("gyrZ", z) + ", " + buffer("gyr_time", time) +
           "}, \"status\": {\"session\": \"a1b2\", \"measuring\": " + measuring +
           ", \"timedRun\": false, \"countDown\": 0}}";
}

struct PollCase {
    const char* name;
    std::string body;
    Poll expected;
    Numbers time, x, y, z;
};

TEST(PhyphoxAnswerTest, ReadsPollAnswers) {
    const std::string good = answer("0.01, 0.02", "1, -2", "3e-3, 4", "0, -0.5");
    const std::vector<PollCase> cases = {
        {"measuring", good, Poll::measuring, {0.01, 0.02}, {1, -2}, {3e-3, 4}, {0, -0.5}},
        {"not measuring", answer("1", "1", "1", "1", "false"), Poll::notMeasuring, {}, {}, {}, {}},
        {"measuring as a number",
         answer("1", "1", "1", "1", "1"),
         Poll::notMeasuring,
         {},
         {},
         {},
         {}},
        {"no status",
         "{\"buffer\": {" + buffer("gyr_time", "1") + "}}",
         Poll::notMeasuring,
         {},
         {},
         {},
         {}},
        {"status not an object",
         "{\"buffer\": {}, \"status\": true}",
         Poll::notMeasuring,
         {},
         {},
         {},
         {}},
        {"string in an array",
         answer("1, 2", "1, \"2\"", "1, 2", "1, 2"),
         Poll::measuring,
         {1, 2},
         {},
         {1, 2},
         {1, 2}},
        {"boolean in an array",
         answer("1, true", "1, 2", "1, 2", "1, 2"),
         Poll::measuring,
         {},
         {1, 2},
         {1, 2},
         {1, 2}},
        {"null in an array",
         answer("1, 2", "1, 2", "null, 2", "1, 2"),
         Poll::measuring,
         {1, 2},
         {1, 2},
         {},
         {1, 2}},
        {"number out of range",
         answer("1, 2", "1, 2", "1, 2", "1e999, 2"),
         Poll::measuring,
         {1, 2},
         {1, 2},
         {1, 2},
         {}},
        {"negative out of range",
         answer("-1e400", "1", "1", "1"),
         Poll::measuring,
         {},
         {1},
         {1},
         {1}},
        {"out of range, not measuring",
         answer("1e999", "1", "1", "1", "false"),
         Poll::notMeasuring,
         {},
         {},
         {},
         {}},
        {"large integer",
         answer("12345678901234567890", "1", "1", "1"),
         Poll::measuring,
         {12345678901234567890.0},
         {1},
         {1},
         {1}},
        {"different lengths kept",
         answer("1, 2, 3", "1", "1, 2", "1, 2"),
         Poll::measuring,
         {1, 2, 3},
         {1},
         {1, 2},
         {1, 2}},
        {"buffer entry not an object",
         "{\"buffer\": {\"gyr_time\": [1]}, \"status\": {\"measuring\": true}}",
         Poll::measuring,
         {},
         {},
         {},
         {}},
        {"first of duplicate keys",
         "{\"buffer\": {" + buffer("gyr_time", "1") + ", " + buffer("gyr_time", "2") +
             "}, \"status\": {\"measuring\": true}}",
         Poll::measuring,
         {1},
         {},
         {},
         {}},
        {"NaN literal", answer("1, NaN", "1, 2", "1, 2", "1, 2"), Poll::unreadable, {}, {}, {}, {}},
        {"Infinity literal",
         answer("1, 2", "Infinity, 2", "1, 2", "1, 2"),
         Poll::unreadable,
         {},
         {},
         {},
         {}},
        {"html page", "<html><body>404 Not Found</body></html>", Poll::unreadable, {}, {}, {}, {}},
        {"empty body", "", Poll::unreadable, {}, {}, {}, {}},
        {"truncated", good.substr(0, good.size() / 2), Poll::unreadable, {}, {}, {}, {}},
        {"truncated after a huge number",
         answer("1e999", "1", "1", "1").substr(0, 60),
         Poll::unreadable,
         {},
         {},
         {},
         {}},
        {"trailing garbage", good + " x", Poll::unreadable, {}, {}, {}, {}},
        {"empty object", "{}", Poll::unreadable, {}, {}, {}, {}},
        {"no buffer", "{\"status\": {\"measuring\": true}}", Poll::unreadable, {}, {}, {}, {}},
        {"buffer not an object",
         "{\"buffer\": [], \"status\": {\"measuring\": true}}",
         Poll::unreadable,
         {},
         {},
         {},
         {}},
        {"array at the top", "[1, 2]", Poll::unreadable, {}, {}, {}, {}},
    };
    PhyphoxAnswer reader;
    for (const PollCase& c : cases) {
        SCOPED_TRACE(c.name);
        // One reader for every case: nothing may carry over from the previous answer.
        EXPECT_EQ(reader.readPoll(c.body), c.expected);
        EXPECT_EQ(reader.buffers().time, c.time);
        EXPECT_EQ(reader.buffers().x, c.x);
        EXPECT_EQ(reader.buffers().y, c.y);
        EXPECT_EQ(reader.buffers().z, c.z);
    }
}

TEST(PhyphoxAnswerTest, ReadsNumbersExactly) {
    PhyphoxAnswer reader;
    ASSERT_EQ(reader.readPoll(answer("0.1, 1.7976931348623157e308, 5e-324", "0", "0", "0")),
              Poll::measuring);
    EXPECT_EQ(reader.buffers().time, (Numbers{0.1, 1.7976931348623157e308, 5e-324}));
}

struct ConfigCase {
    const char* name;
    std::string body;
    bool readable;
    std::optional<std::vector<std::string>> names;
};

TEST(PhyphoxAnswerTest, ReadsConfigAnswers) {
    using Names = std::vector<std::string>;
    const std::vector<ConfigCase> cases = {
        {"buffers list", R"({"buffers": [{"name": "gyrX"}, {"size": 0}, {"name": "gyr_time"}]})",
         true, Names{"gyrX", "gyr_time"}},
        {"name not text", R"({"buffers": [{"name": 3}, {"name": "a"}]})", true, Names{"a"}},
        {"empty list", R"({"buffers": []})", true, Names{}},
        {"buffer keys", R"({"buffer": {"b": {}, "a": 1}})", true, Names{"b", "a"}},
        {"list of non-objects falls back", R"({"buffers": [1], "buffer": {"k": 0}})", true,
         Names{"k"}},
        {"neither", R"({"title": "Gyroscope"})", true, std::nullopt},
        {"not an object", "[1]", false, std::nullopt},
        {"html", "<html></html>", false, std::nullopt},
        {"empty", "", false, std::nullopt},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = PhyphoxAnswer::readConfig(c.body);
        ASSERT_EQ(config.has_value(), c.readable);
        if (config) {
            EXPECT_EQ(config->bufferNames, c.names);
        }
    }
}

TEST(PhyphoxAnswerTest, FormatsTextForTheLog) {
    EXPECT_EQ(PhyphoxAnswer::formatNames({"gyrX", "gyr_time"}), "[\"gyrX\", \"gyr_time\"]");
    EXPECT_EQ(PhyphoxAnswer::formatNames({}), "[]");
    EXPECT_EQ(PhyphoxAnswer::firstCharacters("h\u00e9llo", 2), "h\u00e9");
    EXPECT_EQ(PhyphoxAnswer::firstCharacters("\u2192\u2192\u2192", 3), "\u2192\u2192\u2192");
    EXPECT_EQ(PhyphoxAnswer::firstCharacters(std::string(1500, 'a'), 1000), std::string(1000, 'a'));
}

}  // namespace
}  // namespace talvex

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

std::string answer(const std::string& time, const std::string& x, const std::string& y = "1, 2",
                   const std::string& z = "1, 2", const std::string& measuring = "true") {
    return "{\"buffer\": {" + buffer("gyrX", x) + ", " + buffer("gyrY", y) + ", " +
           buffer("gyrZ", z) + ", " + buffer("gyr_time", time) +
           "}, \"status\": {\"session\": \"a1b2\", \"measuring\": " + measuring +
           ", \"timedRun\": false, \"countDown\": 0}}";
}

const Numbers exact{0.1, 1.7976931348623157e308, 5e-324};
const std::string good =
    answer("0.1, 1.7976931348623157e308, 5e-324", "1, -2, 0", "3e-3, 4, 0", "0, -0.5, 0");

TEST(PhyphoxAnswerTest, MeasuringAnswerKeepsTheArraysOfFiniteNumbersOnly) {
    struct Case {
        const char* name;
        std::string body;
        Numbers time, x, y, z;
    };
    const Numbers twelve{1, 2}, big{12345678901234567890.0};
    const Case cases[] = {
        {"exact numbers", good, exact, {1, -2, 0}, {3e-3, 4, 0}, {0, -0.5, 0}},
        {"mixed types", answer("1, true", "1, \"2\"", "null, 2"), {}, {}, {}, twelve},
        {"out of range", answer("1, 2", "1e999, 2", "-1e400"), twelve, {}, {}, twelve},
        {"large integer", answer("12345678901234567890", "1", "1", "1"), big, {1}, {1}, {1}},
        {"different lengths kept", answer("1, 2, 3", "1", "1, 2"), {1, 2, 3}, {1}, twelve, twelve},
        {"entry not an object",
         R"({"buffer": {"gyr_time": [1]}, "status": {"measuring": true}})",
         {},
         {},
         {},
         {}},
        {"first of duplicate keys",
         "{\"buffer\": {" + buffer("gyr_time", "1") + ", " + buffer("gyr_time", "2") +
             "}, \"status\": {\"measuring\": true}}",
         {1},
         {},
         {},
         {}},
    };
    PhyphoxAnswer reader;  // one for every case: nothing may carry over from the previous answer
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reader.readPoll(c.body), Poll::measuring);
        EXPECT_EQ(reader.buffers().time, c.time);
        EXPECT_EQ(reader.buffers().x, c.x);
        EXPECT_EQ(reader.buffers().y, c.y);
        EXPECT_EQ(reader.buffers().z, c.z);
    }
}

TEST(PhyphoxAnswerTest, OtherAnswersGiveNoArrays) {
    const std::pair<std::string, Poll> cases[] = {
        {answer("1", "1", "1", "1", "false"), Poll::notMeasuring},
        {answer("1", "1", "1", "1", "1"), Poll::notMeasuring},
        {"{\"buffer\": {" + buffer("gyr_time", "1") + "}}", Poll::notMeasuring},
        {R"({"buffer": {}, "status": true})", Poll::notMeasuring},
        {answer("1e999", "1", "1", "1", "false"), Poll::notMeasuring},
        {answer("1, NaN", "1, 2"), Poll::unreadable},
        {answer("1, 2", "Infinity, 2"), Poll::unreadable},
        {"<html><body>404 Not Found</body></html>", Poll::unreadable},
        {"", Poll::unreadable},
        {good.substr(0, good.size() / 2), Poll::unreadable},
        {answer("1e999", "1").substr(0, 60), Poll::unreadable},  // truncated after a huge number
        {good + " x", Poll::unreadable},
        {R"({"status": {"measuring": true}})", Poll::unreadable},
        {R"({"buffer": [], "status": {"measuring": true}})", Poll::unreadable},
        {"[1, 2]", Poll::unreadable},
    };
    PhyphoxAnswer reader;
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body);
        ASSERT_EQ(reader.readPoll(good), Poll::measuring);
        EXPECT_EQ(reader.readPoll(body), expected);
        const auto& b = reader.buffers();
        EXPECT_TRUE(b.time.empty() && b.x.empty() && b.y.empty() && b.z.empty());
    }
}

TEST(PhyphoxAnswerTest, ReadsConfigAnswers) {
    using Names = std::vector<std::string>;
    struct Case {
        std::string body;
        bool readable;
        std::optional<Names> names;
    };
    const Case cases[] = {
        {R"({"buffers": [{"name": "gyrX"}, {"size": 0}, {"name": "gyr_time"}]})", true,
         Names{"gyrX", "gyr_time"}},
        {R"({"buffers": [{"name": 3}, {"name": "a"}]})", true, Names{"a"}},
        {R"({"buffers": []})", true, Names{}},
        {R"({"buffer": {"b": {}, "a": 1}})", true, Names{"b", "a"}},
        {R"({"buffers": [1], "buffer": {"k": 0}})", true, Names{"k"}},  // falls back
        {R"({"title": "Gyroscope"})", true, std::nullopt},
        {"[1]", false, std::nullopt},
        {"<html></html>", false, std::nullopt},
        {"", false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
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
}

}  // namespace
}  // namespace talvex

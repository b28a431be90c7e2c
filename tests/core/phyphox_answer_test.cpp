#include <gtest/gtest.h>

#include <charconv>
#include <optional>
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

const std::string good =
    answer("0.1, 1.7976931348623157e308, 5e-324", "1, -2, 0", "3e-3, 4, 0", "0, -0.5, 0");

// The four arrays as "time|x|y|z", each number in its shortest exact form
// and a null from the phone as "nan".
std::string arrays(const PhyphoxAnswer& reader) {
    const auto& b = reader.buffers();
    std::string text;
    for (const Numbers* numbers : {&b.time, &b.x, &b.y, &b.z}) {
        if (numbers != &b.time) text += '|';
        for (std::size_t i = 0; i < numbers->size(); ++i) {
            char digits[32];
            if (i > 0) text += ' ';
            text.append(digits, std::to_chars(digits, digits + 32, (*numbers)[i]).ptr);
        }
    }
    return text;
}

// What one reader makes of each answer after a good one: nothing may carry over.
TEST(PhyphoxAnswerTest, AnswersKeepTheirArraysModeAndNullsAsMissingValues) {
    using Mode = PhyphoxAnswer::UpdateMode;
    struct Case {
        const char* name;
        std::string body;
        const char* arrays = "|||";
        Poll poll = Poll::measuring;
        Mode mode = Mode::full;  // gyr_time's, none when unreadable
    };
    const Case cases[] = {
        {"exact numbers", good, "0.1 1.7976931348623157e+308 5e-324|1 -2 0|0.003 4 0|0 -0.5 0"},
        {"android numbers", answer("6.9947406E-3, 0E0", "-1.2345679E7, 1E0"),
         "0.0069947406 0|-12345679 1|1 2|1 2"},
        {"null is missing", answer("1, null", "null, 2", "null, null"), "1 nan|nan 2|nan nan|1 2"},
        {"mixed types", answer("1, true", "1, \"2\"", "3, 2"), "||3 2|1 2"},
        {"out of range", answer("1, 2", "1e999, 2", "-1e400, null"), "1 2|||1 2"},
        {"large integer", answer("12345678901234567890", "1", "1", "1"),
         "12345678901234567168|1|1|1"},
        {"different lengths kept", answer("1, 2, 3", "1", "1, 2"), "1 2 3|1|1 2|1 2"},
        {"not measuring still carries samples", answer("1", "1", "1", "1", "false"), "1|1|1|1",
         Poll::notMeasuring},
        {"measuring not a Boolean", answer("1", "1", "1", "1", "1"), "1|1|1|1", Poll::notMeasuring},
        {"no status", "{\"buffer\": {" + buffer("gyr_time", "1") + "}}", "1|||",
         Poll::notMeasuring},
        {"entry not an object", R"({"buffer": {"gyr_time": [1]}, "status": {"measuring": true}})",
         "|||", Poll::measuring, Mode::other},
        {"first of duplicate keys",
         "{\"buffer\": {" + buffer("gyr_time", "1") + ", " + buffer("gyr_time", "2") +
             "}, \"status\": {\"measuring\": true}}",
         "1|||"},
        {"iOS: any key order, the status first, full precision",
         R"({"status":{"measuring":true,"session":"869df0"},"buffer":{"gyr_time":{"buffer":)"
         R"([1.0025000000000002],"updateMode":"partial","size":0}}})",
         "1.0025000000000002|||", Poll::measuring, Mode::partial},
        {"single", R"({"buffer":{"gyr_time":{"updateMode":"single","buffer":[1e999]}}})", "|||",
         Poll::notMeasuring, Mode::single},
        {"no time buffer", R"({"buffer":{"gyrX":{"updateMode":"full","buffer":[]}}})", "|||",
         Poll::notMeasuring, Mode::other},
        {"NaN", answer("1, NaN", "1, 2"), "|||", Poll::unreadable},
        {"Infinity", answer("1, 2", "Infinity, 2"), "|||", Poll::unreadable},
        {"HTML", "<html><body>404 Not Found</body></html>", "|||", Poll::unreadable},
        {"empty", "", "|||", Poll::unreadable},
        {"cut", good.substr(0, good.size() / 2), "|||", Poll::unreadable},
        {"cut after a huge number", answer("1e999", "1").substr(0, 60), "|||", Poll::unreadable},
        {"trailing text", good + " x", "|||", Poll::unreadable},
        {"no buffer", R"({"status": {"measuring": true}})", "|||", Poll::unreadable},
        {"buffer not an object", R"({"buffer": [], "status": {"measuring": true}})", "|||",
         Poll::unreadable},
        {"array", "[1, 2]", "|||", Poll::unreadable},
    };
    PhyphoxAnswer reader;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(reader.readPoll(good), Poll::measuring);
        EXPECT_EQ(reader.readPoll(c.body), c.poll);
        EXPECT_EQ(arrays(reader), c.arrays);
        EXPECT_EQ(reader.buffers().mode, c.poll == Poll::unreadable ? Mode::other : c.mode);
    }
}

TEST(PhyphoxAnswerTest, ReadsTimeRecordsAddressesAndConfigs) {
    using Events = std::vector<PhyphoxAnswer::TimeEvent>;
    const std::pair<std::string, std::optional<Events>> cases[] = {
        {R"([{"event":"START","experimentTime":0.0,"systemTime":1765065600.125},)"
         R"({"event":"PAUSE","experimentTime":4.5,"systemTime":1765065604.625},)"
         R"({"systemTime":1765065608.0,"event":"START","experimentTime":4.5}])",
         Events{
             {true, 0.0, 1765065600.125}, {false, 4.5, 1765065604.625}, {true, 4.5, 1765065608.0}}},
        {"[]", Events{}},
        {R"([{"event":"STOP","experimentTime":1,"systemTime":2},{"event":"START"}])", Events{}},
        {"<html>404</html>", std::nullopt},
        {R"({"event":"START"})", std::nullopt},
    };
    for (const auto& [body, events] : cases)
        EXPECT_EQ(PhyphoxAnswer::readTimeRecord(body), events) << body;

    // The address as the phone shows it.
    const std::pair<const char*, std::optional<std::string>> addresses[] = {
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"127.0.0.1:8080/", "http://127.0.0.1:8080"},
        {" HTTP://127.0.0.1// ", "http://127.0.0.1"},
        {"127.0.0.1", "http://127.0.0.1"},
        {"http://", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [address, url] : addresses)
        EXPECT_EQ(PhyphoxAnswer::baseUrl(address), url) << address;

    // The buffers a config names, as the log shows them, cut on whole characters.
    const std::pair<std::string, std::string> configs[] = {
        {R"({"buffers": [{"name": "gyrX"}, {"size": 0}, {"name": "gyr_time"}]})",
         R"(["gyrX", "gyr_time"])"},
        {R"({"buffers": [{"name": 3}, {"name": "a"}]})", R"(["a"])"},
        {R"({"buffers": []})", "[]"},
        {R"({"buffer": {"b": {}, "a": 1}})", R"(["b", "a"])"},
        {R"({"buffers": [1], "buffer": {"k": 0}})", R"(["k"])"},  // falls back
        {R"({"title": "Gyroscope"})", "no names"},
        {"[1]", "unreadable"},
        {"<html></html>", "unreadable"},
    };
    for (const auto& [body, names] : configs) {
        const auto config = PhyphoxAnswer::readConfig(body);
        EXPECT_EQ(!config               ? "unreadable"
                  : config->bufferNames ? PhyphoxAnswer::formatNames(*config->bufferNames)
                                        : "no names",
                  names)
            << body;
    }
    EXPECT_EQ(PhyphoxAnswer::firstCharacters("h\u00e9llo", 2), "h\u00e9");
    EXPECT_EQ(PhyphoxAnswer::firstCharacters("\u2192\u2192\u2192", 3), "\u2192\u2192\u2192");
}

}  // namespace
}  // namespace talvex

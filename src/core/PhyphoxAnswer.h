#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvex {

// Reads the answers of the Phyphox phone app's remote interface. One reader
// keeps its parser and arrays from one answer to the next, so the growing
// answers of a long measurement are read without new allocations.
class PhyphoxAnswer {
public:
    enum class Poll { unreadable, notMeasuring, measuring };

    // The four parallel arrays of a measuring answer. An array that is missing
    // or holds anything but finite numbers is empty.
    struct Buffers {
        std::vector<double> time;  // "gyr_time", seconds on the phone's clock
        std::vector<double> x;     // "gyrX", rad/s
        std::vector<double> y;     // "gyrY"
        std::vector<double> z;     // "gyrZ"
    };

    struct Config {
        // Names listed by the answer; nothing when it lists none in a known shape.
        std::optional<std::vector<std::string>> bufferNames;
    };

    PhyphoxAnswer();
    ~PhyphoxAnswer();
    PhyphoxAnswer(const PhyphoxAnswer&) = delete;
    PhyphoxAnswer& operator=(const PhyphoxAnswer&) = delete;

    // Reads a "/get" answer. buffers() holds its arrays when it returns measuring
    // and is empty otherwise. A body with spare capacity of 64 bytes is read in place.
    Poll readPoll(const std::string& body);
    const Buffers& buffers() const { return buffers_; }

    // Reads a "/config" answer; nothing when it is not a JSON object.
    static std::optional<Config> readConfig(std::string_view body);

    // The names as a list for the log: ["a", "b"].
    static std::string formatNames(const std::vector<std::string>& names);

    // The text up to its first count characters (UTF-8 code points).
    static std::string_view firstCharacters(std::string_view text, std::size_t count);

    struct Parser;

private:
    std::unique_ptr<Parser> parser_;
    Buffers buffers_;
};

}  // namespace talvex

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
    // How the phone chose the values: all of them, those after a threshold, the last one.
    enum class UpdateMode { other, full, partial, single };

    // The four arrays of an answer, parallel but not always of equal length (a
    // phone may copy one while its sensor appends to the next). A null (the
    // phone's NaN or infinity) is a NaN; an array that is missing or holds
    // anything else is empty.
    struct Buffers {
        std::vector<double> time;             // "gyr_time", seconds on the phone's clock
        std::vector<double> x;                // "gyrX", rad/s
        std::vector<double> y;                // "gyrY"
        std::vector<double> z;                // "gyrZ"
        UpdateMode mode = UpdateMode::other;  // that of "gyr_time"
    };

    // One entry of the phone's record of its experiment's starts and pauses.
    struct TimeEvent {
        bool start = false;           // "START", else "PAUSE"
        double experimentTime = 0.0;  // seconds on the experiment's clock
        double systemTime = 0.0;      // the phone's wall clock, seconds
        bool operator==(const TimeEvent&) const = default;
    };

    struct Config {
        // Names listed by the answer; nothing when it lists none in a known shape.
        std::optional<std::vector<std::string>> bufferNames;
    };

    PhyphoxAnswer();
    ~PhyphoxAnswer();
    PhyphoxAnswer(const PhyphoxAnswer&) = delete;
    PhyphoxAnswer& operator=(const PhyphoxAnswer&) = delete;

    // Reads a "/get" answer. buffers() holds its arrays unless it is unreadable
    // (samples taken before a pause come with "measuring": false). A body with
    // spare capacity of 64 bytes is read in place.
    Poll readPoll(const std::string& body);
    const Buffers& buffers() const { return buffers_; }
    static UpdateMode parseMode(std::string_view text);

    // Reads a "/time" answer; nothing when it is not a JSON array. Entries
    // without a known event and both times are left out.
    static std::optional<std::vector<TimeEvent>> readTimeRecord(std::string_view body);

    // "http://" and the host with its port, from the address as a phone shows
    // it ("http://192.168.1.23:8080", "192.168.1.23:8080/", "192.168.1.23");
    // nothing when no host is left.
    static std::optional<std::string> baseUrl(std::string_view address);

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

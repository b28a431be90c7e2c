#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/PhyphoxAnswer.h"

namespace talvex {

// Follows the phone's gyroscope buffers and puts their samples on the host's
// steady clock, each sample once and in order.
//
// Polling: asks for the newest time first, then only for the values after
// the last delivered time, so an answer stays small however long the phone
// has measured. The phone's experiment clock stands still while it is paused
// and goes back to 0 when it is cleared; its "/time" record of starts and
// pauses maps experiment time onto the phone's wall clock, and one estimated
// offset maps that onto ours. A phone without the record gets a new anchor at
// every resume instead.
//
// Thread-safe: every call excludes the others.
class GyroTiming {
public:
    using Deliver = std::function<void(double timestamp, double x, double y, double z)>;
    using UpdateMode = PhyphoxAnswer::UpdateMode;
    using TimeEvent = PhyphoxAnswer::TimeEvent;

    // An answer whose newest time lies further than this below the high-water
    // mark means the phone's clock started over.
    static constexpr double kResetMargin = 1.0;
    // Samples up to this far below the high-water mark are looked at again.
    static constexpr double kCandidateWindow = 0.05;
    // A time further than this ahead of the phone's plausible clock is bad input.
    static constexpr double kPlausibleLead = 3.0;
    // A newest sample older than this while measuring hints at an unseen pause.
    static constexpr double kStaleAfter = 0.1;
    static constexpr double kStaleAfterWithoutRecord = 0.5;
    // The time record is fetched again for a stale answer at most this often.
    static constexpr double kRecordRefresh = 1.0;
    // How fast the clock offset estimate may rise, so it follows slow drift.
    static constexpr double kOffsetCreep = 1e-5;

    // What one "/get" answer brought, with the host instants at which the
    // request was sent and its answer began to arrive.
    struct Answer {
        std::span<const double> time, x, y, z;
        bool measuring = false;
        UpdateMode mode = UpdateMode::other;
        double sent = 0.0;
        double received = 0.0;
    };

    struct State {
        double lastTimestamp = 0.0;  // high-water mark of the phone's time
        double lastDeliveredPhyphoxTime = -std::numeric_limits<double>::infinity();
        std::optional<double> sessionStartDate;  // samples before it do not go to a session
        std::optional<double> threshold;         // what the next "/get" asks after
        std::optional<bool> hasTimeRecord;       // unknown until "/time" was asked
    };

    // Samples taken before instant do not belong to the session that starts there.
    void beginSession(double instant);
    std::optional<double> sessionStart() const;

    // After a failure or a new connection: the next requests ask for the time
    // record and the newest time again. What was delivered stays delivered.
    void startOver();

    // The path and query of the next request: "/time", or "/get?" and the buffers.
    std::string nextRequest() const;
    bool wantsTimeRecord() const;

    // The answer to "/time": the record, or nothing when the phone has none.
    void takeTimeRecord(const std::optional<std::vector<TimeEvent>>& events, double now);

    // Handles one "/get" answer and hands every new sample to deliver (while
    // holding the lock) in ascending phone time. Returns the number delivered.
    std::size_t process(const Answer& answer, const Deliver& deliver);

    State state() const;

    // The threshold as the phone printed it: the shortest text that reads
    // back as the same double, in plain notation.
    static std::string formatThreshold(double value);

private:
    struct Segment {
        double phoneTime;  // experiment time at which the phone (re)started
        double wall;       // the phone's wall clock then, or our estimate of it
        bool estimated;    // wall is estimated from answers (no time record)
        bool known;
        double observedAt;  // host instant of the estimate's last update
    };

    void takeNewestTime(const Answer& answer);
    void reset(double newest, double now);
    void raiseHighWaterMark(double newest, double now);
    bool needsRecord(const Answer& answer, std::optional<double> newest, bool wasMeasuring);
    void newSegmentWithoutRecord();
    double plausibleNewest(double now) const;
    void collectCandidates(const Answer& answer, std::optional<double>& newest);
    std::size_t deliverCandidates(const Answer& answer, const Deliver& deliver);
    Segment* runOf(double phoneTime);
    Segment* segmentFor(double phoneTime);
    std::optional<double> hostTime(double phoneTime);
    void observe(double phoneTime, double received);
    void trouble(const std::string& line);

    mutable std::mutex mutex_;
    State state_;
    bool recordWanted_ = true;
    double recordTakenAt_ = -std::numeric_limits<double>::infinity();
    std::vector<Segment> segments_;
    std::optional<double> offset_;  // host steady clock minus phone wall clock
    double offsetAt_ = 0.0;
    std::optional<bool> measuring_;
    std::optional<double> newestSeenAt_;  // host instant at which lastTimestamp was raised
    double lastHostTime_ = -std::numeric_limits<double>::infinity();
    std::set<std::string> reported_;
    std::vector<std::size_t> candidates_;  // kept between answers to avoid allocations
};

}  // namespace talvex

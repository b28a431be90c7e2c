#include "core/GyroTiming.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/Log.h"
#include "core/NumberFormat.h"

namespace talvex {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
// Asked for right after a clear: everything since the experiment's time 0.
constexpr double kFromTheStart = -1.0;
// A reconnection catches up on what it missed when that is at most this long.
constexpr double kCatchUpLimit = 10.0;
// Host times are kept strictly increasing by at least this much.
constexpr double kMinimumStep = 1e-6;

}  // namespace

void GyroTiming::beginSession(double instant) {
    std::lock_guard lock(mutex_);
    state_.sessionStartDate = instant;
    reported_.clear();
}

std::optional<double> GyroTiming::sessionStart() const {
    std::lock_guard lock(mutex_);
    return state_.sessionStartDate;
}

GyroTiming::State GyroTiming::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void GyroTiming::startOver() {
    std::lock_guard lock(mutex_);
    state_.threshold.reset();
    measuring_.reset();
    if (state_.hasTimeRecord == false) {
        newSegmentWithoutRecord();  // the phone may have paused meanwhile
    } else {
        recordWanted_ = true;
    }
}

bool GyroTiming::wantsTimeRecord() const {
    std::lock_guard lock(mutex_);
    return recordWanted_;
}

std::string GyroTiming::nextRequest() const {
    std::lock_guard lock(mutex_);
    if (recordWanted_) return "/time";
    if (!state_.threshold) return "/get?gyr_time";
    const std::string t = formatThreshold(*state_.threshold);
    return "/get?gyr_time=" + t + "&gyrX=" + t + "|gyr_time&gyrY=" + t + "|gyr_time&gyrZ=" + t +
           "|gyr_time";
}

std::string GyroTiming::formatThreshold(double value) {
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

void GyroTiming::takeTimeRecord(const std::optional<std::vector<TimeEvent>>& events, double now) {
    std::lock_guard lock(mutex_);
    recordWanted_ = false;
    recordTakenAt_ = now;
    if (!events) {
        if (state_.hasTimeRecord != false)
            logLine("Talvex Gyro: the phone keeps no time record; re-anchoring at every resume");
        state_.hasTimeRecord = false;
        if (segments_.empty() || !segments_.back().estimated) newSegmentWithoutRecord();
        return;
    }
    state_.hasTimeRecord = true;
    std::vector<Segment> known;
    for (const TimeEvent& e : *events) {
        if (!e.start) continue;
        const Segment segment{e.experimentTime, e.systemTime, false, true, now};
        const bool seen = std::any_of(segments_.begin(), segments_.end(), [&](const Segment& s) {
            return !s.estimated && s.phoneTime == segment.phoneTime && s.wall == segment.wall;
        });
        if (!seen) logLine("Talvex Gyro: anchoring at " + formatNumber(e.experimentTime));
        known.push_back(segment);
    }
    segments_ = std::move(known);
}

void GyroTiming::newSegmentWithoutRecord() {
    const double from = segments_.empty() ? kMinusInfinity : state_.lastTimestamp;
    segments_.push_back({from, 0.0, true, false, 0.0});
}

// The run a sample belongs to: the last one that started before it.
GyroTiming::Segment* GyroTiming::runOf(double phoneTime) {
    Segment* found = nullptr;
    for (Segment& s : segments_) {
        if (found && s.phoneTime >= phoneTime) break;
        found = &s;
    }
    return found;
}

// The sample's run, or the newest run with a mapping when its own has none yet.
GyroTiming::Segment* GyroTiming::segmentFor(double phoneTime) {
    Segment* own = runOf(phoneTime);
    if (own && own->known) return own;
    Segment* lastKnown = nullptr;
    for (Segment& s : segments_) {
        if (&s == own) break;
        if (s.known) lastKnown = &s;
    }
    return lastKnown;
}

// host = base + phone time, where base comes from the time record and the
// clock offset, or is estimated per run without a record.
std::optional<double> GyroTiming::hostTime(double phoneTime) {
    const Segment* s = segmentFor(phoneTime);
    if (!s) return std::nullopt;
    if (s->estimated) return s->wall + phoneTime;
    if (!offset_) return std::nullopt;
    return s->wall - s->phoneTime + *offset_ + phoneTime;
}

// The newest sample was taken before its answer began to arrive, which
// bounds the mapping from above; the fastest answers bound it best. The
// estimate may creep up slowly so that it follows a drifting phone clock.
void GyroTiming::observe(double phoneTime, double received) {
    Segment* s = runOf(phoneTime);
    if (!s) return;
    if (s->estimated) {
        const double bound = received - phoneTime;
        if (!s->known) logLine("Talvex Gyro: anchoring at " + formatNumber(phoneTime));
        s->wall =
            s->known ? std::min(s->wall + kOffsetCreep * (received - s->observedAt), bound) : bound;
        s->known = true;
        s->observedAt = received;
        return;
    }
    const double bound = received - (s->wall - s->phoneTime + phoneTime);
    offset_ = offset_ ? std::min(*offset_ + kOffsetCreep * (received - offsetAt_), bound) : bound;
    offsetAt_ = received;
}

void GyroTiming::reset(double newest, double now) {
    logLine("Talvex Gyro: Phyphox buffer reset detected (" + formatNumber(state_.lastTimestamp) +
            " \u2192 " + formatNumber(newest) + "), re-anchoring");
    state_.lastTimestamp = 0.0;
    state_.lastDeliveredPhyphoxTime = kMinusInfinity;
    state_.threshold = kFromTheStart;
    newestSeenAt_ = now;
    segments_.clear();
    if (state_.hasTimeRecord == false) {
        newSegmentWithoutRecord();
    } else {
        recordWanted_ = true;
    }
}

void GyroTiming::trouble(const std::string& line) {
    if (reported_.insert(line).second) logLine(line);
}

void GyroTiming::raiseHighWaterMark(double newest, double now) {
    if (newest <= state_.lastTimestamp) return;
    state_.lastTimestamp = newest;
    newestSeenAt_ = now;
}

// The answer to "/get?gyr_time": where to go on from. A short gap since the
// last delivered sample is caught up on; a long one is skipped.
void GyroTiming::takeNewestTime(const Answer& answer) {
    measuring_ = answer.measuring;
    std::optional<double> newest;
    const double plausible = plausibleNewest(answer.received);
    for (double t : answer.time)
        if (std::isfinite(t) && t <= plausible) newest = std::max(newest.value_or(t), t);
    if (!newest) {
        if (state_.lastTimestamp > 0.0) reset(0.0, answer.received);
        state_.threshold = kFromTheStart;
        return;
    }
    if (*newest < state_.lastTimestamp - kResetMargin) {
        reset(*newest, answer.received);  // the next request asks from the start
        return;
    }
    observe(*newest, answer.received);
    const double last = state_.lastDeliveredPhyphoxTime;
    if (last <= *newest && *newest - last <= kCatchUpLimit) {
        state_.threshold = last;
    } else {
        raiseHighWaterMark(*newest, answer.received);
        state_.threshold = *newest;
    }
}

// The phone's clock cannot have run faster than ours since its newest time was seen.
// Before any time was seen there is nothing to go by.
double GyroTiming::plausibleNewest(double now) const {
    if (!newestSeenAt_) return std::numeric_limits<double>::infinity();
    return state_.lastTimestamp + std::max(0.0, now - *newestSeenAt_) + kPlausibleLead;
}

void GyroTiming::collectCandidates(const Answer& answer, std::optional<double>& newest) {
    candidates_.clear();
    newest.reset();
    const std::size_t n =
        std::min({answer.time.size(), answer.x.size(), answer.y.size(), answer.z.size()});
    if (n != std::max({answer.time.size(), answer.x.size(), answer.y.size(), answer.z.size()}))
        trouble("Talvex Gyro: answer buffers of unequal length; reading their common part");
    const double plausible = plausibleNewest(answer.received);
    const double window = state_.lastTimestamp - kCandidateWindow;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = answer.time[i];
        if (!std::isfinite(t) || !std::isfinite(answer.x[i]) || !std::isfinite(answer.y[i]) ||
            !std::isfinite(answer.z[i])) {
            trouble("Talvex Gyro: skipped a sample with a missing value (null)");
            continue;
        }
        if (t > plausible) {
            trouble("Talvex Gyro: rejected a sample time far ahead of the phone's clock");
            continue;
        }
        newest = std::max(newest.value_or(t), t);
        if (t > window && t > state_.lastDeliveredPhyphoxTime) candidates_.push_back(i);
    }
}

// A rise of the measuring flag, or a newest sample much older than it should
// be, means the phone resumed: its new run needs the time record (or, without
// one, an anchor of its own). True when the answer waits for the record.
bool GyroTiming::needsRecord(const Answer& answer, std::optional<double> newest,
                             bool wasMeasuring) {
    const bool resumed = answer.measuring && !wasMeasuring;
    double stale = 0.0;
    if (newest && answer.measuring) {
        if (auto host = hostTime(*newest)) stale = answer.received - *host;
    }
    if (state_.hasTimeRecord == false) {
        if (resumed || stale > kStaleAfterWithoutRecord) newSegmentWithoutRecord();
        return false;
    }
    if (resumed || (stale > kStaleAfter && answer.received - recordTakenAt_ > kRecordRefresh)) {
        recordWanted_ = true;
        return true;
    }
    return false;
}

std::size_t GyroTiming::process(const Answer& answer, const Deliver& deliver) {
    std::lock_guard lock(mutex_);
    if (!state_.threshold) {
        takeNewestTime(answer);
        return 0;
    }
    const bool wasMeasuring = measuring_.value_or(answer.measuring);
    measuring_ = answer.measuring;
    std::optional<double> newest;
    collectCandidates(answer, newest);
    if (answer.mode == UpdateMode::full ||
        (newest && *newest < state_.lastTimestamp - kResetMargin)) {
        reset(newest.value_or(0.0), answer.received);
        if (recordWanted_) return 0;  // asked again once the new run's record is known
        collectCandidates(answer, newest);
    } else if (needsRecord(answer, newest, wasMeasuring)) {
        return 0;
    }
    if (!newest) return 0;
    observe(*newest, answer.received);
    if (!hostTime(*newest)) {  // samples, but no run in the record to put them in
        newSegmentWithoutRecord();
        observe(*newest, answer.received);
    }
    raiseHighWaterMark(*newest, answer.received);
    return deliverCandidates(answer, deliver);
}

std::size_t GyroTiming::deliverCandidates(const Answer& answer, const Deliver& deliver) {
    std::stable_sort(candidates_.begin(), candidates_.end(),
                     [&](std::size_t a, std::size_t b) { return answer.time[a] < answer.time[b]; });
    std::size_t delivered = 0;
    for (std::size_t i : candidates_) {
        const double t = answer.time[i];
        const std::optional<double> mapped = hostTime(t);
        if (t <= state_.lastDeliveredPhyphoxTime || !mapped || !std::isfinite(*mapped)) continue;
        const double host = std::max(*mapped, lastHostTime_ + kMinimumStep);
        state_.lastDeliveredPhyphoxTime = t;
        state_.threshold = std::max(*state_.threshold, t);
        lastHostTime_ = host;
        ++delivered;
        if (deliver) deliver(host, answer.x[i], answer.y[i], answer.z[i]);
    }
    return delivered;
}

}  // namespace talvex

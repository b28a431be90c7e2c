#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/RecordingOperations.h"

namespace talvex {

// What a stop knows of the take it ended.
struct TakeFigures {
    double startTime = 0;        // steady seconds of the recording start
    double durationSeconds = 0;  // start to stop on the steady clock
    std::vector<CameraTake> cameras;
    std::vector<MovieResult> movies;
    std::int64_t gyroSamples = 0;  // rows of gyro.csv
    double gyroLongestGap = 0;     // seconds; 0 without rows
};

// One line of the take report; a warning shows in the orange of the hints.
struct TakeLine {
    std::string text;
    bool warning = false;
    bool operator==(const TakeLine&) const = default;
};

// A gyroscope gap longer than this is worth a warning.
inline constexpr double kTakeGapWarningSeconds = 0.5;

// "m:ss", or "h:mm:ss" from an hour on; whole seconds, rounded down.
std::string formatTakeTime(double seconds);

// What went wrong, in this order: cameras lost (and when), cameras below
// their rate, movies not finished, the gyroscope's silence or longest gap.
std::vector<std::string> takeWarnings(const TakeFigures& take);

// The report after a stop: one plain line of figures ("Take 0:12 · 361 +
// 358 frames, none lost · 4800 gyro samples, gap 0.03 s"), then each warning.
std::vector<TakeLine> describeTake(const TakeFigures& take);

// What went wrong with a movie, in the take's words: "recording.mp4 could not
// be finished: <reason>", or that it took no frame; none when it finished.
std::optional<std::string> movieProblem(const MovieResult& movie);

// Why a start found no camera to record: "no camera is open", or the
// cameras that were asked for and are missing.
std::string noCameraReason(const std::vector<std::string>& missingCameras);

}  // namespace talvex

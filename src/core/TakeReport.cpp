#include "core/TakeReport.h"

#include <cmath>
#include <cstdio>

namespace talvex {

namespace {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cameraName(const CameraTake& camera, std::size_t index) {
    return camera.name.empty() ? "Cam " + std::to_string(index + 1) : camera.name;
}

// "361", or "361 (2 lost, 1 damaged)" when frames were lost or damaged.
std::string framesOf(const CameraTake& camera) {
    std::string losses;
    if (camera.framesLost > 0) losses = std::to_string(camera.framesLost) + " lost";
    if (camera.framesDamaged > 0)
        losses += (losses.empty() ? "" : ", ") + std::to_string(camera.framesDamaged) + " damaged";
    std::string written = std::to_string(camera.framesWritten);
    return losses.empty() ? written : written + " (" + losses + ")";
}

// The take's figures in one line: duration, each camera's frames in slot
// order, the gyroscope's samples and longest gap.
std::string figuresLine(const TakeFigures& take) {
    std::string frames;
    bool whole = true;
    for (const auto& camera : take.cameras) {
        frames += (frames.empty() ? "" : " + ") + framesOf(camera);
        whole = whole && camera.framesLost == 0 && camera.framesDamaged == 0;
    }
    return "Take " + formatTakeTime(take.durationSeconds) + " · " +
           (frames.empty() ? "no" : frames) + " frames" + (whole ? ", none lost" : "") + " · " +
           std::to_string(take.gyroSamples) + " gyro samples, gap " +
           fixed(take.gyroLongestGap, 2) + " s";
}

}  // namespace

std::optional<std::string> movieProblem(const MovieResult& movie) {
    if (movie.code == MovieResult::Code::failed)
        return movie.file + " could not be finished: " + movie.lastError;
    if (movie.code == MovieResult::Code::cancelled)
        return movie.file + " took no frame and was removed";
    return std::nullopt;
}

std::string formatTakeTime(double seconds) {
    const long long whole = seconds > 0 ? static_cast<long long>(std::floor(seconds)) : 0;
    char text[48];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole % 3600 / 60,
                      whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

std::vector<std::string> takeWarnings(const TakeFigures& take) {
    std::vector<std::string> warnings;
    for (std::size_t i = 0; i < take.cameras.size(); ++i)
        if (const auto& lostAt = take.cameras[i].lostAt)
            warnings.push_back("Camera '" + cameraName(take.cameras[i], i) + "' lost at " +
                               formatTakeTime(*lostAt - take.startTime));
    for (std::size_t i = 0; i < take.cameras.size(); ++i)
        if (const auto& fps = take.cameras[i].measuredFps)
            warnings.push_back("Camera '" + cameraName(take.cameras[i], i) + "' ran at " +
                               fixed(*fps, 1) + " fps, below its rate");
    for (const auto& movie : take.movies)
        if (auto problem = movieProblem(movie)) warnings.push_back(std::move(*problem));
    if (take.gyroSamples == 0)
        warnings.push_back("No gyroscope samples");
    else if (take.gyroLongestGap > kTakeGapWarningSeconds)
        warnings.push_back("Gyroscope gap of " + fixed(take.gyroLongestGap, 2) + " s");
    return warnings;
}

std::vector<TakeLine> describeTake(const TakeFigures& take) {
    std::vector<TakeLine> lines{{figuresLine(take)}};
    for (auto& warning : takeWarnings(take)) lines.push_back({std::move(warning), true});
    return lines;
}

std::string noCameraReason(const std::vector<std::string>& missing) {
    if (missing.empty()) return "no camera is open";
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i)
        names += (i == 0                    ? ""
                  : i + 1 == missing.size() ? " and "
                                            : ", ") +
                 ("'" + missing[i] + "'");
    return (missing.size() == 1 ? "camera " : "cameras ") + names +
           (missing.size() == 1 ? " is missing" : " are missing");
}

}  // namespace talvex

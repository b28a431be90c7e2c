#include "media/MovieLines.h"

#include <array>

#include "core/Log.h"
#include "core/NumberFormat.h"

namespace talvex {

namespace {

// In the order of MovieLines::Step.
constexpr std::array<const char*, 9> kStepLines = {
    "Talvex: calling dual stopWriting",
    "Talvex: DualCameraWriter stopWriting called",
    "Talvex: stopWriting block executing on writerQueue",
    "Talvex: writer is nil",
    "Talvex: drainAndComposite enter",
    "Talvex: drainAndComposite calling composite",
    "Talvex: drainAndComposite done",
    "Talvex: drainAndComposite exit early",
    "Talvex: pool alloc failed",
};

std::string flag(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::string MovieLines::inputError() const {
    return sideBySide_() ? "Cannot add dual writer input" : "Cannot add writer input";
}

void MovieLines::started(bool ok, int status) const {
    const std::string tail = flag(ok) + ", status: " + std::to_string(status);
    logLine(sideBySide_() ? "Talvex: DualCameraWriter startWriting: " + tail
                          : "Talvex: startWriting for " + camera_ + ": " + tail);
}

void MovieLines::startFailed(const std::string& error) const {
    logLine(
        (sideBySide_() ? "Talvex: DualCameraWriter error: " : "Talvex: writer error on start: ") +
        error);
}

void MovieLines::notReady(int status) const {
    if (!sideBySide_()) logLine("Talvex: writer not ready, status: " + std::to_string(status));
}

void MovieLines::timelineStarted(std::int64_t captureMicros) const {
    const std::string seconds = formatNumber(captureMicros / 1e6);
    logLine(sideBySide_() ? "Talvex: dual session started, basePTS=" + seconds
                          : "Talvex: session started for " + camera_ + " at " + seconds);
}

void MovieLines::appendFailed(int status, const std::string& error) const {
    logLine(sideBySide_()
                ? "Talvex: append failed status=" + std::to_string(status) + " error=" + error
                : "Talvex: append failed for " + camera_ + ": " + error);
}

void MovieLines::stopping(int status) const {
    if (sideBySide_()) logLine("Talvex: writer status on stop: " + std::to_string(status));
}

void MovieLines::ended(const MovieResult& result, int status) const {
    using Code = MovieResult::Code;
    if (sideBySide_()) {
        if (result.code == Code::cancelled)
            logLine("Talvex: DualCameraWriter error: no frame pair was written, movie cancelled");
        else if (result.code == Code::failed)
            logLine("Talvex: DualCameraWriter error: " + result.lastError);
        else
            logLine("Talvex: DualCameraWriter finishWriting OK");
    } else if (result.code == Code::cancelled) {
        logLine("Talvex: no frames written for " + camera_ + ", cancelled");
    } else if (result.code == Code::failed) {
        logLine("Talvex: finishWriting error for " + camera_ + ": " + result.lastError);
    } else {
        logLine("Talvex: finishWriting OK for " + camera_ + ", status: " + std::to_string(status));
    }
}

void MovieLines::step(Step step) {
    logLine(kStepLines.at(static_cast<std::size_t>(step)));
}

}  // namespace talvex

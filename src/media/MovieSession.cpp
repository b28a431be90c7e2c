#include "media/MovieSession.h"

#include <filesystem>

namespace talvex {

MovieSession::MovieSession(std::string path, MovieSettings settings)
    : movie_(std::move(path), std::move(settings)) {}

std::string MovieSession::statusText() const {
    return std::to_string(static_cast<int>(movie_.status()));
}

MovieSession::Placement MovieSession::place(std::int64_t ptsMicros) {
    const bool starts = !timelineStarted_;
    if (starts) {
        timelineStarted_ = true;
        timelineStartMicros_ = ptsMicros;
    }
    return {ptsMicros - timelineStartMicros_, starts};
}

void MovieSession::refused() {
    if (movie_.framesAppended() == 0) timelineStarted_ = false;
}

std::optional<double> MovieSession::firstFrameTime() const {
    if (movie_.framesAppended() == 0) return std::nullopt;
    return timelineStartMicros_ / 1e6;
}

std::optional<MovieOutcome> MovieSession::end() {
    const MovieStatus status = movie_.status();
    if (status != MovieStatus::writing && status != MovieStatus::failed) return std::nullopt;
    MovieOutcome outcome;
    outcome.file = std::filesystem::path(movie_.path()).filename().string();
    if (movie_.framesAppended() == 0) {
        movie_.cancel();
        outcome.result = MovieOutcome::Result::cancelled;
    } else if (auto error = movie_.finish()) {
        // Also after a failed append: what was written stays playable.
        outcome.result = MovieOutcome::Result::failed;
        outcome.reason = *error;
    }
    return outcome;
}

}  // namespace talvex

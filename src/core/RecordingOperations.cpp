#include "core/RecordingOperations.h"

namespace talvex {

namespace {

std::string describe(const MovieOutcome& movie) {
    switch (movie.result) {
        case MovieOutcome::Result::finished:
            return movie.file + " finished";
        case MovieOutcome::Result::cancelled:
            return movie.file + " cancelled (no frames)";
        case MovieOutcome::Result::failed:
            return movie.file + " failed: " + movie.reason;
    }
    return movie.file;
}

}  // namespace

std::string describeMovies(const std::vector<MovieOutcome>& movies) {
    std::string text;
    for (const auto& movie : movies) text += (text.empty() ? "" : ", ") + describe(movie);
    return text.empty() ? "no video" : text;
}

}  // namespace talvex

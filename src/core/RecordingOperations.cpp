#include "core/RecordingOperations.h"

namespace talvex {

namespace {

std::string describe(const MovieResult& movie) {
    switch (movie.code) {
        case MovieResult::Code::finished:
            return movie.file + " finished";
        case MovieResult::Code::cancelled:
            return movie.file + " cancelled (no frames)";
        case MovieResult::Code::failed:
            return movie.file + " failed: " + movie.lastError;
    }
    return movie.file;
}

}  // namespace

std::string describeMovies(const std::vector<MovieResult>& movies) {
    std::string text;
    for (const auto& movie : movies) text += (text.empty() ? "" : ", ") + describe(movie);
    return text.empty() ? "no video" : text;
}

}  // namespace talvex

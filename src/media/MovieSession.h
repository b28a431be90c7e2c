#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/RecordingOperations.h"
#include "media/MovieWriter.h"

namespace talvex {

// One recording's movie and its timeline, as both camera writers keep them:
// movie time 0 is the capture time of the first frame the movie took. Not
// thread-safe: its writer's lock or queue orders the calls.
class MovieSession {
public:
    MovieSession(std::string path, MovieSettings settings);

    // Replaces any file at the path and opens the movie (MovieWriter::open).
    std::optional<MovieOpenError> open() { return movie_.open(); }
    MovieWriter& movie() { return movie_; }
    // The movie's status as the log lines print it.
    std::string statusText() const;

    struct Placement {
        std::int64_t
            movieMicros;       // before 0 for a frame older than the first; the movie refuses it
        bool startedTimeline;  // this frame starts the timeline
    };
    // Where a frame captured at ptsMicros goes on the timeline; the first
    // frame placed starts it.
    Placement place(std::int64_t ptsMicros);
    // The frame last placed was not taken: while the movie has taken none,
    // the next frame starts the timeline again.
    void refused();
    bool timelineStarted() const { return timelineStarted_; }
    // Capture instant (steady seconds) of the frame at movie time 0, once
    // the movie took a frame.
    std::optional<double> firstFrameTime() const;

    // Finishes the movie, or cancels (removes) it when it took no frame.
    // None when the movie was never opened or has already ended.
    std::optional<MovieOutcome> end();

private:
    MovieWriter movie_;
    bool timelineStarted_ = false;
    std::int64_t timelineStartMicros_ = 0;
};

}  // namespace talvex

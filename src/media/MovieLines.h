#pragma once

#include <cstdint>
#include <string>

#include "core/RecordingOperations.h"

namespace talvex {

// Every log line a movie prints, in the two voices the log's readers know: a
// camera's own movie ("... for NAME") and the side-by-side one
// ("DualCameraWriter ...", the per-pair "drainAndComposite" steps). Read by
// the lab's log checks and the tests, which match them exactly as written.
class MovieLines {
public:
    static MovieLines camera(std::string name) { return MovieLines(std::move(name)); }
    static MovieLines sideBySide() { return MovieLines(std::string()); }

    // The start error the caller reports when the encoder cannot be set up.
    std::string inputError() const;
    // Status numbers as the lines print them: 1 writing, 2 completed, 3 failed, 4 cancelled.
    void started(bool ok, int status) const;
    void startFailed(const std::string& error) const;
    void notReady(int status) const;
    void timelineStarted(std::int64_t captureMicros) const;
    void appendFailed(int status, const std::string& error) const;
    void stopping(int status) const;
    void ended(const MovieResult& result, int status) const;

    // The side-by-side movie's fixed lines.
    enum class Step {
        callingStop,      // the camera manager asks the compositor to stop
        stopCalled,       // the compositor takes the request
        stopOnItsThread,  // the stop reaches the compositor's thread
        noMovie,          // the compositor has no movie to stop
        drainEnter,
        drainComposite,
        drainDone,
        drainExitEarly,
        noPicture,  // no free picture for the composite
    };
    static void step(Step step);

private:
    explicit MovieLines(std::string camera) : camera_(std::move(camera)) {}
    bool sideBySide_() const { return camera_.empty(); }

    std::string camera_;  // empty for the side-by-side movie
};

}  // namespace talvex

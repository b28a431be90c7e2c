#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

// Why a recording could not start: the text the caller prints ("Cannot
// add writer input", or the media library's reason the file could not be made).
struct RecordingError {
    std::string message;
};

// How a stop left one movie: its code, the last error met while writing
// (also a finished movie may have refused a frame), when its first frame was
// captured (steadyNow() seconds; none when it took no frame) and how many
// frames it holds.
struct MovieResult {
    enum class Code {
        finished,   // flushed, trailer written, plays
        cancelled,  // it took no frame, so the file was removed
        failed,     // finished as far as it could; `lastError` says why
    };
    std::string file;  // the movie's file name, e.g. "camera1.mp4"
    Code code = Code::finished;
    std::string lastError;
    std::optional<double> firstFrameTime;
    std::int64_t framesWritten = 0;
};

// What one camera gave a take, in the order of the movie's halves.
struct CameraTake {
    std::string id;
    std::string name;
    std::string mode;  // e.g. "mjpeg 1280x720 30fps"; empty when unknown
    std::int64_t framesCaptured = 0;
    std::int64_t framesWritten = 0;
    std::int64_t framesLost = 0;        // the driver's sequence skipped them
    std::int64_t framesDamaged = 0;     // flagged or undecodable, kept out of the movie
    std::optional<double> lostAt;       // steadyNow() seconds when it vanished mid-session
    std::optional<double> measuredFps;  // set when it delivered well below the asked rate
};

// What a stop did: the first movie frame's capture instant (steadyNow()
// seconds, the clock of the session's start), none when no movie took a
// frame; every movie it ended, by file name; what each camera gave.
struct StopReport {
    std::optional<double> videoStartTime;
    std::vector<MovieResult> movies;
    std::vector<CameraTake> cameras;
};

// "camera1.mp4 finished", "recording.mp4 failed: <reason>", ... joined by
// ", "; "no video" when there was none.
std::string describeMovies(const std::vector<MovieResult>& movies);

// Runs once on the main thread when a stop has ended every video file.
using StopCompletion = std::function<void(const StopReport& report)>;

// What the session manager needs from the camera side.
class RecordingOperations {
public:
    virtual ~RecordingOperations() = default;
    // Number of open camera recorders (0, 1 or 2).
    virtual std::size_t openedRecorderCount() const = 0;
    // Starts every video file of the session in the folder; an error fails the start.
    virtual std::optional<RecordingError> startRecording(const std::string& folder) = 0;
    // Ends every file, then runs the completion once on the main thread.
    virtual void stopRecording(StopCompletion completion) = 0;
    // Names of the cameras asked for that are not open (they failed to open
    // or were lost since), in slot order.
    virtual std::vector<std::string> missingCameras() const { return {}; }
};

}  // namespace talvex

#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace talvex {

// An error value of the camera writers: domain "Talvex" with code 1 or 2 for
// their own failures, or the media library's text for the rest.
struct RecordingError {
    std::string domain = "Talvex";
    int code = 0;
    std::string message;
};

// What the session manager needs from the camera side.
class RecordingOperations {
public:
    virtual ~RecordingOperations() = default;
    // Number of open camera recorders (0, 1 or 2).
    virtual std::size_t openedRecorderCount() const = 0;
    // Starts every video file of the session in the folder; an error fails the start.
    virtual std::optional<RecordingError> startRecording(const std::string& folder) = 0;
    // Finishes every file, then runs the completion once on the main thread.
    virtual void stopRecording(std::function<void()> completion) = 0;
};

}  // namespace talvex

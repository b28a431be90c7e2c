#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/FileUtil.h"
#include "core/RecordingOperations.h"
#include "media/FfmpegPtr.h"
#include "media/FfmpegScaler.h"
#include "media/MovieLines.h"
#include "media/MovieSettings.h"
#include "media/VideoFrame.h"

namespace talvex {

// The H.264 encoder exactly as the movies use it (libx264, High profile,
// average bit rate, yuv420p, microsecond time base, a key frame per `fps`
// pictures). Null with the reason in `error` when it cannot be opened.
CodecContextPtr openH264Encoder(const MovieSettings& settings, bool globalHeader,
                                std::string& error);

// One H.264 (High) movie in an MP4 file: start, append, stop. Owned by one
// thread (the camera's for its own movie, the compositor's for the side-by-
// side one); nothing here is safe to call from two threads.
//
// Movie time 0 is the capture instant of the first frame the movie takes.
// The output creates its file itself, never through a link and never over
// anything but a plain file it replaces, and hands FFmpeg the descriptor.
// Stopping always flushes the encoder, drains it and writes the trailer, also
// after a failed append and from the destructor, so what was appended plays.
class MovieOutput {
public:
    explicit MovieOutput(MovieLines lines);
    ~MovieOutput();
    MovieOutput(const MovieOutput&) = delete;
    MovieOutput& operator=(const MovieOutput&) = delete;

    // Replaces a plain file at path, opens the encoder, creates the file and
    // writes its header. On failure nothing is left at the path, and the
    // error is the text the start reports.
    std::optional<std::string> start(const std::string& path, const MovieSettings& settings);
    bool isStarted() const {
        return output_ && (status_ == Status::writing || status_ == Status::failed);
    }

    // Appends a captured image at its capture time: a video-range yuv420p
    // image of the movie's size as it is, any other stretched to it. A frame
    // not after the previous one is refused (logged) and the movie goes on.
    void append(const VideoFrame& frame);

    // For a picture made in place (the compositor): a writable picture of the
    // movie's size, then its append at a capture time. False when the frame
    // was not taken.
    AVFrame* picture();
    bool appendPicture(AVFrame& picture, std::int64_t captureMicros);

    // Finishes the movie, or cancels (removes) it when it took no frame. None
    // when it was not started or has already stopped.
    std::optional<MovieResult> stop();

    std::int64_t framesWritten() const { return framesWritten_; }

private:
    enum class Status { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };
    class File;

    std::optional<std::string> openEncoder();
    std::optional<std::string> openFile();
    bool ready();
    bool takesAsItIs(const VideoFrame& image) const;
    std::optional<std::string> encodeAt(AVFrame& picture, std::int64_t captureMicros);
    std::optional<std::string> encode(const AVFrame* picture);
    std::optional<std::string> writePacket();
    void fail(const std::string& error);
    MovieResult finish();
    void close();
    int statusNumber() const { return static_cast<int>(status_); }

    MovieLines lines_;
    MovieSettings settings_;
    std::string path_;
    Status status_ = Status::unknown;
    std::int64_t framesWritten_ = 0;
    std::optional<std::int64_t> firstCaptureMicros_;  // movie time 0, once placed
    std::int64_t lastPts_ = 0;
    std::optional<std::string> firstError_;
    std::unique_ptr<File> file_;
    OutputContextPtr output_;
    CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    PacketPtr packet_;
    std::vector<FramePtr> framePool_;
    FramePtr passThrough_;  // refers to a captured image while it is encoded
    std::unique_ptr<FfmpegScaler> scaler_;
};

}  // namespace talvex

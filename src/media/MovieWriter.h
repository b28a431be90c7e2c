#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/RecordingOperations.h"
#include "media/FfmpegPtr.h"
#include "media/FfmpegScaler.h"
#include "media/VideoFrame.h"

namespace talvex {

// The movie writer's status, numbered as the log lines print it.
enum class MovieStatus : int { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

struct MovieSettings {
    int width = 1280;
    int height = 720;
    std::int64_t bitRate = 8'000'000;  // average, bit/s
    int fps = 30;                      // key-frame spacing and rate control; never timing
    std::string preset = "superfast";
    // Fragmented file with a key frame every second, pushed to the disk at
    // least every second, so a killed process keeps all but the last fragment.
    bool crashSafe = true;
};

struct MovieOpenError {
    enum class Stage { encoder, file };
    Stage stage;
    std::string text;
};

// The error a camera writer's start reports: its own code and text when the
// encoder cannot be set up, the media library's text when the file cannot be
// created or its header written.
RecordingError startError(const MovieOpenError& error, int code, const std::string& message);

// The H.264 encoder exactly as the movies use it (libx264, High profile,
// average bit rate, yuv420p, microsecond time base, a key frame per `fps`
// pictures). Null with the reason in `error` when it cannot be opened.
CodecContextPtr openH264Encoder(const MovieSettings& settings, bool globalHeader,
                                std::string& error);

// One H.264 (High) movie in an MP4 file, fed yuv420p pictures stamped in
// microseconds. Not thread-safe: one thread at a time drives it.
// Finishing always flushes the encoder, drains it and writes the trailer,
// also after a failed append and from the destructor, so what was appended
// stays playable.
class MovieWriter {
public:
    MovieWriter(std::string path, MovieSettings settings);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Replaces any file at the path, opens the encoder, creates the file and
    // writes its header. On failure nothing is left at the path.
    std::optional<MovieOpenError> open();

    // A writable picture of the movie's size from a small pool, to fill and
    // append; nullptr when the pool cannot supply one.
    AVFrame* acquireFrame();
    // Encodes the picture at the given movie time. A time not after the
    // previous one is refused and the movie goes on; an encoder or file
    // error turns the status to failed. Returns the reason of a refusal.
    std::optional<std::string> append(AVFrame& picture, std::int64_t ptsMicros);
    // Appends a captured image: a video-range yuv420p image of the movie's
    // size as it is, any other stretched to the movie size first.
    std::optional<std::string> appendImage(const VideoFrame& image, std::int64_t ptsMicros);

    // Flush, drain, trailer, close. Returns the first error met while writing.
    std::optional<std::string> finish();
    // Drops the movie and removes its file.
    void cancel();

    MovieStatus status() const { return status_.load(); }
    std::int64_t framesAppended() const { return framesAppended_.load(); }
    const std::string& path() const { return path_; }

private:
    class DiskSync;

    std::optional<std::string> openEncoder();
    std::optional<std::string> openFile();
    bool takesAsItIs(const VideoFrame& image) const;
    std::optional<std::string> checkTime(std::int64_t ptsMicros) const;
    std::optional<std::string> encode(const AVFrame* picture);
    std::optional<std::string> writePacket();
    void syncIfDue(bool force);
    void fail(const std::string& error);
    void closeFile();

    std::string path_;
    MovieSettings settings_;
    std::atomic<MovieStatus> status_{MovieStatus::unknown};
    std::atomic<std::int64_t> framesAppended_{0};
    std::int64_t lastPts_ = 0;
    std::optional<std::string> firstError_;
    OutputContextPtr output_;
    CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    PacketPtr packet_;
    std::vector<FramePtr> framePool_;
    FramePtr passThrough_;  // refers to a captured image while it is encoded
    FfmpegScaler scaler_;
    std::unique_ptr<DiskSync> diskSync_;
    double lastSync_ = 0;
    std::int64_t completeBytes_ = 0;  // the file's length up to its last whole fragment
};

}  // namespace talvex

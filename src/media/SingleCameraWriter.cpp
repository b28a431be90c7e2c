#include "media/SingleCameraWriter.h"

#include "core/Log.h"
#include "core/NumberFormat.h"
#include "media/MovieSession.h"

namespace talvex {

namespace {

constexpr int kMovieWidth = 1280;
constexpr int kMovieHeight = 720;
constexpr std::int64_t kBitRate = 8'000'000;

MovieSettings singleCameraMovie() {
    MovieSettings settings;
    settings.width = kMovieWidth;
    settings.height = kMovieHeight;
    settings.bitRate = kBitRate;
    return settings;
}

}  // namespace

SingleCameraWriter::SingleCameraWriter(std::string cameraName)
    : cameraName_(std::move(cameraName)) {}

SingleCameraWriter::~SingleCameraWriter() {
    std::lock_guard lock(mutex_);
    if (writing_.exchange(false)) finishOrCancel();
}

std::optional<RecordingError> SingleCameraWriter::startRecording(const std::string& path) {
    std::lock_guard lock(mutex_);
    // A start without a stop in between ends the previous movie first.
    if (writing_.exchange(false)) finishOrCancel();
    auto movie = std::make_unique<MovieSession>(path, singleCameraMovie());
    auto error = movie->open();
    logLine("Talvex: startWriting for " + cameraName_ + ": " + (error ? "false" : "true") +
            ", status: " + movie->statusText());
    if (error) {
        logLine("Talvex: writer error on start: " + error->text);
        return startError(*error, 1, "Cannot add writer input");
    }
    movie_ = std::move(movie);
    writing_ = true;
    return std::nullopt;
}

void SingleCameraWriter::appendFrame(const VideoFramePtr& frame) {
    if (!frame || !writing_) return;
    std::lock_guard lock(mutex_);
    if (!writing_ || !movie_) return;
    // A failed movie was reported when it failed; it keeps what it has.
    if (movie_->movie().status() != MovieStatus::writing) {
        if (!movie_->timelineStarted())
            logLine("Talvex: writer not ready, status: " + movie_->statusText());
        return;
    }
    const auto [movieMicros, startedTimeline] = movie_->place(frame->ptsMicros);
    if (startedTimeline)
        logLine("Talvex: session started for " + cameraName_ + " at " +
                formatNumber(frame->ptsMicros / 1e6));
    if (auto error = movie_->movie().appendImage(*frame, movieMicros)) {
        logLine("Talvex: append failed for " + cameraName_ + ": " + *error);
        movie_->refused();
    }
}

std::optional<MovieOutcome> SingleCameraWriter::stopRecording() {
    if (!writing_.exchange(false)) return std::nullopt;
    std::lock_guard lock(mutex_);
    return finishOrCancel();
}

std::optional<MovieOutcome> SingleCameraWriter::finishOrCancel() {
    auto outcome = movie_ ? movie_->end() : std::nullopt;
    if (!outcome) return outcome;
    if (outcome->result == MovieOutcome::Result::cancelled)
        logLine("Talvex: no frames written for " + cameraName_ + ", cancelled");
    else if (outcome->result == MovieOutcome::Result::failed)
        logLine("Talvex: finishWriting error for " + cameraName_ + ": " + outcome->reason);
    else
        logLine("Talvex: finishWriting OK for " + cameraName_ +
                ", status: " + movie_->statusText());
    return outcome;
}

bool SingleCameraWriter::isWriting() const {
    return writing_;
}

int SingleCameraWriter::status() const {
    std::lock_guard lock(mutex_);
    return movie_ ? static_cast<int>(movie_->movie().status()) : 0;
}

std::optional<double> SingleCameraWriter::firstFrameTime() const {
    std::lock_guard lock(mutex_);
    return movie_ ? movie_->firstFrameTime() : std::nullopt;
}

std::int64_t SingleCameraWriter::framesWritten() const {
    std::lock_guard lock(mutex_);
    return movie_ ? movie_->movie().framesAppended() : 0;
}

}  // namespace talvex

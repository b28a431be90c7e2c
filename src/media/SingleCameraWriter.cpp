#include "media/SingleCameraWriter.h"

#include "core/Log.h"
#include "core/NumberFormat.h"
#include "media/MovieWriter.h"

namespace talvex {

namespace {

MovieSettings singleCameraMovie() {
    MovieSettings settings;
    settings.width = 1280;
    settings.height = 720;
    settings.bitRate = 8'000'000;
    return settings;
}

std::string statusText(const MovieWriter& movie) {
    return std::to_string(static_cast<int>(movie.status()));
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
    auto movie = std::make_unique<MovieWriter>(path, singleCameraMovie());
    auto error = movie->open();
    logLine("Talvex: startWriting for " + cameraName_ + ": " + (error ? "false" : "true") +
            ", status: " + statusText(*movie));
    if (error) {
        logLine("Talvex: writer error on start: " + error->text);
        return startError(*error, 1, "Cannot add writer input");
    }
    movie_ = std::move(movie);
    sessionStarted_ = false;
    writing_ = true;
    return std::nullopt;
}

void SingleCameraWriter::appendFrame(const VideoFramePtr& frame) {
    if (!frame || !writing_) return;
    std::lock_guard lock(mutex_);
    if (!writing_ || !movie_) return;
    if (!sessionStarted_) {
        if (movie_->status() != MovieStatus::writing) {
            logLine("Talvex: writer not ready, status: " + statusText(*movie_));
            return;
        }
        sessionStarted_ = true;
        sessionStartMicros_ = frame->ptsMicros;
        logLine("Talvex: session started for " + cameraName_ + " at " +
                formatNumber(frame->ptsMicros / 1e6));
    }
    // A failed movie was reported when it failed; it keeps what it has.
    if (movie_->status() == MovieStatus::failed) return;
    if (auto error = movie_->appendImage(*frame, frame->ptsMicros - sessionStartMicros_)) {
        logLine("Talvex: append failed for " + cameraName_ + ": " + *error);
        // The timeline starts with the first frame the movie took.
        if (movie_->framesAppended() == 0) sessionStarted_ = false;
    }
}

void SingleCameraWriter::stopRecording() {
    if (!writing_.exchange(false)) return;
    std::lock_guard lock(mutex_);
    finishOrCancel();
}

void SingleCameraWriter::finishOrCancel() {
    if (!movie_) return;
    if (!sessionStarted_ || movie_->framesAppended() == 0) {
        movie_->cancel();
        logLine("Talvex: no frames written for " + cameraName_ + ", cancelled");
        return;
    }
    if (auto error = movie_->finish())
        logLine("Talvex: finishWriting error for " + cameraName_ + ": " + *error);
    else
        logLine("Talvex: finishWriting OK for " + cameraName_ + ", status: " + statusText(*movie_));
}

bool SingleCameraWriter::isWriting() const {
    return writing_;
}

int SingleCameraWriter::status() const {
    std::lock_guard lock(mutex_);
    return movie_ ? static_cast<int>(movie_->status()) : 0;
}

std::optional<double> SingleCameraWriter::firstFrameTime() const {
    std::lock_guard lock(mutex_);
    if (!movie_ || movie_->framesAppended() == 0) return std::nullopt;
    return sessionStartMicros_ / 1e6;
}

std::int64_t SingleCameraWriter::framesWritten() const {
    std::lock_guard lock(mutex_);
    return movie_ ? movie_->framesAppended() : 0;
}

}  // namespace talvex

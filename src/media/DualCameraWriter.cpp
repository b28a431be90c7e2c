#include "media/DualCameraWriter.h"

#include "core/Log.h"
#include "core/NumberFormat.h"
#include "media/FfmpegScaler.h"
#include "media/MovieWriter.h"

namespace talvex {

namespace {

std::string statusText(const MovieWriter& movie) {
    return std::to_string(static_cast<int>(movie.status()));
}

}  // namespace

DualCameraWriter::DualCameraWriter(std::string outputPath, bool swapped, std::int64_t fps)
    : outputPath_(std::move(outputPath)), swapped_(swapped), fps_(fps) {}

DualCameraWriter::~DualCameraWriter() = default;

std::optional<RecordingError> DualCameraWriter::startWriting() {
    if (movie_) return RecordingError{"Talvex", 2, "Cannot add dual writer input"};
    MovieSettings settings;
    settings.width = 2 * singleWidth_;
    settings.height = height_;
    settings.bitRate = 16'000'000;
    settings.crashSafe = crashSafe_;
    // The rate only spaces the key frames about a second apart.
    settings.fps = fps_ > 0 && fps_ <= 240 ? static_cast<int>(fps_) : 30;
    auto movie = std::make_unique<MovieWriter>(outputPath_, settings);
    auto error = movie->open();
    logLine(std::string("Talvex: DualCameraWriter startWriting: ") + (error ? "false" : "true") +
            ", status: " + statusText(*movie));
    if (error) {
        logLine("Talvex: DualCameraWriter error: " + error->text);
        return startError(*error, 2, "Cannot add dual writer input");
    }
    movie_ = std::move(movie);
    leftHalfScaler_ = std::make_unique<FfmpegScaler>(singleWidth_, height_);
    rightHalfScaler_ = std::make_unique<FfmpegScaler>(singleWidth_, height_);
    sessionStarted_ = false;
    isWriting_ = true;
    return std::nullopt;
}

void DualCameraWriter::appendFrame(VideoFramePtr frame, std::int64_t cameraIndex) {
    if (!frame || !isWriting_) return;
    bool schedule = false;
    {
        std::lock_guard lock(bufferLock_);
        (cameraIndex == 0 ? latestLeft_ : latestRight_).swap(frame);
        if (latestLeft_ && latestRight_ && !pendingComposite_) {
            pendingComposite_ = true;
            schedule = true;
        }
    }
    // `frame` now holds the replaced one, released outside the lock.
    if (schedule) writerQueue_.async([self = shared_from_this()] { self->drainAndComposite(); });
}

void DualCameraWriter::drainAndComposite() {
    logLine("Talvex: drainAndComposite enter");
    VideoFramePtr left;
    VideoFramePtr right;
    {
        std::lock_guard lock(bufferLock_);
        left.swap(latestLeft_);
        right.swap(latestRight_);
        pendingComposite_ = false;
    }
    if (isWriting_ && left && right) {
        logLine("Talvex: drainAndComposite calling composite");
        composite(left, right);
        logLine("Talvex: drainAndComposite done");
    } else {
        logLine("Talvex: drainAndComposite exit early");
    }
}

// `left` is camera 0's frame and `right` camera 1's; `swapped_` decides
// where each lands. Camera 0's clock times the movie.
void DualCameraWriter::composite(const VideoFramePtr& left, const VideoFramePtr& right) {
    if (!movie_ || movie_->status() != MovieStatus::writing) return;
    const std::int64_t pts = left->ptsMicros;
    if (!sessionStarted_) {
        sessionStarted_ = true;
        sessionStartMicros_ = pts;
        logLine("Talvex: dual session started, basePTS=" + formatNumber(pts / 1e6));
    }
    const std::int64_t rel = pts - sessionStartMicros_;
    if (rel < 0) return;
    AVFrame* out = movie_->acquireFrame();
    if (!out) {
        logLine("Talvex: pool alloc failed");
        return;
    }
    const VideoFrame& first = swapped_ ? *right : *left;
    const VideoFrame& second = swapped_ ? *left : *right;
    if (!makeSideBySideFrame(first, second, *out)) {
        if (compositesWritten_ == 0) sessionStarted_ = false;
        return;
    }
    if (auto error = movie_->append(*out, rel)) {
        logLine("Talvex: append failed status=" + statusText(*movie_) + " error=" + *error);
        if (compositesWritten_ == 0) sessionStarted_ = false;
        return;
    }
    ++compositesWritten_;
}

// Each image is stretched on its own straight into its half of the
// encoder's picture; together the two halves cover every pixel.
bool DualCameraWriter::makeSideBySideFrame(const VideoFrame& first, const VideoFrame& second,
                                           AVFrame& out) {
    return leftHalfScaler_->scale(first, out, 0) &&
           rightHalfScaler_->scale(second, out, singleWidth_);
}

void DualCameraWriter::stopWriting(std::function<void()> completion) {
    logLine("Talvex: DualCameraWriter stopWriting called");
    isWriting_ = false;
    writerQueue_.async([self = shared_from_this(), completion = std::move(completion)] {
        self->finishOnWriterQueue(completion);
    });
}

void DualCameraWriter::finishOnWriterQueue(const std::function<void()>& completion) {
    logLine("Talvex: stopWriting block executing on writerQueue");
    if (!movie_) {
        logLine("Talvex: writer is nil");
    } else {
        logLine("Talvex: writer status on stop: " + statusText(*movie_));
        const bool open =
            movie_->status() == MovieStatus::writing || movie_->status() == MovieStatus::failed;
        if (open && compositesWritten_ == 0) {
            // An empty movie is not worth offering: remove it.
            movie_->cancel();
            logLine("Talvex: DualCameraWriter error: no frame pair was written, movie cancelled");
        } else if (open) {
            // Also after a failed append: what was written stays playable.
            if (auto error = movie_->finish())
                logLine("Talvex: DualCameraWriter error: " + *error);
            else
                logLine("Talvex: DualCameraWriter finishWriting OK");
        }
    }
    if (completion) completion();
}

std::optional<double> DualCameraWriter::firstFrameTime() const {
    if (compositesWritten_ == 0) return std::nullopt;
    return sessionStartMicros_ / 1e6;
}

int DualCameraWriter::status() const {
    return movie_ ? static_cast<int>(movie_->status()) : 0;
}

bool DualCameraWriter::pairWaiting() const {
    std::lock_guard lock(bufferLock_);
    return pendingComposite_;
}

void DualCameraWriter::waitUntilIdle() {
    writerQueue_.sync([] {});
}

}  // namespace talvex

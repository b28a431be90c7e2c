#include "media/DualCameraWriter.h"

#include "core/Log.h"
#include "core/NumberFormat.h"
#include "media/FfmpegScaler.h"
#include "media/MovieSession.h"

namespace talvex {

namespace {

constexpr std::int64_t kBitRate = 16'000'000;
// The rate only spaces the key frames about a second apart; one outside
// this range is not a camera's.
constexpr std::int64_t kMaxKeyFrameFps = 240;
constexpr int kDefaultKeyFrameFps = 30;

}  // namespace

DualCameraWriter::DualCameraWriter(std::string outputPath, bool swapped, std::int64_t fps)
    : outputPath_(std::move(outputPath)), swapped_(swapped), fps_(fps) {}

DualCameraWriter::~DualCameraWriter() = default;

std::optional<RecordingError> DualCameraWriter::startWriting() {
    if (movie_) return RecordingError{"Talvex", 2, "Cannot add dual writer input"};
    MovieSettings settings;
    settings.width = 2 * kSingleWidth;
    settings.height = kHeight;
    settings.bitRate = kBitRate;
    settings.crashSafe = crashSafe_;
    settings.fps =
        fps_ > 0 && fps_ <= kMaxKeyFrameFps ? static_cast<int>(fps_) : kDefaultKeyFrameFps;
    auto movie = std::make_unique<MovieSession>(outputPath_, settings);
    auto error = movie->open();
    logLine(std::string("Talvex: DualCameraWriter startWriting: ") + (error ? "false" : "true") +
            ", status: " + movie->statusText());
    if (error) {
        logLine("Talvex: DualCameraWriter error: " + error->text);
        return startError(*error, 2, "Cannot add dual writer input");
    }
    movie_ = std::move(movie);
    leftHalfScaler_ = std::make_unique<FfmpegScaler>(kSingleWidth, kHeight);
    rightHalfScaler_ = std::make_unique<FfmpegScaler>(kSingleWidth, kHeight);
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

// The per-frame lines here ("Talvex: drainAndComposite enter" and the rest)
// are required output: they are how a log shows each pair's path through
// the writer, so they stay even though they are many.
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
    if (!movie_ || movie_->movie().status() != MovieStatus::writing) return;
    const auto [movieMicros, startedTimeline] = movie_->place(left->ptsMicros);
    if (startedTimeline)
        logLine("Talvex: dual session started, basePTS=" + formatNumber(left->ptsMicros / 1e6));
    AVFrame* out = movie_->movie().acquireFrame();
    if (!out) {
        logLine("Talvex: pool alloc failed");
        movie_->refused();
        return;
    }
    const VideoFrame& first = swapped_ ? *right : *left;
    const VideoFrame& second = swapped_ ? *left : *right;
    if (!makeSideBySideFrame(first, second, *out)) {
        movie_->refused();
        return;
    }
    if (auto error = movie_->movie().append(*out, movieMicros)) {
        logLine("Talvex: append failed status=" + movie_->statusText() + " error=" + *error);
        movie_->refused();
        return;
    }
    ++compositesWritten_;
}

// Each image is stretched on its own straight into its half of the
// encoder's picture; together the two halves cover every pixel.
bool DualCameraWriter::makeSideBySideFrame(const VideoFrame& first, const VideoFrame& second,
                                           AVFrame& out) {
    return leftHalfScaler_->scale(first, out, 0) &&
           rightHalfScaler_->scale(second, out, kSingleWidth);
}

void DualCameraWriter::stopWriting(StopDone completion) {
    logLine("Talvex: DualCameraWriter stopWriting called");
    isWriting_ = false;
    writerQueue_.async([self = shared_from_this(), completion = std::move(completion)] {
        self->finishOnWriterQueue(completion);
    });
}

void DualCameraWriter::finishOnWriterQueue(const StopDone& completion) {
    logLine("Talvex: stopWriting block executing on writerQueue");
    std::optional<MovieOutcome> outcome;
    if (!movie_) {
        logLine("Talvex: writer is nil");
    } else {
        logLine("Talvex: writer status on stop: " + movie_->statusText());
        outcome = movie_->end();
        if (outcome && outcome->result == MovieOutcome::Result::cancelled)
            logLine("Talvex: DualCameraWriter error: no frame pair was written, movie cancelled");
        else if (outcome && outcome->result == MovieOutcome::Result::failed)
            logLine("Talvex: DualCameraWriter error: " + outcome->reason);
        else if (outcome)
            logLine("Talvex: DualCameraWriter finishWriting OK");
    }
    if (completion) completion(outcome);
}

std::optional<double> DualCameraWriter::firstFrameTime() const {
    return movie_ ? movie_->firstFrameTime() : std::nullopt;
}

int DualCameraWriter::status() const {
    return movie_ ? static_cast<int>(movie_->movie().status()) : 0;
}
bool DualCameraWriter::pairWaiting() const {
    std::lock_guard lock(bufferLock_);
    return pendingComposite_;
}

void DualCameraWriter::waitUntilIdle() {
    writerQueue_.sync([] {});
}

}  // namespace talvex

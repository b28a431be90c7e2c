#include "media/Compositor.h"

#include "media/FfmpegScaler.h"

namespace talvex {

Compositor::Compositor(bool swapped) : swapped_(swapped) {}

Compositor::~Compositor() = default;

std::optional<std::string> Compositor::start(const std::string& path,
                                             const MovieSettings& settings) {
    std::optional<std::string> error;
    thread_.sync([&] {
        error = output_.start(path, settings);
        leftHalf_ = std::make_unique<FfmpegScaler>(settings.width / 2, settings.height);
        rightHalf_ = std::make_unique<FfmpegScaler>(settings.width / 2, settings.height);
    });
    taking_ = !error;
    return error;
}

void Compositor::offer(int camera, VideoFramePtr frame) {
    if (!frame || !taking_) return;
    bool schedule = false;
    {
        std::lock_guard lock(slotLock_);
        latest_[camera == 0 ? 0 : 1].swap(frame);
        if (latest_[0] && latest_[1] && !drainPending_) drainPending_ = schedule = true;
    }
    // `frame` now holds the replaced one, released outside the lock.
    if (schedule) thread_.async([self = shared_from_this()] { self->drain(); });
}

void Compositor::drain() {
    MovieLines::step(MovieLines::Step::drainEnter);
    VideoFramePtr left;
    VideoFramePtr right;
    {
        std::lock_guard lock(slotLock_);
        left.swap(latest_[0]);
        right.swap(latest_[1]);
        drainPending_ = false;
    }
    if (!taking_ || !left || !right) return MovieLines::step(MovieLines::Step::drainExitEarly);
    MovieLines::step(MovieLines::Step::drainComposite);
    composite(left, right);
    MovieLines::step(MovieLines::Step::drainDone);
}

// `left` is camera 0's frame and `right` camera 1's; `swapped_` decides
// where each lands. Each image is stretched on its own straight into its
// half of the encoder's picture; together the halves cover every pixel.
void Compositor::composite(const VideoFramePtr& left, const VideoFramePtr& right) {
    AVFrame* out = output_.picture();
    if (!out) return MovieLines::step(MovieLines::Step::noPicture);
    const VideoFrame& first = swapped_ ? *right : *left;
    const VideoFrame& second = swapped_ ? *left : *right;
    if (!leftHalf_->scale(first, *out, 0) ||
        !rightHalf_->scale(second, *out, leftHalf_->outputWidth()))
        return;
    if (output_.appendPicture(*out, left->ptsMicros)) ++framesWritten_;
}

void Compositor::stop(std::function<void(std::optional<MovieResult>)> done) {
    MovieLines::step(MovieLines::Step::stopCalled);
    taking_ = false;
    thread_.async([self = shared_from_this(), done = std::move(done)] {
        MovieLines::step(MovieLines::Step::stopOnItsThread);
        auto result = self->output_.stop();
        if (!result) MovieLines::step(MovieLines::Step::noMovie);
        if (done) done(std::move(result));
    });
}

}  // namespace talvex

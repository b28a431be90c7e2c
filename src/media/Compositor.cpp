#include "media/Compositor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "core/Clock.h"
#include "media/FfmpegScaler.h"

namespace talvex {

namespace {

// Frames a camera may have queued for the compositor (1.5 s at 30 fps, beyond
// the delivery allowance); beyond that the oldest goes, so a compositor
// behind never piles up memory.
constexpr std::size_t kMaxQueued = 45;
// How long the thread sleeps before the first frame when nothing arrives.
constexpr double kIdleWait = 0.5;

std::int64_t micros(double seconds) {
    return std::llround(seconds * 1e6);
}

}  // namespace

Compositor::Compositor(bool swapped) : swapped_(swapped) {}

// Dropped without a stop (its manager went): the thread's task ends before
// the thread is joined, and the output finishes the movie.
Compositor::~Compositor() {
    {
        std::lock_guard lock(inboxLock_);
        stopping_ = true;
    }
    arrived_.notify_one();
}

std::optional<std::string> Compositor::start(const std::string& path,
                                             const MovieSettings& settings) {
    std::optional<std::string> error;
    thread_.sync([&] {
        error = output_.start(path, settings);
        timeline_.emplace(settings.fps);
        for (auto& half : halves_)
            half = std::make_unique<FfmpegScaler>(settings.width / 2, settings.height);
    });
    taking_ = !error;
    // The thread's one long task; it ends at the stop or with the compositor.
    if (!error) thread_.async([this] { run(); });
    return error;
}

void Compositor::offer(int camera, VideoFramePtr frame) {
    if (!frame || !taking_) return;
    VideoFramePtr dropped;  // released outside the lock
    {
        std::lock_guard lock(inboxLock_);
        auto& queued = inbox_[camera == 0 ? 0 : 1];
        queued.push_back(std::move(frame));
        if (queued.size() > kMaxQueued) dropped = std::move(queued.front()), queued.pop_front();
    }
    arrived_.notify_one();
}

void Compositor::cameraLost(int camera, double at) {
    {
        std::lock_guard lock(inboxLock_);
        lostAt_[camera == 0 ? 0 : 1] = at;
    }
    arrived_.notify_one();
}

// Takes what the cameras queued, writes every tick that can be decided, and
// sleeps until a frame arrives or the next tick's frames are overdue.
void Compositor::run() {
    for (;;) {
        std::array<std::deque<VideoFramePtr>, 2> arrived;
        std::array<std::optional<double>, 2> lost;
        bool stopping = false;
        {
            std::lock_guard lock(inboxLock_);
            arrived.swap(inbox_);
            lost.swap(lostAt_);
            stopping = stopping_;
        }
        absorb(arrived);
        for (int camera : {0, 1})
            if (lost[camera]) timeline_->cameraLost(camera, *lost[camera]);
        const double wake = writeDueTicks(stopping);
        if (stopping) return;
        std::unique_lock lock(inboxLock_);
        const auto wait = std::chrono::duration<double>(std::max(0.0, wake - steadyNow()));
        arrived_.wait_for(lock, wait, [this] {
            return stopping_ || !inbox_[0].empty() || !inbox_[1].empty() || lostAt_[0] ||
                   lostAt_[1];
        });
    }
}

// Offers the frames to the timeline in capture order across both cameras,
// so the first one captured starts it.
void Compositor::absorb(std::array<std::deque<VideoFramePtr>, 2>& arrived) {
    std::vector<std::pair<VideoFramePtr, int>> ordered;
    for (int camera : {0, 1})
        for (auto& frame : arrived[camera]) ordered.emplace_back(std::move(frame), camera);
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        return a.first->ptsMicros < b.first->ptsMicros;
    });
    for (auto& [frame, camera] : ordered) {
        const double at = frame->ptsMicros / 1e6;
        if (!timeline_->offer(camera, at, nextId_)) continue;
        frames_[camera].emplace(nextId_++, std::move(frame));
        newest_ = std::max(newest_.value_or(at), at);
    }
}

// Writes the ticks that can be decided (every one up to the newest frame
// when flushing) and says when to look again.
double Compositor::writeDueTicks(bool flush) {
    if (!timeline_->start()) return steadyNow() + kIdleWait;
    const double reach = SideBySideTimeline::kReach * timeline_->movieTime(1);
    for (;;) {
        const double tick = timeline_->tickInstant(nextTick_);
        const double now = steadyNow();
        // No tick goes past the newest frame: with both cameras lost the movie ends there.
        if (!(newest_ && tick - reach < *newest_)) return flush ? now : now + kIdleWait;
        if (!flush && !timeline_->ready(nextTick_, now))
            return tick + reach + SideBySideTimeline::kDeliveryAllowance;
        writeTick(nextTick_++);
    }
}

// Each camera in its half: the frame the timeline chose, black before its
// first. Frames no tick will show any more are released.
void Compositor::writeTick(std::int64_t tick) {
    MovieLines::step(MovieLines::Step::drainEnter);
    const SideBySideTimeline::Halves halves = timeline_->choose(tick);
    if (tick == 0) startMicros_ = micros(*timeline_->start());
    if (AVFrame* out = output_.picture(); !out) {
        MovieLines::step(MovieLines::Step::noPicture);
    } else {
        MovieLines::step(MovieLines::Step::drainComposite);
        bool painted = true;
        for (int camera : {0, 1})
            painted = painted && paintHalf(*out, camera, halves[camera],
                                           (camera == 1) != swapped_ ? out->width / 2 : 0);
        if (painted &&
            output_.appendPicture(*out, startMicros_ + micros(timeline_->movieTime(tick)))) {
            ++framesWritten_;
            for (int camera : {0, 1})
                if (halves[camera].fresh) ++shown_[camera];
        }
        MovieLines::step(MovieLines::Step::drainDone);
    }
    for (int camera : {0, 1})
        if (const auto& shown = halves[camera].frame)
            frames_[camera].erase(frames_[camera].begin(), frames_[camera].lower_bound(*shown));
}

bool Compositor::paintHalf(AVFrame& out, int camera, const SideBySideTimeline::Half& half, int x) {
    const PixelRect place{x, 0, out.width / 2, out.height};
    auto frame = half.frame ? frames_[camera].find(*half.frame) : frames_[camera].end();
    if (frame == frames_[camera].end()) {
        FfmpegScaler::paintBlack(out, place);
        return true;
    }
    if (!halves_[camera]->place(*frame->second, out, place)) return false;
    if (half.lost) FfmpegScaler::dim(out, place);
    return true;
}

void Compositor::stop(std::function<void(std::optional<MovieResult>)> done) {
    MovieLines::step(MovieLines::Step::stopCalled);
    taking_ = false;
    {
        std::lock_guard lock(inboxLock_);
        stopping_ = true;
    }
    arrived_.notify_one();
    thread_.async([self = shared_from_this(), done = std::move(done)] {
        MovieLines::step(MovieLines::Step::stopOnItsThread);
        auto result = self->output_.stop();
        if (!result) MovieLines::step(MovieLines::Step::noMovie);
        if (done) done(std::move(result));
    });
}

}  // namespace talvex

#include "media/CameraRecorder.h"

#include <utility>

#include "core/Clock.h"
#include "core/Log.h"
#include "media/CaptureSource.h"
#include "media/Compositor.h"

namespace talvex {

namespace {

// Frames waiting for the camera's thread; beyond this the movie cannot keep
// up and a frame is dropped instead of piling up memory.
constexpr int kMaxBacklog = 8;

}  // namespace

CameraRecorder::CameraRecorder(CameraDevice device, std::int64_t fps)
    : device_(std::move(device)), fps_(fps), output_(MovieLines::camera(device_.name)) {}

CameraRecorder::~CameraRecorder() {
    close();
    // Lets every frame already queued reach its movie before the thread goes;
    // the movie itself is finished by its output's destructor.
    thread_.reset();
}

void CameraRecorder::setOnDisconnect(std::function<void(const CameraDevice&)> onDisconnect) {
    onDisconnect_ = std::move(onDisconnect);
}

std::optional<std::string> CameraRecorder::setup() {
    std::string error;
    source_ = CaptureSource::open(device_, fps_, error);
    if (!source_) return error;
    thread_ = std::make_unique<SerialQueue>("talvex.capture." + device_.id);
    source_->start({[this](VideoFramePtr frame) { deliver(std::move(frame)); },
                    [this](std::int64_t at) { thread_->async([this, at] { count(at, true); }); },
                    [this](const std::string& line) { lose(line); }});
    return std::nullopt;
}

bool CameraRecorder::isCapturing() const {
    return source_ && source_->isCapturing();
}

void CameraRecorder::deliver(VideoFramePtr frame) {
    slot_.offer(frame);
    if (backlog_.load() >= kMaxBacklog) {
        // Still captured: the take's counts and rate see it.
        thread_->async([this, at = frame->ptsMicros] { count(at, false); });
        return;
    }
    ++backlog_;
    thread_->async([this, frame = std::move(frame)] {
        --backlog_;
        count(frame->ptsMicros, false);
        take(frame);
    });
}

void CameraRecorder::count(std::int64_t captureMicros, bool damaged) {
    if (!accounting_) return;
    if (auto line = accounting_->captured(static_cast<double>(captureMicros) / 1e6)) logLine(*line);
    if (damaged) accounting_->damaged();
}

void CameraRecorder::take(const VideoFramePtr& frame) {
    if (compositor_)
        compositor_->offer(compositorIndex_, frame);
    else if (output_.isStarted())
        output_.append(*frame);
}

void CameraRecorder::lose(const std::string& line) {
    logLine(line);
    // The movie of a lost camera is finished now, so it stays playable
    // whatever happens to the camera afterwards.
    thread_->async([this, at = steadyNow()] {
        if (take_) take_->lostAt = at;
        if (output_.isStarted()) unreported_ = output_.stop();
    });
    if (!closing_ && onDisconnect_) onDisconnect_(device_);
}

std::optional<std::string> CameraRecorder::startRecording(const std::string& path) {
    if (!thread_) return MovieLines::camera(device_.name).inputError();
    std::optional<std::string> error;
    thread_->sync([&] {
        error = output_.start(path, MovieSettings::singleCamera());
        if (!error) beginTake();
    });
    return error;
}

void CameraRecorder::feed(std::shared_ptr<Compositor> compositor, int index) {
    if (!thread_) return;
    // One hand-over, so no frame reaches the compositor as the other camera.
    thread_->async([this, compositor = std::move(compositor), index] {
        compositor_ = compositor;
        compositorIndex_ = index;
        beginTake();
    });
}

void CameraRecorder::stopRecording(std::function<void(Stopped)> done) {
    if (!thread_) return done({});
    thread_->async([this, done = std::move(done)] { done(endTake()); });
}

void CameraRecorder::beginTake() {
    take_ = CameraTake{};
    take_->id = device_.id;
    take_->name = device_.name;
    take_->mode = source_ ? source_->mode() : std::string();
    accounting_.emplace(device_.name, static_cast<double>(fps_));
}

CameraRecorder::Stopped CameraRecorder::endTake() {
    compositor_.reset();
    if (output_.isStarted()) unreported_ = output_.stop();
    if (take_ && accounting_) accounting_->fill(*take_);
    accounting_.reset();
    Stopped stopped{std::exchange(unreported_, std::nullopt), std::exchange(take_, std::nullopt)};
    if (stopped.take && stopped.movie) stopped.take->framesWritten = stopped.movie->framesWritten;
    return stopped;
}

void CameraRecorder::close() {
    closing_ = true;
    if (source_) source_->stop();
}

}  // namespace talvex

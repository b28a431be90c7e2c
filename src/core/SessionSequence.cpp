#include "core/SessionSequence.h"

#include <utility>

namespace talvex {

StartAction SessionSequence::requestStart(const StartRequest& request) {
    bool sessionAhead = false;  // a session that will still record when this start is reached
    if (!waiting_.empty())
        sessionAhead = !waiting_.back().stopAfter;
    else if (phase_ == SessionPhase::idle)
        return StartAction::begin;
    else
        sessionAhead = phase_ == SessionPhase::recording ||
                       (phase_ == SessionPhase::leadIn && !stopRequested_);
    if (sessionAhead || waiting_.size() >= kMaxWaitingStarts) return StartAction::ignore;
    waiting_.push_back(WaitingStart{request, false});
    return StartAction::wait;
}

StopAction SessionSequence::requestStop() {
    if (!waiting_.empty()) {
        if (waiting_.back().stopAfter) return StopAction::ignore;
        waiting_.back().stopAfter = true;
        return StopAction::wait;
    }
    switch (phase_) {
        case SessionPhase::recording:
            return StopAction::stop;
        case SessionPhase::leadIn:
            if (stopRequested_) return StopAction::ignore;
            stopRequested_ = true;
            return StopAction::stopWhenRecording;
        case SessionPhase::idle:
        case SessionPhase::tailOut:
            break;
    }
    return StopAction::ignore;
}

std::optional<double> SessionSequence::recordingStartTime() const {
    if (phase_ == SessionPhase::leadIn || phase_ == SessionPhase::recording) return startTime_;
    return std::nullopt;
}

bool SessionSequence::showsRecording() const {
    return phase_ == SessionPhase::recording || phase_ == SessionPhase::tailOut;
}

void SessionSequence::began(const std::string& sessionId, double now, bool stopWhenRecording) {
    phase_ = SessionPhase::leadIn;
    stopRequested_ = stopWhenRecording;
    sessionId_ = sessionId;
    startTime_ = now;
}

bool SessionSequence::enteredRecording() {
    phase_ = SessionPhase::recording;
    return std::exchange(stopRequested_, false);
}

double SessionSequence::stopping(double now) {
    phase_ = SessionPhase::tailOut;
    return now - startTime_;
}

void SessionSequence::finished() {
    phase_ = SessionPhase::idle;
}

std::optional<WaitingStart> SessionSequence::takeWaitingStart() {
    if (phase_ != SessionPhase::idle || waiting_.empty()) return std::nullopt;
    WaitingStart next = std::move(waiting_.front());
    waiting_.pop_front();
    return next;
}

}  // namespace talvex

#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace talvex {

// Where the running session stands. A session passes through a short lead-in
// (cameras started, not yet recording) and a tail-out (stop requested, files
// not yet finished) on its way from idle and back.
enum class SessionPhase { idle, leadIn, recording, tailOut };

struct StartRequest {
    std::optional<std::string> sessionName;
    std::string initiatedBy;
};

// A start that waits for the running session to finish, and whether a stop
// has already been asked for the session it will begin.
struct WaitingStart {
    StartRequest request;
    bool stopAfter = false;
};

enum class StartAction { begin, wait, ignore };
enum class StopAction { stop, stopWhenRecording, wait, ignore };

// The running session's phase, name and start, and what a START or STOP does
// in each phase, so that no command a client sent in good order is lost: a
// start while the previous session finishes waits for it, a stop in the
// lead-in stops the session as soon as it records, and a stop after a
// waiting start stops that session. Times are steady-clock seconds.
class SessionSequence {
public:
    static constexpr std::size_t kMaxWaitingStarts = 8;

    SessionPhase phase() const { return phase_; }
    bool stopRequested() const { return stopRequested_; }
    bool hasWaitingStarts() const { return !waiting_.empty(); }
    // The session's folder name and start instant, kept until the next begins.
    const std::string& sessionId() const { return sessionId_; }
    double startTime() const { return startTime_; }
    // The time base of gyro.csv: set from the start until the stop is asked.
    std::optional<double> recordingStartTime() const;
    // What the window shows as recording: from the lead-in's end to idle again.
    bool showsRecording() const;

    StartAction requestStart(const StartRequest& request);
    StopAction requestStop();

    // The session's cameras started at now: the lead-in begins; with
    // stopWhenRecording (a waiting start a stop followed) it stops as soon as
    // it records.
    void began(const std::string& sessionId, double now, bool stopWhenRecording = false);
    // Recording began; true when a stop asked during the lead-in is due now.
    bool enteredRecording();
    // The stop was carried out at now: the tail-out begins. Returns the
    // seconds since the start.
    double stopping(double now);
    // The session's files are finished: idle again.
    void finished();

    // The oldest waiting start, to carry out while idle.
    std::optional<WaitingStart> takeWaitingStart();
    void dropWaitingStarts() { waiting_.clear(); }

private:
    SessionPhase phase_ = SessionPhase::idle;
    bool stopRequested_ = false;
    std::string sessionId_;
    double startTime_ = 0;
    std::deque<WaitingStart> waiting_;
};

}  // namespace talvex

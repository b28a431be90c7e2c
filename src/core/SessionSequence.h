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

// The session's phase and what a START or STOP does in each of them, so that
// no command a client sent in good order is lost: a start while the previous
// session finishes waits for it, a stop in the lead-in stops the session as
// soon as it records, and a stop after a waiting start stops that session.
class SessionSequence {
public:
    static constexpr std::size_t kMaxWaitingStarts = 8;

    SessionPhase phase() const { return phase_; }
    bool stopRequested() const { return stopRequested_; }
    bool hasWaitingStarts() const { return !waiting_.empty(); }

    StartAction requestStart(const StartRequest& request);
    StopAction requestStop();

    // A start was carried out: the lead-in begins; with stopWhenRecording
    // (a waiting start a stop followed) it stops as soon as it records.
    void began(bool stopWhenRecording = false);
    // The start failed before the lead-in: back to idle.
    void abandoned();
    // Recording began; true when a stop asked during the lead-in is due now.
    bool enteredRecording();
    // The stop was carried out: the tail-out begins.
    void stopping();
    // The session's files are finished: idle again.
    void finished();

    // The oldest waiting start, to carry out while idle.
    std::optional<WaitingStart> takeWaitingStart();
    void dropWaitingStarts() { waiting_.clear(); }

private:
    SessionPhase phase_ = SessionPhase::idle;
    bool stopRequested_ = false;
    std::deque<WaitingStart> waiting_;
};

}  // namespace talvex

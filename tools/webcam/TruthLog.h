#pragma once

// What each camera really did, one line per frame, so a test can compare the
// movie with it:
//     CAMERA SEQUENCE COUNTER CAPTURE_NS READY_NS FATE
// CAPTURE_NS is the frame's start (CLOCK_MONOTONIC, the buffer's time stamp),
// READY_NS when it could be dequeued ("-" when it never could). Lines starting
// with '#' note plugging and unplugging. Every process of a run appends to the
// same file; each line is one write.

#include <cstdint>
#include <string>

namespace webcam {

enum class Fate { delivered, dropped, flagged, cutShort, noBuffer, lostUnplugged, stopped };

const char* fateName(Fate fate);

class TruthLog {
public:
    explicit TruthLog(const std::string& path);  // empty: no log
    ~TruthLog();
    TruthLog(const TruthLog&) = delete;
    TruthLog& operator=(const TruthLog&) = delete;

    void frame(const std::string& camera, std::uint32_t sequence, std::uint64_t counter,
               std::int64_t captureNs, std::int64_t readyNs, Fate fate);
    void note(const std::string& text);

private:
    void append(const std::string& line);
    int fd_ = -1;
};

}  // namespace webcam

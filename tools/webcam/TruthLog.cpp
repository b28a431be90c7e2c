#include "TruthLog.h"

#include <fcntl.h>
#include <unistd.h>

#include "SharedState.h"

namespace webcam {

const char* fateName(Fate fate) {
    switch (fate) {
        case Fate::delivered:
            return "delivered";
        case Fate::dropped:
            return "dropped";
        case Fate::flagged:
            return "flagged";
        case Fate::cutShort:
            return "cut_short";
        case Fate::noBuffer:
            return "no_buffer";
        case Fate::lostUnplugged:
            return "lost_unplugged";
        case Fate::stopped:
            return "stopped";
    }
    return "?";
}

TruthLog::TruthLog(const std::string& path) {
    if (!path.empty()) fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

TruthLog::~TruthLog() {
    if (fd_ >= 0) ::close(fd_);
}

void TruthLog::frame(const std::string& camera, std::uint32_t sequence, std::uint64_t counter,
                     std::int64_t captureNs, std::int64_t readyNs, Fate fate) {
    std::string ready = readyNs < 0 ? "-" : std::to_string(readyNs);
    append(camera + " " + std::to_string(sequence) + " " + std::to_string(counter) + " " +
           std::to_string(captureNs) + " " + ready + " " + fateName(fate) + "\n");
}

void TruthLog::note(const std::string& text) {
    append("# " + std::to_string(monotonicNs()) + " " + text + "\n");
}

void TruthLog::append(const std::string& line) {
    if (fd_ >= 0 && ::write(fd_, line.data(), line.size()) < 0) {
        // A full disk loses the line; the camera goes on.
    }
}

}  // namespace webcam

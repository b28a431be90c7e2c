#pragma once

// Reads the truth log (TruthLog.h) back, for tests. Header only:
//     auto frames = webcam::readTruthLog();  // or readTruthLog(path)
//     webcam::TruthFrame f = webcam::findFrame(frames, "front", counter);

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace webcam {

struct TruthFrame {
    std::string camera;
    std::uint32_t sequence = 0;
    std::uint64_t counter = 0;
    std::int64_t captureNs = 0;
    std::int64_t readyNs = -1;  // -1: never dequeuable
    std::string fate;           // delivered, dropped, flagged, cut_short, no_buffer, ...

    // The packet time libavdevice gives the frame: the time stamp in microseconds.
    std::int64_t ptsMicros() const { return captureNs / 1000; }
};

// By default the log the runner names in TALVEX_WEBCAM_TRUTH.
inline std::vector<TruthFrame> readTruthLog(const char* path = std::getenv("TALVEX_WEBCAM_TRUTH")) {
    if (!path) return {};
    std::vector<TruthFrame> frames;
    std::ifstream file(path);
    std::string line, ready;
    while (std::getline(file, line)) {
        TruthFrame frame;
        std::istringstream in(line);
        if (line.empty() || line[0] == '#' ||
            !(in >> frame.camera >> frame.sequence >> frame.counter >> frame.captureNs >> ready >>
              frame.fate))
            continue;
        frame.readyNs = ready == "-" ? -1 : std::stoll(ready);
        frames.push_back(frame);
    }
    return frames;
}

// The latest frame of the camera with this counter (16 bits are compared
// when the counter is one read from a picture); an empty one (no fate) when
// there is none.
inline TruthFrame findFrame(const std::vector<TruthFrame>& frames, const std::string& camera,
                            std::uint64_t counter) {
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if (it->camera == camera &&
            (it->counter == counter || (counter <= 0xFFFF && (it->counter & 0xFFFF) == counter)))
            return *it;
    return {};
}

}  // namespace webcam

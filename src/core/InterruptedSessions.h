#pragma once

#include <string>
#include <vector>

namespace talvex {

// What a station that died while recording left in one session folder.
struct InterruptedSession {
    std::string folder;
    // False when it died before the first session.json was written: the
    // folder holds only the reserve and perhaps the first bytes of its files.
    bool hasRecord = true;
    // Movies it left without a single frame (file names); nothing plays them.
    std::vector<std::string> framelessMovies;
    bool operator==(const InterruptedSession&) const = default;
};

// True only when the file is certainly an MP4 movie without a frame: its
// top-level boxes read cleanly from an "ftyp" on (the last may be cut short)
// and no media data box holds a byte. A killed session's movie that never
// got its first fragment is such a file.
bool movieHoldsNoFrame(const std::string& path);

// The session folders under the root that a killed station left: a record
// without "recording_end", or no record but the reserve or a session file.
// Sorted by folder name.
std::vector<InterruptedSession> findInterruptedSessions(const std::string& outputRoot);

// At start-up: one "Talvex: " line per interrupted session, frameless movies
// removed (and the session reported as having no video), and every leftover
// reserve under the root given back.
void reportInterruptedSessions(const std::string& outputRoot);

}  // namespace talvex

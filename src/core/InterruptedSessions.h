#pragma once

#include <string>
#include <vector>

namespace talvex {

// Session folders under the root whose session.json has no "recording_end":
// the station died while they were recording. Sorted by folder name.
std::vector<std::string> findInterruptedSessions(const std::string& outputRoot);

// One "Talvex: " line per interrupted session.
void reportInterruptedSessions(const std::string& outputRoot);

}  // namespace talvex

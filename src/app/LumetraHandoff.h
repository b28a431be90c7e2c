#pragma once

#include <optional>
#include <string>

namespace talvex {

// Hands a finished session to Lumetra: two small JSON files that point at the
// session's video and gyroscope data, then Lumetra's launch. Main thread.

// The stored "lumetraAppPath" (empty when absent).
std::string lumetraAppPath();
void setLumetraAppPath(const std::string& path);

// True when the stored path is non-empty and something exists there.
bool isLumetraConfigured();

// Writes both hand-off files and launches Lumetra, waiting for the outcome.
// Returns none on success, else the text to show the user.
std::optional<std::string> openInLumetra(const std::string& videoFile,
                                         const std::optional<std::string>& gyroFile);

// The sidecar beside the video; best effort.
void writeSidecar(const std::string& videoFile, const std::optional<std::string>& gyroFile);

// pending_session.json in the application-data folder; failures are logged,
// and a failed write leaves no record of an earlier session behind.
void writePendingSession(const std::string& videoFile, const std::optional<std::string>& gyroFile);

}  // namespace talvex

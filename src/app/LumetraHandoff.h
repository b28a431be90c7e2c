#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/Paths.h"

namespace talvex {

// Hands a finished session to Lumetra: two small JSON files that point at the
// session's video and gyroscope data, then Lumetra's launch. Main thread
// unless said otherwise.

// The stored "lumetraAppPath" (empty when absent).
std::string lumetraAppPath();
void setLumetraAppPath(const std::string& path);

// True when the stored path is non-empty and something exists there.
bool isLumetraConfigured();

// Writes both hand-off files on a thread of its own (the main thread never
// waits for the disk), then launches Lumetra on the main thread, waiting for
// the outcome, and calls done there: with none on success, else the text to
// show the user.
using HandoffDone = std::function<void(const std::optional<std::string>& error)>;
void openInLumetra(const std::string& videoFile, const std::optional<std::string>& gyroFile,
                   HandoffDone done);

// The sidecar beside the video; best effort. Any thread.
void writeSidecar(const std::string& videoFile, const std::optional<std::string>& gyroFile);

// pending_session.json in the application-data folder; failures are logged,
// and a failed write leaves no record of an earlier session behind. Any thread.
void writePendingSession(const std::string& videoFile, const std::optional<std::string>& gyroFile,
                         const std::string& folder = paths::appDataDir());

}  // namespace talvex

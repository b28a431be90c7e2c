#pragma once

#include <optional>
#include <string>

namespace talvex {

// The two small JSON files through which Lumetra finds a finished session.
// Pure text and file logic; the app layer decides where and when to write.

inline constexpr const char* kPendingSessionFileName = "pending_session.json";

// The video's path with its last extension replaced by "talvex"
// ("/s/recording.mp4" -> "/s/recording.talvex").
std::string sidecarPath(const std::string& videoFile);

// Compact JSON {"video": …, "gyro": …}; "gyro" only when given. None when a
// path cannot be encoded (not valid UTF-8).
std::optional<std::string> sidecarBody(const std::string& videoFile,
                                       const std::optional<std::string>& gyroFile);

// As the sidecar, plus "subject_id" when one is given.
std::optional<std::string> pendingSessionBody(const std::string& videoFile,
                                              const std::optional<std::string>& gyroFile,
                                              const std::optional<std::string>& subjectId);

// The session name at the front of a session id "<name>_<yyyyMMdd>_<HHmmss>"
// (or "<name>_<yyyyMMdd>_<HHmmss>_<n>" for a second folder in the same second);
// none for an unnamed session ("session_…") or an id of fewer than three pieces.
std::optional<std::string> subjectFromSessionId(const std::string& sessionId);

// Reads "session_id" from session.json beside the video and derives the subject.
std::optional<std::string> deriveSubjectId(const std::string& videoFile);

}  // namespace talvex

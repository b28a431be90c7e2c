#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/RecordingOperations.h"

namespace talvex {

inline constexpr std::string_view kGyroCsvHeader =
    "time_seconds,gyro_x_rad_s,gyro_y_rad_s,gyro_z_rad_s\n";
inline constexpr std::uint64_t kGyroFileMinDataSize = 61;  // header plus one short line
inline constexpr std::string_view kDualVideoName = "recording.mp4";
inline constexpr std::string_view kSingleVideoName = "camera1.mp4";  // cameraVideoName(0)
inline constexpr std::string_view kGyroFileName = "gyro.csv";
inline constexpr std::string_view kMetadataFileName = "session.json";

// Replaces each of / \ : * ? " < > | and NUL by one underscore.
std::string sanitizeSessionName(std::string_view name);

// "yyyyMMdd_HHmmss" in local time.
std::string sessionTimeStamp(std::time_t when);

// The session folder's name: the sanitised name (or "session"), "_", the stamp.
std::string sessionFolderName(const std::optional<std::string>& name, std::time_t when);

// The folder name a session takes when the plain one is already used:
// "<folder>_2", "<folder>_3", ... (attempt 1 is the plain name).
std::string numberedFolderName(const std::string& folderName, int attempt);

// The output root as an absolute, normalised path without a trailing slash,
// so every path derived from it still resolves from another working folder.
std::string absoluteFolderPath(const std::string& path);

// Whether the text can be one folder name inside the output root.
bool isUsableFolderName(std::string_view folderName);

// "2025-03-14T09:26:53Z" from seconds since the Unix epoch.
std::string formatIso8601Utc(double wallSeconds);

std::string gyroCsvLine(double t, double x, double y, double z);

struct SessionMetadata {
    std::string sessionId;
    std::string initiatedBy;
    std::vector<std::string> animationsRun;
    double recordingStart = 0;  // wall-clock seconds
    std::optional<double> recordingEnd;
    std::vector<std::string> cameras;
    bool gyroscopeConnected = false;
    // The movie's first frame's capture instant minus the recording start,
    // seconds on the clock of gyro.csv's times; known once the movie is finished.
    std::optional<double> videoStartSeconds = std::nullopt;
    // What the take kept, set by the stop: the rows of gyro.csv, the largest
    // step between them (counting from the start and up to the end; 0
    // without rows) and the start to the end on the steady clock.
    std::optional<std::int64_t> gyroSamples = std::nullopt;
    std::optional<double> gyroLongestGapSeconds = std::nullopt;
    std::optional<double> durationSeconds = std::nullopt;
    // Which camera is which, set by the stop: in the order of the movie's
    // halves (or its one camera), each camera's figures, its lostAt on the
    // clock of gyro.csv's times.
    std::optional<std::vector<CameraTake>> cameraDevices = std::nullopt;
};

// session.json: sorted keys, pretty-printed, "recording_end" left out while absent.
std::string encodeSessionMetadata(const SessionMetadata& metadata);

// What a session folder's session.json says of the session: its
// "session_id" and whether the stop wrote its "recording_end". None when
// there is no readable record with a text id.
struct StoredSessionRecord {
    std::string sessionId;
    bool ended = false;
};
std::optional<StoredSessionRecord> readStoredSessionRecord(const std::string& folder);

// "%02d:%02d:%02d" of hours, minutes and seconds; hours may grow past two digits.
std::string formatElapsed(int seconds);

// "camera1", "camera2", ... one per open recorder.
std::vector<std::string> cameraLabels(std::size_t count);

// The movie of the camera in slot index when each camera writes its own:
// "camera1.mp4" for the first.
std::string cameraVideoName(std::size_t index);

}  // namespace talvex

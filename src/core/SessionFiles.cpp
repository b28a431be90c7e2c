#include "core/SessionFiles.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"
#include "core/NumberFormat.h"

namespace talvex {

std::string sanitizeSessionName(std::string_view name) {
    static constexpr std::string_view replaced("/\\:*?\"<>|\0", 10);
    std::string result(name);
    for (char& c : result)
        if (replaced.find(c) != std::string_view::npos) c = '_';
    return result;
}

std::string sessionTimeStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d_%H%M%S", &local);
    return buffer;
}

std::string sessionFolderName(const std::optional<std::string>& name, std::time_t when) {
    std::string prefix = name && !name->empty() ? sanitizeSessionName(*name) : "session";
    return prefix + "_" + sessionTimeStamp(when);
}

std::string numberedFolderName(const std::string& folderName, int attempt) {
    return attempt <= 1 ? folderName : folderName + "_" + std::to_string(attempt);
}

std::string absoluteFolderPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    std::string normal = absolute.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

bool isUsableFolderName(std::string_view folderName) {
    constexpr std::size_t kMaxNameBytes = 255;
    return !folderName.empty() && folderName.size() <= kMaxNameBytes && folderName != "." &&
           folderName != ".." && folderName.find('/') == std::string_view::npos &&
           folderName.find('\0') == std::string_view::npos;
}

std::string formatIso8601Utc(double wallSeconds) {
    std::time_t seconds = static_cast<std::time_t>(std::floor(wallSeconds));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

std::string gyroCsvLine(double t, double x, double y, double z) {
    return formatNumber(t) + "," + formatNumber(x) + "," + formatNumber(y) + "," + formatNumber(z) +
           "\n";
}

std::optional<StoredSessionRecord> readStoredSessionRecord(const std::string& folder) {
    std::optional<std::string> text = readFile(joinPath(folder, kMetadataFileName));
    if (!text) return std::nullopt;
    nlohmann::json record = nlohmann::json::parse(*text, nullptr, false);
    if (!record.is_object()) return std::nullopt;
    auto id = record.find("session_id");
    if (id == record.end() || !id->is_string()) return std::nullopt;
    return StoredSessionRecord{id->get<std::string>(), record.contains("recording_end")};
}

namespace {

nlohmann::json cameraDeviceRecord(const CameraTake& camera) {
    nlohmann::json json = {
        {"id", camera.id},
        {"name", camera.name},
        {"mode", camera.mode},
        {"frames_captured", camera.framesCaptured},
        {"frames_written", camera.framesWritten},
        {"frames_lost", camera.framesLost},
        {"frames_damaged", camera.framesDamaged},
    };
    if (camera.lostAt) json["lost_at_seconds"] = *camera.lostAt;
    return json;
}

}  // namespace

std::string encodeSessionMetadata(const SessionMetadata& metadata) {
    nlohmann::json json = {
        {"session_id", metadata.sessionId},
        {"initiated_by", metadata.initiatedBy},
        {"animations_run", metadata.animationsRun},
        {"recording_start", formatIso8601Utc(metadata.recordingStart)},
        {"cameras", metadata.cameras},
        {"gyroscope", metadata.gyroscopeConnected},
    };
    if (metadata.recordingEnd) json["recording_end"] = formatIso8601Utc(*metadata.recordingEnd);
    if (metadata.videoStartSeconds) json["video_start_seconds"] = *metadata.videoStartSeconds;
    if (metadata.gyroSamples) json["gyro_samples"] = *metadata.gyroSamples;
    if (metadata.gyroLongestGapSeconds)
        json["gyro_longest_gap_seconds"] = *metadata.gyroLongestGapSeconds;
    if (metadata.durationSeconds) json["duration_seconds"] = *metadata.durationSeconds;
    if (metadata.cameraDevices) {
        json["camera_devices"] = nlohmann::json::array();
        for (const CameraTake& camera : *metadata.cameraDevices)
            json["camera_devices"].push_back(cameraDeviceRecord(camera));
    }
    // Names are bytes from the network; never let invalid UTF-8 abort the record.
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string formatElapsed(int s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", s / 3600, (s % 3600) / 60, s % 60);
    return buffer;
}

std::vector<std::string> cameraLabels(std::size_t count) {
    std::vector<std::string> labels;
    for (std::size_t i = 1; i <= count; ++i) labels.push_back("camera" + std::to_string(i));
    return labels;
}

std::string cameraVideoName(std::size_t index) {
    return cameraLabels(index + 1).back() + ".mp4";
}

}  // namespace talvex

#include "core/LumetraHandoffFiles.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/SessionFiles.h"

namespace talvex {

namespace {

std::optional<std::string> compact(const nlohmann::json& object) {
    try {
        return object.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;  // a path that is not UTF-8
    }
}

nlohmann::json pathsObject(const std::string& videoFile,
                           const std::optional<std::string>& gyroFile) {
    nlohmann::json object = nlohmann::json::object();
    object["video"] = videoFile;
    if (gyroFile) object["gyro"] = *gyroFile;
    return object;
}

std::vector<std::string> splitAtUnderscores(const std::string& text) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '_')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

bool isDigits(const std::string& text, std::size_t minSize, std::size_t maxSize) {
    return text.size() >= minSize && text.size() <= maxSize &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// How many pieces at the end are the folder's stamp: date and time, plus the
// number a folder takes when its plain name was already used in that second.
std::size_t stampPieces(const std::vector<std::string>& pieces) {
    std::size_t n = pieces.size();
    if (n >= 4 && isDigits(pieces[n - 3], 8, 8) && isDigits(pieces[n - 2], 6, 6) &&
        isDigits(pieces[n - 1], 1, 6))
        return 3;
    return 2;
}

}  // namespace

std::string sidecarPath(const std::string& videoFile) {
    std::filesystem::path path(videoFile);
    path.replace_extension("talvex");
    return path.string();
}

std::optional<std::string> sidecarBody(const std::string& videoFile,
                                       const std::optional<std::string>& gyroFile) {
    return compact(pathsObject(videoFile, gyroFile));
}

std::optional<std::string> pendingSessionBody(const std::string& videoFile,
                                              const std::optional<std::string>& gyroFile,
                                              const std::optional<std::string>& subjectId) {
    nlohmann::json object = pathsObject(videoFile, gyroFile);
    if (subjectId) object["subject_id"] = *subjectId;
    return compact(object);
}

std::optional<std::string> subjectFromSessionId(const std::string& sessionId) {
    std::vector<std::string> pieces = splitAtUnderscores(sessionId);
    if (pieces.size() < 3) return std::nullopt;
    std::size_t stamp = stampPieces(pieces);
    std::string subject;
    for (std::size_t i = 0; i + stamp < pieces.size(); ++i) {
        if (i > 0) subject += '_';
        subject += pieces[i];
    }
    if (subject.empty() || subject == "session") return std::nullopt;
    return subject;
}

std::optional<std::string> deriveSubjectId(const std::string& videoFile) {
    std::string folder = std::filesystem::path(videoFile).parent_path().string();
    std::optional<StoredSessionRecord> record = readStoredSessionRecord(folder);
    if (!record) return std::nullopt;
    return subjectFromSessionId(record->sessionId);
}

}  // namespace talvex

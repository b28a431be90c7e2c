#include "core/InterruptedSessions.h"

#include <algorithm>
#include <filesystem>

#include "core/Log.h"
#include "core/SessionFiles.h"

namespace talvex {

namespace {

bool isInterrupted(const std::string& folder) {
    std::optional<StoredSessionRecord> record = readStoredSessionRecord(folder);
    return record && !record->ended;
}

}  // namespace

std::vector<std::string> findInterruptedSessions(const std::string& outputRoot) {
    std::vector<std::string> folders;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(outputRoot, error)) {
        if (entry.is_directory(error) && isInterrupted(entry.path().string()))
            folders.push_back(entry.path().string());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

void reportInterruptedSessions(const std::string& outputRoot) {
    for (const auto& folder : findInterruptedSessions(outputRoot))
        logLine("Talvex: session was interrupted, its files hold what was saved: " + folder);
}

}  // namespace talvex

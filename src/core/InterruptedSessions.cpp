#include "core/InterruptedSessions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/DiskSpace.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SessionFiles.h"

namespace talvex {

namespace {

constexpr std::array<std::string_view, 3> kMovieNames{kDualVideoName, kSingleVideoName,
                                                      "camera2.mp4"};

std::uint64_t bigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

// One top-level box: its type, where its content starts and where it ends.
struct Box {
    std::string type;
    std::uint64_t contentAt = 0, end = 0;
};

// The box at offset; none when its header is cut short or makes no sense.
std::optional<Box> readBox(int fd, std::uint64_t offset, std::uint64_t fileSize) {
    unsigned char header[16];
    ssize_t got = ::pread(fd, header, sizeof header, static_cast<off_t>(offset));
    if (got < 8) return std::nullopt;
    Box box{std::string(reinterpret_cast<const char*>(header) + 4, 4), offset + 8, 0};
    std::uint64_t size = bigEndian(header, 4);
    if (size == 1) {  // a 64-bit size follows the type
        if (got < 16) return std::nullopt;
        size = bigEndian(header + 8, 8);
        box.contentAt += 8;
    }
    if (size == 0) size = fileSize - offset;  // runs to the end of the file
    if (size < box.contentAt - offset) return std::nullopt;
    box.end = offset + size;
    return box;
}

bool holdsNoRecordFile(const std::string& folder) {
    struct stat entry {};
    return ::lstat(joinPath(folder, kMetadataFileName).c_str(), &entry) != 0 && errno == ENOENT;
}

// A folder without session.json counts as a session's only with one of the
// files a session makes; an empty folder is a start whose cameras failed.
bool holdsSessionFiles(const std::string& folder) {
    if (fileExists(joinPath(folder, kReserveFileName)) ||
        fileExists(joinPath(folder, kGyroFileName)))
        return true;
    return std::any_of(kMovieNames.begin(), kMovieNames.end(),
                       [&](auto name) { return fileExists(joinPath(folder, name)); });
}

std::optional<InterruptedSession> inspect(const std::string& folder) {
    InterruptedSession session{folder, true, {}};
    if (std::optional<StoredSessionRecord> record = readStoredSessionRecord(folder)) {
        if (record->ended) return std::nullopt;
    } else if (holdsNoRecordFile(folder) && holdsSessionFiles(folder)) {
        session.hasRecord = false;
    } else {
        return std::nullopt;
    }
    for (auto name : kMovieNames)
        if (movieHoldsNoFrame(joinPath(folder, name))) session.framelessMovies.emplace_back(name);
    return session;
}

std::vector<std::string> subfolders(const std::string& root) {
    std::vector<std::string> folders;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error))
        if (entry.is_directory(error)) folders.push_back(entry.path().string());
    std::sort(folders.begin(), folders.end());
    return folders;
}

}  // namespace

bool movieHoldsNoFrame(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const auto fileSize = static_cast<std::uint64_t>(info.st_size);
    for (std::uint64_t offset = 0; offset < fileSize;) {
        if (fileSize - offset < 8) return offset > 0;  // a torn last header
        std::optional<Box> box = readBox(fd.get(), offset, fileSize);
        if (!box) return false;
        if (offset == 0 && box->type != "ftyp") return false;  // not a movie of ours
        if (box->type == "mdat" && std::min(box->end, fileSize) > box->contentAt) return false;
        offset = box->end;
    }
    return true;
}

std::vector<InterruptedSession> findInterruptedSessions(const std::string& outputRoot) {
    std::vector<InterruptedSession> sessions;
    for (const auto& folder : subfolders(outputRoot))
        if (auto session = inspect(folder)) sessions.push_back(std::move(*session));
    return sessions;
}

void reportInterruptedSessions(const std::string& outputRoot) {
    for (const auto& session : findInterruptedSessions(outputRoot)) {
        logLine(session.hasRecord
                    ? "Talvex: session was interrupted, its files hold what was saved: " +
                          session.folder
                    : "Talvex: session was interrupted before its record was written: " +
                          session.folder);
        for (const auto& movie : session.framelessMovies) {
            std::string path = joinPath(session.folder, movie);
            ::unlink(path.c_str());
            logLine("Talvex: session has no video: " + path + " held no frame and was removed");
        }
    }
    // A killed session never gave its reserve back.
    for (const auto& folder : subfolders(outputRoot)) removeReserveFile(folder);
}

}  // namespace talvex

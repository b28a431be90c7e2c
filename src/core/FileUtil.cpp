#include "core/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/DiskSync.h"
#include "core/Log.h"

namespace talvex {

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

namespace {

std::string errorText(int error) {
    return std::strerror(error);
}

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISLNK(mode)) return "a link";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a file";
}

SmallFile skipped(std::string problem) {
    return {SmallFile::Status::skipped, {}, std::move(problem)};
}

SmallFile tooLarge(std::uint64_t maxBytes) {
    return skipped("larger than " + std::to_string(maxBytes) + " bytes");
}

SmallFile readBounded(int fd, std::uint64_t maxBytes) {
    std::string bytes;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return skipped(errorText(errno));
        if (n == 0) break;
        // The size seen at open can grow while reading; the cap holds anyway.
        if (bytes.size() + static_cast<std::uint64_t>(n) > maxBytes) return tooLarge(maxBytes);
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return {SmallFile::Status::read, std::move(bytes), {}};
}

SmallFile readChecked(const std::string& path, std::uint64_t maxBytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        int error = errno;
        struct stat entry {};
        bool dangling = error == ENOENT && ::lstat(path.c_str(), &entry) == 0;
        if ((error == ENOENT || error == ENOTDIR) && !dangling) return {};
        return skipped(dangling ? "a link to nothing" : errorText(error));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return skipped(errorText(errno));
    if (!S_ISREG(info.st_mode)) return skipped(kindOf(info.st_mode) + ", not a regular file");
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return tooLarge(maxBytes);
    return readBounded(fd.get(), maxBytes);
}

// Why open(2) could not create the file: what is in the way, if anything.
std::string whyNotCreated(const std::string& path, int error) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) return errorText(error);
    if (S_ISREG(entry.st_mode) && error == EEXIST) return "the file exists already";
    if (S_ISREG(entry.st_mode)) return errorText(error);
    return kindOf(entry.st_mode) + " is in the way";
}

std::optional<std::string> writeAndClose(int fd, std::string_view bytes, bool sync) {
    bool ok = writeAll(fd, bytes) && (!sync || syncFileData(fd) == 0);
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) return errorText(errno);
    if (!ok) return errorText(savedErrno);
    return std::nullopt;
}

}  // namespace

SmallFile readSmallFile(const std::string& path, std::uint64_t maxBytes) {
    SmallFile file = readChecked(path, maxBytes);
    if (file.status == SmallFile::Status::skipped)
        logLine("Talvex: skipped " + path + ": " + file.problem);
    return file;
}

std::optional<std::string> readFile(const std::string& path) {
    SmallFile file = readSmallFile(path, kRecordFileCap);
    if (file.status != SmallFile::Status::read) return std::nullopt;
    return std::move(file.bytes);
}

CreatedFile createFileForWriting(const std::string& path, bool mustBeNew) {
    // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), flags | (mustBeNew ? O_EXCL : 0), 0644));
    if (!fd) return {-1, path + ": " + whyNotCreated(path, errno)};
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return {-1, path + ": " + errorText(errno)};
    if (!S_ISREG(info.st_mode)) return {-1, path + ": " + kindOf(info.st_mode) + " is in the way"};
    if (!mustBeNew && ::ftruncate(fd.get(), 0) != 0) return {-1, path + ": " + errorText(errno)};
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return {fd.release(), {}};
}

std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes) {
    // mkostemp picks a name nobody can plant a link at beforehand and creates it exclusively.
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errorText(errno);
    ::fchmod(fd, 0644);
    if (auto error = writeAndClose(fd, bytes, true)) {
        ::unlink(temporary.c_str());
        return error;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        std::string error = errorText(errno);
        ::unlink(temporary.c_str());
        return error;
    }
    return std::nullopt;
}

std::optional<std::string> writeFile(const std::string& path, std::string_view bytes) {
    CreatedFile file = createFileForWriting(path, false);
    if (file.fd < 0) return file.error;
    return writeAndClose(file.fd, bytes, false);
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeDirectories(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return isDirectory(path);
}

std::string joinPath(const std::string& folder, std::string_view name) {
    if (folder.empty() || folder.back() == '/') return folder + std::string(name);
    return folder + "/" + std::string(name);
}

}  // namespace talvex

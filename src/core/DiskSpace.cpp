#include "core/DiskSpace.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/FileUtil.h"

namespace talvex {

std::optional<std::uint64_t> availableBytes(const std::string& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool hasRoomToStart(std::optional<std::uint64_t> freeBytes) {
    return !freeBytes || *freeBytes >= kMinFreeBytesToStart;
}

bool makeReserveFile(const std::string& folder) {
    std::string path = joinPath(folder, kReserveFileName);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // Real blocks, not a hole: only those can be given back on a full disk.
    bool ok = ::posix_fallocate(fd, 0, static_cast<off_t>(kReserveBytes)) == 0;
    ::close(fd);
    if (!ok) ::unlink(path.c_str());
    return ok;
}

void removeReserveFile(const std::string& folder) {
    ::unlink(joinPath(folder, kReserveFileName).c_str());
}

}  // namespace talvex

#include "core/GyroCsvFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SessionFiles.h"

namespace talvex {

GyroCsvFile::~GyroCsvFile() {
    close();
}

bool GyroCsvFile::open(const std::string& folder) {
    close();
    failed_ = false;
    // A new file only: never through a link, never over an earlier recording.
    CreatedFile file = createFileForWriting(joinPath(folder, kGyroFileName), true);
    fd_ = file.fd;
    if (fd_ < 0) {
        logLine("Talvex: cannot create gyro.csv, this session records no gyroscope: " + file.error);
        return false;
    }
    append(std::string(kGyroCsvHeader));
    return true;
}

void GyroCsvFile::append(const std::string& line) {
    if (fd_ < 0 || failed_) return;
    if (!writeAll(fd_, line)) {
        failed_ = true;
        logLine(std::string("Talvex: gyro.csv write failed, no more samples are written: ") +
                std::strerror(errno));
        return;
    }
    if (double now = steadyNow(); now - lastSync_ >= 1.0) {
        lastSync_ = now;
        sync();
    }
}

void GyroCsvFile::sync() {
    if (fd_ >= 0) ::fdatasync(fd_);
}

void GyroCsvFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace talvex

#include "core/GyroCsvFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Clock.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/SessionFiles.h"

namespace talvex {

GyroCsvFile::~GyroCsvFile() { close(); }

bool GyroCsvFile::open(const std::string& folder) {
    close();
    failed_ = false;
    std::string path = joinPath(folder, kGyroFileName);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
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

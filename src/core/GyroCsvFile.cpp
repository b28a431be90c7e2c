#include "core/GyroCsvFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Clock.h"
#include "core/DiskSync.h"
#include "core/FileUtil.h"
#include "core/FileWriteQueue.h"
#include "core/Log.h"
#include "core/SessionFiles.h"

namespace talvex {

GyroCsvFile::~GyroCsvFile() {
    close();
}

bool GyroCsvFile::open(const std::string& folder) {
    close();
    failed_ = false;
    size_ = 0;
    // A new file only: never through a link, never over an earlier recording.
    CreatedFile file = createFileForWriting(joinPath(folder, kGyroFileName), true);
    if (file.fd < 0) {
        logLine("Talvex: cannot create gyro.csv, this session records no gyroscope: " + file.error);
        return false;
    }
    file_ = std::make_shared<UniqueFd>(file.fd);
    append(std::string(kGyroCsvHeader));
    return true;
}

bool GyroCsvFile::append(const std::string& line) {
    if (!file_ || failed_) return false;
    if (!writeAll(file_->get(), line)) {
        int error = errno;
        failed_ = true;
        // A torn last line would read as a wrong sample: keep whole lines only.
        [[maybe_unused]] int ignored = ::ftruncate(file_->get(), static_cast<off_t>(size_));
        logLine(std::string("Talvex: gyro.csv write failed, no more samples are written: ") +
                std::strerror(error));
        return false;
    }
    size_ += line.size();
    if (double now = steadyNow(); now - lastSync_ >= 1.0) {
        lastSync_ = now;
        sync();
    }
    return true;
}

void GyroCsvFile::sync() {
    if (!file_) return;
    if (!syncQueue_) {
        syncFileData(file_->get());
        return;
    }
    syncQueue_->async([file = file_] { syncFileData(file->get()); });
}

void GyroCsvFile::close() {
    if (!file_) return;
    sync();
    file_.reset();
}

}  // namespace talvex

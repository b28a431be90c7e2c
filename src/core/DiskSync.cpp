#include "core/DiskSync.h"

#include <unistd.h>

#include <atomic>

namespace talvex {

namespace {
std::atomic<SyncObserver> observer{nullptr};
}  // namespace

int syncFileData(int fd) {
    if (SyncObserver notify = observer.load()) notify();
    return ::fdatasync(fd);
}

void setSyncObserver(SyncObserver value) {
    observer.store(value);
}

}  // namespace talvex

#include "core/FileWriteQueue.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "core/FileUtil.h"

namespace talvex {

// The number of the newest write asked for each file that still waits.
struct FileWriteQueue::Newest {
    std::mutex mutex;
    std::map<std::string, std::uint64_t> waiting;
    std::uint64_t counter = 0;
};

FileWriteQueue::FileWriteQueue(std::string label)
    : newest_(std::make_shared<Newest>()), queue_(std::move(label)) {}

void FileWriteQueue::writeAtomically(const std::string& path, std::string bytes,
                                     ErrorHandler onError) {
    std::uint64_t number;
    {
        std::lock_guard lock(newest_->mutex);
        number = ++newest_->counter;
        newest_->waiting[path] = number;
    }
    queue_.async(
        [newest = newest_, path, number, bytes = std::move(bytes), onError = std::move(onError)] {
            {
                std::lock_guard lock(newest->mutex);
                if (newest->waiting[path] != number) return;  // a newer write follows
                newest->waiting.erase(path);
            }
            if (auto error = writeFileAtomically(path, bytes); error && onError) onError(*error);
        });
}

void FileWriteQueue::async(std::function<void()> task) {
    queue_.async(std::move(task));
}

void FileWriteQueue::waitUntilDone() {
    queue_.sync([] {});
}

}  // namespace talvex

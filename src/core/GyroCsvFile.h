#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace talvex {

class FileWriteQueue;
class UniqueFd;

// gyro.csv of one session: created new with its header, then one write per
// sample line. The file only ever holds whole lines: a write that fails
// half-way (a full disk) is cut back to the line before, reported once, and
// ends appending. What was written is pushed to the disk at least once a
// second while samples arrive and again at the close; those syncs run on the
// given queue (inline without one), never on the appending thread.
class GyroCsvFile {
public:
    explicit GyroCsvFile(FileWriteQueue* syncQueue = nullptr) : syncQueue_(syncQueue) {}
    ~GyroCsvFile();
    GyroCsvFile(const GyroCsvFile&) = delete;
    GyroCsvFile& operator=(const GyroCsvFile&) = delete;

    // False, with one line saying why, when the file cannot be made new.
    bool open(const std::string& folder);
    bool isOpen() const { return file_ != nullptr; }
    // True when the line is now in the file.
    bool append(const std::string& line);
    // Pushes what was written to the disk (fdatasync).
    void sync();
    // Syncs and closes; the sync is the last of this file's tasks on the queue.
    void close();

private:
    FileWriteQueue* syncQueue_;
    std::shared_ptr<UniqueFd> file_;  // shared with the queued syncs: the last one closes it
    std::uint64_t size_ = 0;          // bytes of whole lines
    bool failed_ = false;
    double lastSync_ = 0;
};

}  // namespace talvex

#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/SerialQueue.h"

namespace talvex {

// Small whole-file writes and other disk work (a sync, a close) carried out in
// the order they were asked for, on a thread of their own, so the thread that
// asks (the main thread) never waits for the disk. Destroying the queue
// finishes everything already asked for.
class FileWriteQueue {
public:
    explicit FileWriteQueue(std::string label = "talvex.files");

    using ErrorHandler = std::function<void(const std::string& error)>;

    // Replaces the file atomically, after every task asked for before. A
    // write that a later write of the same file overtakes while both wait is
    // skipped: a file only ever moves forward to its newest content.
    void writeAtomically(const std::string& path, std::string bytes, ErrorHandler onError = {});
    // Runs the task after every write and task asked for before.
    void async(std::function<void()> task);
    // Waits until everything asked for so far is done.
    void waitUntilDone();

    struct Newest;

private:
    std::shared_ptr<Newest> newest_;
    SerialQueue queue_;  // last: its thread ends before the rest goes
};

}  // namespace talvex

#pragma once

#include <map>
#include <memory>
#include <string>

#include "core/FileWriteQueue.h"

namespace talvex {

// Display names the user gave to capture devices, keyed by device id and kept
// in one small JSON file. Main thread only; the file is written on a thread
// of its own, in order, so the main thread never waits for the disk.
class CameraNameRegistry {
public:
    // An empty path keeps the names in memory only. The file is read once,
    // here: every member that is a text is kept, the others are dropped with
    // a line. A file that cannot be read at all (not a regular file, too
    // large) starts the registry empty and is never written this run, so
    // the file never gets fewer names than it held.
    explicit CameraNameRegistry(std::string filePath);

    // The stored name, or, on the first sighting of the id, the system name,
    // which is then stored and saved.
    std::string displayName(const std::string& id, const std::string& systemName);

    // Stores and saves a new name; an empty name changes nothing.
    void setName(const std::string& name, const std::string& id);

    const std::map<std::string, std::string>& store() const { return store_; }
    const std::string& filePath() const { return filePath_; }

private:
    void load();
    void save() const;

    std::map<std::string, std::string> store_;
    std::string filePath_;
    bool keepFile_ = false;
    std::unique_ptr<FileWriteQueue> files_;  // last: finishes its saves before the rest goes
};

}  // namespace talvex

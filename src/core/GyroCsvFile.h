#pragma once

#include <string>

namespace talvex {

// gyro.csv of one session: created new with its header, then one
// write per sample line. A failed write is reported once and ends appending,
// leaving what was written untouched. What was written reaches the disk at
// least once a second while samples arrive, so a power cut loses little.
class GyroCsvFile {
public:
    GyroCsvFile() = default;
    ~GyroCsvFile();
    GyroCsvFile(const GyroCsvFile&) = delete;
    GyroCsvFile& operator=(const GyroCsvFile&) = delete;

    // False, with one line saying why, when the file cannot be made new.
    bool open(const std::string& folder);
    bool isOpen() const { return fd_ >= 0; }
    void append(const std::string& line);
    // Pushes what was written to the disk (fdatasync).
    void sync();
    void close();

private:
    int fd_ = -1;
    bool failed_ = false;
    double lastSync_ = 0;
};

}  // namespace talvex

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace talvex {

// Owns one file descriptor and closes it when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// Largest settings file and camera-name file the station reads.
inline constexpr std::uint64_t kSmallFileCap = 1u << 20;
// Largest session.json the station reads.
inline constexpr std::uint64_t kRecordFileCap = 16u << 20;

// Writes every byte, looping on short writes and interrupted calls.
bool writeAll(int fd, std::string_view bytes);

// A small file the station reads whole: its bytes, or why it was not read.
struct SmallFile {
    enum class Status { read, missing, skipped };
    Status status = Status::missing;
    std::string bytes;    // when read
    std::string problem;  // when skipped
};

// Reads a regular file of at most maxBytes. It is opened without blocking
// (a FIFO never stalls the caller) and its type is checked on the opened
// descriptor, so a link to a device or a folder in its place is skipped.
// A skipped file is reported with one "Talvex: " line naming it and why; a
// missing one is not reported.
SmallFile readSmallFile(const std::string& path, std::uint64_t maxBytes);

// readSmallFile with the session.json cap: the bytes, or nothing.
std::optional<std::string> readFile(const std::string& path);

// An open descriptor for a file the station writes, or why there is none.
struct CreatedFile {
    int fd = -1;
    std::string error;  // "<path>: <why>" when fd < 0
};

// Creates a file to write without following a link at its name. With
// mustBeNew nothing may be there yet; otherwise an existing regular file is
// emptied. A link, FIFO, folder or device in the way fails it.
CreatedFile createFileForWriting(const std::string& path, bool mustBeNew);

// Replaces the file whole through a temporary file with an unpredictable name
// in the same folder and a rename, so a reader or a crash sees either the old
// or the new content. Returns an error text on failure.
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes);

// Plain whole-file write, replacing a regular file (never through a link).
// Returns an error text on failure.
std::optional<std::string> writeFile(const std::string& path, std::string_view bytes);

std::optional<std::uint64_t> fileSize(const std::string& path);
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// Creates the folder with its missing parents; an existing folder counts as success.
bool makeDirectories(const std::string& path);

std::string joinPath(const std::string& folder, std::string_view name);

}  // namespace talvex

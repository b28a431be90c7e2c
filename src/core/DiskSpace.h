#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvex {

// A session needs room for its first seconds of movie and its small files;
// below this a start is refused rather than accepted with empty files.
inline constexpr std::uint64_t kMinFreeBytesToStart = 8u << 20;

// Kept in each session folder while it records and removed just before the
// final session.json is written, so a full disk still has room for the record.
inline constexpr std::string_view kReserveFileName = ".talvex-reserve";
inline constexpr std::uint64_t kReserveBytes = 64u << 10;

// Bytes an unprivileged writer may still use on the folder's file system.
std::optional<std::uint64_t> availableBytes(const std::string& folder);

// Whether a start may go ahead with this much free space; none means the
// space could not be read, which does not hold a start back.
bool hasRoomToStart(std::optional<std::uint64_t> freeBytes);

// Claims the reserve's blocks in the folder; false when the disk has no room.
bool makeReserveFile(const std::string& folder);
void removeReserveFile(const std::string& folder);

}  // namespace talvex

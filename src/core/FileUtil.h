#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvex {

// Writes every byte, looping on short writes and interrupted calls.
bool writeAll(int fd, std::string_view bytes);

// Replaces the file whole through a temporary file in the same folder and a
// rename, so a reader or a crash sees either the old or the new content.
// Returns an error text on failure.
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes);

// Plain whole-file write, replacing the file. Returns an error text on failure.
std::optional<std::string> writeFile(const std::string& path, std::string_view bytes);

std::optional<std::string> readFile(const std::string& path);

std::optional<std::uint64_t> fileSize(const std::string& path);
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// Creates the folder with its missing parents; an existing folder counts as success.
bool makeDirectories(const std::string& path);

std::string joinPath(const std::string& folder, std::string_view name);

}  // namespace talvex

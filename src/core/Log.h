#pragma once

#include <string_view>

namespace talvex {

// Prints one diagnostic line on standard output, flushed at once. Lines from
// different threads never interleave.
void logLine(std::string_view line);

}  // namespace talvex

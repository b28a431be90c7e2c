#pragma once

#include <string>
#include <string_view>

namespace talvex {

// Prints one diagnostic line on standard output. Control characters in it
// are escaped, so every line stays one line. Lines from different threads
// never interleave. Before startLogWriter the line is written at once.
void logLine(std::string_view line);

// From now on lines go through a bounded queue to one writer thread, so a
// standard output nobody reads never holds up the caller: when the queue is
// full, lines are dropped and counted, and "Talvex: N log lines dropped" is
// printed once output flows again. Everything queued is written at exit.
void startLogWriter();

// Waits until every line logged so far has been written, or until output
// made no progress for timeoutSeconds. False on the timeout.
bool flushLog(double timeoutSeconds = 5);

// The text with \n, \r, \t and every other control character (C0, DEL, C1)
// and every byte that is not UTF-8 written as an escape such as \x1b; the
// line and paragraph separators and the bidirectional controls as \u2028.
std::string escapeControlCharacters(std::string_view text);

}  // namespace talvex

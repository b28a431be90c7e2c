#pragma once

#include <malloc.h>

namespace talvex {

// Frame-sized buffers (1 to 4 MB) are allocated and freed thirty to sixty
// times a second by FFmpeg on the capture and encoder threads. With glibc's
// defaults each one can become a fresh mapping, or land in an arena that is
// trimmed and refilled, and the kernel zero-fills every page again: a few
// percent of the station's CPU for nothing. A fixed mapping threshold above
// any frame and a high trim threshold keep reusing the same pages.
inline void keepFrameBuffersInHeap() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace talvex

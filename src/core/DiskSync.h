#pragma once

namespace talvex {

// Pushes a file's written data to the disk (fdatasync); 0 or -1 with errno.
int syncFileData(int fd);

}  // namespace talvex

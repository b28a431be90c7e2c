#include "core/DiskSync.h"

#include <unistd.h>

namespace talvex {

int syncFileData(int fd) {
    return ::fdatasync(fd);
}

}  // namespace talvex

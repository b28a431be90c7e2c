#pragma once

namespace talvex {

// Pushes a file's written data to the disk (fdatasync); 0 or -1 with errno.
// Every sync of the station goes through here, so that a test can see which
// thread waits for the disk.
int syncFileData(int fd);

// A function called on the syncing thread before each sync; none by default.
using SyncObserver = void (*)();
void setSyncObserver(SyncObserver observer);

}  // namespace talvex

#pragma once

// The C library's own functions, behind the ones the preloaded library puts
// in front of them.

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace webcam::real {

int openat(int directory, const char* path, int flags, mode_t mode);
int close(int fd);
ssize_t read(int fd, void* buffer, std::size_t size);
int ioctl(int fd, unsigned long request, void* argument);
void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
int poll(pollfd* fds, nfds_t count, int timeout);
int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
int fstat(int fd, struct stat* status);

}  // namespace webcam::real

#include "RealCalls.h"

#include <dlfcn.h>

namespace webcam::real {
namespace {

// The next definition after this library's: the C library's, or a
// sanitizer's interceptor in front of it.
template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

int openat(int directory, const char* path, int flags, mode_t mode) {
    static auto function = next<int (*)(int, const char*, int, ...)>("openat64");
    return function(directory, path, flags, mode);
}

int close(int fd) {
    static auto function = next<int (*)(int)>("close");
    return function(fd);
}

ssize_t read(int fd, void* buffer, std::size_t size) {
    static auto function = next<ssize_t (*)(int, void*, std::size_t)>("read");
    return function(fd, buffer, size);
}

int ioctl(int fd, unsigned long request, void* argument) {
    static auto function = next<int (*)(int, unsigned long, ...)>("ioctl");
    return function(fd, request, argument);
}

void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) {
    static auto function = next<void* (*)(void*, std::size_t, int, int, int, off_t)>("mmap64");
    return function(address, length, protection, flags, fd, offset);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    static auto function = next<int (*)(pollfd*, nfds_t, int)>("poll");
    return function(fds, count, timeout);
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static auto function =
        next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
    return function(fds, count, timeout, mask);
}

int fstat(int fd, struct stat* status) {
    static auto function = next<int (*)(int, struct stat*)>("fstat64");
    return function(fd, status);
}

}  // namespace webcam::real

// The C library functions a capture program reaches a camera through,
// answered for the emulated nodes and passed on for everything else.
// libavdevice's v4l2 input (without use_libv4l2) calls open64, ioctl,
// mmap64, munmap, poll and close; select and munmap work unchanged on the
// eventfd and memfd the program is given.

#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "Emulator.h"
#include "NodeHandle.h"
#include "RealCalls.h"

namespace webcam {
namespace {

using Registry = std::unordered_map<int, std::shared_ptr<NodeHandle>>;
std::mutex registryMutex;
Registry* handles = new Registry;  // never freed: streams may outlive static destructors
std::atomic<int> openHandles{0};

Registry& registry() {
    return *handles;
}

// A forked child has none of the camera threads: it forgets the parent's
// files (leaving them be) rather than end streams it does not run.
[[maybe_unused]] const int forgetInChild = ::pthread_atfork(nullptr, nullptr, [] {
    new (&registryMutex) std::mutex;
    handles = new Registry;
    openHandles = 0;
});

std::shared_ptr<NodeHandle> handleFor(int fd) {
    if (openHandles.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(registryMutex);
    auto found = registry().find(fd);
    return found == registry().end() ? nullptr : found->second;
}

bool mayBeEmulated(const struct stat& status) {
    return S_ISCHR(status.st_mode) &&
           (major(status.st_rdev) == kVideoMajor || major(status.st_rdev) == kMediaMajor);
}

// The eventfd standing in for the node, or -1 (errno set) when the path is
// not an emulated node (-2).
int openEmulated(int directory, const char* path, int flags) {
    struct stat status {};
    if (!path || ::fstatat(directory, path, &status, 0) != 0 || !mayBeEmulated(status)) return -2;
    Emulator* emulator = Emulator::instance();
    if (!emulator) return -2;
    std::optional<NodeRef> node;
    std::uint32_t generation = 0;
    {
        SharedState::Lock lock(emulator->shared());
        node = nodeForDevice(emulator->shared(),
                             static_cast<int>(emulator->config().cameras.size()), status.st_rdev);
        if (node) generation = emulator->shared().camera(node->camera).generation;
    }
    if (!node) {
        errno = ENODEV;
        return -1;
    }
    int fd = ::eventfd(
        0, (flags & O_NONBLOCK ? EFD_NONBLOCK : 0) | (flags & O_CLOEXEC ? EFD_CLOEXEC : 0));
    if (fd < 0) return -1;
    auto handle = std::make_shared<NodeHandle>(*emulator, *node, generation, fd, status);
    std::lock_guard lock(registryMutex);
    registry()[fd] = std::move(handle);
    ++openHandles;
    return fd;
}

int openAt(int directory, const char* path, int flags, mode_t mode) {
    int fd = openEmulated(directory, path, flags);
    return fd == -2 ? real::openat(directory, path, flags, mode) : fd;
}

mode_t modeArgument(int flags, va_list& arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

int failWith(int result) {
    if (result >= 0) return result;
    errno = -result;
    return -1;
}

int pollEmulated(pollfd* fds, nfds_t count, int realCount);

// Waits with each emulated node asking only for input, which its eventfd
// signals; the answer is then made the driver's.
template <class Wait>
int pollWith(pollfd* fds, nfds_t count, Wait wait) {
    if (openHandles.load(std::memory_order_relaxed) == 0) return wait();
    std::vector<std::pair<nfds_t, short>> asked;
    for (nfds_t i = 0; i < count; ++i)
        if (handleFor(fds[i].fd)) {
            asked.emplace_back(i, fds[i].events);
            fds[i].events = POLLIN;
        }
    int result = wait();
    for (auto [i, events] : asked) fds[i].events = events;
    return asked.empty() ? result : pollEmulated(fds, count, result);
}

}  // namespace
}  // namespace webcam

using namespace webcam;

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(AT_FDCWD, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(directory, path, flags, mode);
}

// The fortified forms a compiler emits for open without a mode.
int __open_2(const char* path, int flags) {
    return openAt(AT_FDCWD, path, flags, 0);
}
int __open64_2(const char* path, int flags) {
    return openAt(AT_FDCWD, path, flags, 0);
}
int __openat_2(int directory, const char* path, int flags) {
    return openAt(directory, path, flags, 0);
}
int __openat64_2(int directory, const char* path, int flags) {
    return openAt(directory, path, flags, 0);
}

int close(int fd) {
    if (openHandles.load(std::memory_order_relaxed) > 0) {
        std::shared_ptr<NodeHandle> handle;
        {
            std::lock_guard lock(registryMutex);
            auto found = registry().find(fd);
            if (found != registry().end()) {
                handle = std::move(found->second);
                registry().erase(found);
                --openHandles;
            }
        }
        handle.reset();  // ends its stream before the eventfd goes
    }
    return real::close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (auto handle = handleFor(fd)) {
        const int result = handle->ioctl(request, argument);
        static const bool debug = std::getenv("TALVEX_WEBCAM_DEBUG") != nullptr;
        if (debug)
            std::fprintf(stderr, "talvex-webcam: fd %d ioctl 0x%08lx (nr %lu) -> %d\n", fd, request,
                         request & 0xFF, result);
        return failWith(result);
    }
    return real::ioctl(fd, request, argument);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (auto handle = handleFor(fd))
        return handle->mmap(address, length, protection, flags, offset);
    return real::mmap(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
    return mmap(address, length, protection, flags, fd, offset);
}

// uvcvideo has no read(): a capture node refuses it.
ssize_t read(int fd, void* buffer, size_t size) {
    if (handleFor(fd)) {
        errno = EINVAL;
        return -1;
    }
    return real::read(fd, buffer, size);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    return pollWith(fds, count, [&] { return real::poll(fds, count, timeout); });
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    return pollWith(fds, count, [&] { return real::ppoll(fds, count, timeout, mask); });
}

int fstat(int fd, struct stat* status) {
    if (auto handle = handleFor(fd)) {
        *status = handle->status();
        return 0;
    }
    return real::fstat(fd, status);
}

int fstat64(int fd, struct stat64* status) {
    static_assert(sizeof(struct stat64) == sizeof(struct stat));
    return fstat(fd, reinterpret_cast<struct stat*>(status));
}

}  // extern "C"

namespace webcam {
namespace {

// The eventfd woke the poll (or the poll timed out); an emulated node then
// reports what the driver would: a buffer ready, or an error.
int pollEmulated(pollfd* fds, nfds_t count, int realCount) {
    if (realCount < 0) return realCount;
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        if (auto handle = handleFor(fds[i].fd)) {
            const short mask = static_cast<short>(fds[i].events | POLLERR | POLLHUP);
            fds[i].revents = (fds[i].revents & POLLIN) ? handle->pollEvents() & mask : 0;
        }
        if (fds[i].revents) ++ready;
    }
    return ready;
}

}  // namespace
}  // namespace webcam

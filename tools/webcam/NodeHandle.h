#pragma once

// One open file of an emulated node (capture, metadata or media), answering
// the ioctls uvcvideo answers there. The program holds an eventfd in its
// place, so poll and select wait on something real.

#include <sys/stat.h>

#include <cstdint>
#include <memory>

#include "CaptureQueue.h"
#include "DeviceNodes.h"

namespace webcam {

class Emulator;

class NodeHandle {
public:
    NodeHandle(Emulator& emulator, NodeRef node, std::uint32_t generation, int fd,
               const struct stat& status);
    ~NodeHandle();
    NodeHandle(const NodeHandle&) = delete;
    NodeHandle& operator=(const NodeHandle&) = delete;

    // 0 or a negative errno.
    int ioctl(unsigned long request, void* argument);
    void* mmap(void* address, std::size_t length, int protection, int flags, off_t offset);
    short pollEvents();
    const struct stat& status() const { return status_; }

private:
    int captureIoctl(unsigned long request, void* argument);
    int infoIoctl(unsigned long request, void* argument);
    int controlIoctl(unsigned long request, void* argument);
    int configIoctl(unsigned long request, void* argument);
    int streamIoctl(unsigned long request, void* argument);
    int metaIoctl(unsigned long request, void* argument);
    int mediaIoctl(unsigned long request, void* argument);
    int dequeue(v4l2_buffer& buffer);
    int requestBuffers(v4l2_requestbuffers& request);
    int streamOn(const std::uint32_t& type);
    int streamOff(const std::uint32_t& type);
    bool present();
    int acquirePrivileges();
    bool hasPrivileges();
    void releasePrivileges();
    void releaseBandwidth();

    Emulator& emulator_;
    const int camera_;
    const NodeKind kind_;
    const std::uint32_t generation_;
    const int fd_;
    const std::uint64_t serial_;
    const struct stat status_;
    std::unique_ptr<CaptureQueue> queue_;
};

}  // namespace webcam

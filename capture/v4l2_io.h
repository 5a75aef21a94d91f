#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The few system calls the V4L2 backend makes, behind an interface so that the
// backend's error paths (busy, unplugged, refused formats) can be driven by a
// fake device in tests. Failures return -1 (or null) with errno set, as the
// system calls do. Any thread.
class V4l2Io {
public:
    virtual ~V4l2Io() = default;

    // Paths of the video nodes present, e.g. "/dev/video0", in numeric order.
    virtual std::vector<std::string> listNodes() = 0;
    virtual int open(const std::string& path) = 0;
    virtual void close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* mmap(int fd, std::size_t length, std::int64_t offset) = 0;
    virtual void munmap(void* address, std::size_t length) = 0;

    // Waits until `fd` has a frame to dequeue, `wakeFd` becomes readable or
    // timeoutMs pass: 1 frame ready, 0 woken or timed out, -1 error.
    virtual int waitFrame(int fd, int wakeFd, int timeoutMs) = 0;
};

// The real thing, through libv4l2 (which converts YUYV, MJPEG and the other
// camera formats to the BGR24 the backend asks for).
std::shared_ptr<V4l2Io> systemV4l2Io();

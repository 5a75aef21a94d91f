#include "capture/v4l2_io.h"

#include <libv4l2.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "capture/v4l2_format.h"

namespace {

class SystemV4l2Io final : public V4l2Io {
public:
    std::vector<std::string> listNodes() override {
        std::vector<std::string> names;
        DIR* dir = ::opendir("/dev");
        if (dir == nullptr)
            return names;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, "video", 5) == 0)
                names.push_back(entry->d_name);
        }
        ::closedir(dir);
        std::vector<std::string> paths;
        for (const std::string& name : sortedVideoNodes(names))
            paths.push_back("/dev/" + name);
        return paths;
    }

    int open(const std::string& path) override {
        // Non-blocking: a dequeue must never stall the capture thread's stop.
        return ::v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }

    void close(int fd) override { ::v4l2_close(fd); }

    int ioctl(int fd, unsigned long request, void* arg) override {
        int result;
        do {
            result = ::v4l2_ioctl(fd, request, arg);
        } while (result == -1 && errno == EINTR);
        return result;
    }

    void* mmap(int fd, std::size_t length, std::int64_t offset) override {
        void* address = ::v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        return address == MAP_FAILED ? nullptr : address;
    }

    void munmap(void* address, std::size_t length) override { ::v4l2_munmap(address, length); }

    int waitFrame(int fd, int wakeFd, int timeoutMs) override {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0)
            return errno == EINTR ? 0 : -1;
        if (fds[1].revents != 0 || ready == 0)
            return 0;
        // POLLERR (an unplugged camera) also counts as ready: the dequeue says why.
        return 1;
    }
};

}  // namespace

std::shared_ptr<V4l2Io> systemV4l2Io() {
    static std::shared_ptr<V4l2Io> io = std::make_shared<SystemV4l2Io>();
    return io;
}

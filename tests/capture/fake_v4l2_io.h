#pragma once

#include <linux/videodev2.h>
#include <sys/poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/v4l2_io.h"

// A pretend V4L2 camera (or several) for the backend's tests: discrete frame
// sizes with 30 and 15 fps, controls, inputs, memory-mapped buffers, and
// switches for the failures a real device shows (busy, refused sizes,
// unplugged while streaming).
struct FakeCamera {
    std::string card = "Fake Camera";
    bool capture = true;  // false: a node that only carries metadata
    std::vector<std::pair<int, int>> sizes = {{160, 120}, {320, 240}, {640, 480}};
    int width = 640;
    int height = 480;
    std::uint32_t nativeFormat = V4L2_PIX_FMT_BGR24;  // another value: cannot deliver BGR24
    int padding = 0;                                  // bytes after each row
    bool busy = false;            // S_FMT and REQBUFS fail with EBUSY
    bool busyOnStream = false;    // only REQBUFS fails with EBUSY
    std::vector<std::pair<int, int>> refusedSizes;  // S_FMT fails with EINVAL
    std::vector<v4l2_queryctrl> controls;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> menuItems;  // (id, index) -> label
    std::map<std::uint32_t, int> values;
    std::vector<std::string> inputs = {"Camera 1"};
    int input = 0;
    v4l2_fract timePerFrame = {1, 15};
};

// Fills a fixed name field the way drivers do (NUL-padded, not always NUL-ended).
inline void copyName(std::uint8_t* field, std::size_t size, const std::string& name) {
    std::memset(field, 0, size);
    std::memcpy(field, name.data(), std::min(size, name.size()));
}

class FakeV4l2Io final : public V4l2Io {
public:
    std::vector<FakeCamera> cameras;
    std::atomic<bool> unplugged{false};
    std::atomic<int> framesDelivered{0};
    std::atomic<int> passingErrors{0};  // dequeues that fail with EIO before frames resume

    std::vector<std::string> listNodes() override {
        std::vector<std::string> nodes;
        for (std::size_t i = 0; i < cameras.size(); ++i)
            nodes.push_back("/dev/video" + std::to_string(i));
        return nodes;
    }

    int open(const std::string& path) override {
        std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            if (path == "/dev/video" + std::to_string(i)) {
                openFds_[kFirstFd + static_cast<int>(i)]++;
                return kFirstFd + static_cast<int>(i);
            }
        }
        errno = ENOENT;
        return -1;
    }

    void close(int fd) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (--openFds_[fd] == 0)
            openFds_.erase(fd);
    }

    int openCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        int count = 0;
        for (const auto& [fd, n] : openFds_)
            count += n;
        return count;
    }

    FakeCamera& camera(int fd) { return cameras[static_cast<std::size_t>(fd - kFirstFd)]; }

    int ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard<std::mutex> guard(mutex_);
        FakeCamera& cam = camera(fd);
        switch (request) {
        case VIDIOC_QUERYCAP: return queryCap(cam, static_cast<v4l2_capability*>(arg));
        case VIDIOC_G_FMT: return getFormat(cam, static_cast<v4l2_format*>(arg));
        case VIDIOC_S_FMT: return setFormat(cam, static_cast<v4l2_format*>(arg));
        case VIDIOC_ENUM_FRAMESIZES: return enumSizes(cam, static_cast<v4l2_frmsizeenum*>(arg));
        case VIDIOC_ENUM_FRAMEINTERVALS: return enumIntervals(static_cast<v4l2_frmivalenum*>(arg));
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: return parm(cam, request, static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_REQBUFS: return requestBuffers(cam, static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: return queryBuffer(static_cast<v4l2_buffer*>(arg));
        case VIDIOC_QBUF: return queueBuffer(static_cast<v4l2_buffer*>(arg));
        case VIDIOC_DQBUF: return dequeueBuffer(cam, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_STREAMON: streaming_ = true; return 0;
        case VIDIOC_STREAMOFF: streaming_ = false; return unplugged ? fail(ENODEV) : 0;
        case VIDIOC_QUERYCTRL: return queryControl(cam, static_cast<v4l2_queryctrl*>(arg));
        case VIDIOC_QUERYMENU: return queryMenu(cam, static_cast<v4l2_querymenu*>(arg));
        case VIDIOC_G_CTRL: return getControl(cam, static_cast<v4l2_control*>(arg));
        case VIDIOC_S_CTRL: return setControl(cam, static_cast<v4l2_control*>(arg));
        case VIDIOC_ENUMINPUT: return enumInput(cam, static_cast<v4l2_input*>(arg));
        case VIDIOC_G_INPUT: *static_cast<int*>(arg) = cam.input; return 0;
        case VIDIOC_S_INPUT: {
            const int wanted = *static_cast<int*>(arg);
            if (wanted < 0 || wanted >= static_cast<int>(cam.inputs.size()))
                return fail(EINVAL);
            cam.input = wanted;
            return 0;
        }
        default: return fail(ENOTTY);
        }
    }

    void* mmap(int, std::size_t length, std::int64_t offset) override {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::size_t index = static_cast<std::size_t>(offset / kPage);
        if (index >= buffers_.size() || length > buffers_[index].size())
            return nullptr;
        ++mapped_;
        return buffers_[index].data();
    }

    void munmap(void*, std::size_t) override {
        std::lock_guard<std::mutex> guard(mutex_);
        --mapped_;
    }

    int mappedCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return mapped_;
    }

    int waitFrame(int, int wakeFd, int) override {
        // A frame every 2 ms unless woken.
        pollfd wake = {wakeFd, POLLIN, 0};
        return ::poll(&wake, 1, 2) == 0 ? 1 : 0;
    }

    bool isStreaming() {
        std::lock_guard<std::mutex> guard(mutex_);
        return streaming_;
    }

private:
    static constexpr int kFirstFd = 100;
    static constexpr std::int64_t kPage = 4096;

    static int fail(int error) {
        errno = error;
        return -1;
    }

    static std::size_t stride(const FakeCamera& cam) {
        return static_cast<std::size_t>(cam.width) * 3 + static_cast<std::size_t>(cam.padding);
    }

    int queryCap(const FakeCamera& cam, v4l2_capability* caps) {
        *caps = {};
        copyName(caps->card, sizeof caps->card, cam.card.c_str());
        caps->device_caps = cam.capture ? (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING) : V4L2_CAP_META_CAPTURE;
        caps->capabilities = caps->device_caps | V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE;
        return 0;
    }

    int getFormat(const FakeCamera& cam, v4l2_format* format) {
        format->fmt.pix.width = static_cast<std::uint32_t>(cam.width);
        format->fmt.pix.height = static_cast<std::uint32_t>(cam.height);
        format->fmt.pix.pixelformat = cam.nativeFormat;
        format->fmt.pix.bytesperline = static_cast<std::uint32_t>(stride(cam));
        format->fmt.pix.sizeimage = static_cast<std::uint32_t>(stride(cam) * static_cast<std::size_t>(cam.height));
        return 0;
    }

    int setFormat(FakeCamera& cam, v4l2_format* format) {
        if (cam.busy || streaming_)
            return fail(EBUSY);
        const int w = static_cast<int>(format->fmt.pix.width);
        const int h = static_cast<int>(format->fmt.pix.height);
        for (const auto& refused : cam.refusedSizes)
            if (refused == std::pair{w, h})
                return fail(EINVAL);
        // Like a driver: settle on the nearest size offered, never fail for that.
        std::pair<int, int> best = cam.sizes.front();
        long long bestDistance = -1;
        for (const auto& size : cam.sizes) {
            const long long distance = std::llabs(static_cast<long long>(size.first) - w) +
                                       std::llabs(static_cast<long long>(size.second) - h);
            if (bestDistance < 0 || distance < bestDistance) {
                best = size;
                bestDistance = distance;
            }
        }
        cam.width = best.first;
        cam.height = best.second;
        return getFormat(cam, format);
    }

    int enumSizes(const FakeCamera& cam, v4l2_frmsizeenum* size) {
        if (size->pixel_format != V4L2_PIX_FMT_BGR24 || size->index >= cam.sizes.size())
            return fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = static_cast<std::uint32_t>(cam.sizes[size->index].first);
        size->discrete.height = static_cast<std::uint32_t>(cam.sizes[size->index].second);
        return 0;
    }

    int enumIntervals(v4l2_frmivalenum* interval) {
        if (interval->index > 1)
            return fail(EINVAL);
        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval->discrete = {1, interval->index == 0 ? 15u : 30u};
        return 0;
    }

    int parm(FakeCamera& cam, unsigned long request, v4l2_streamparm* parm) {
        if (request == VIDIOC_S_PARM)
            cam.timePerFrame = parm->parm.capture.timeperframe;
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = cam.timePerFrame;
        return 0;
    }

    int requestBuffers(const FakeCamera& cam, v4l2_requestbuffers* request) {
        if (request->count == 0) {
            buffers_.clear();
            queue_.clear();
            return 0;
        }
        if (cam.busy || cam.busyOnStream)
            return fail(EBUSY);
        request->count = std::min<std::uint32_t>(request->count, 3);
        buffers_.assign(request->count, std::vector<std::uint8_t>(stride(cam) * static_cast<std::size_t>(cam.height)));
        return 0;
    }

    int queryBuffer(v4l2_buffer* buffer) {
        if (buffer->index >= buffers_.size())
            return fail(EINVAL);
        buffer->length = static_cast<std::uint32_t>(buffers_[buffer->index].size());
        buffer->m.offset = static_cast<std::uint32_t>(buffer->index * kPage);
        return 0;
    }

    int queueBuffer(v4l2_buffer* buffer) {
        if (unplugged)
            return fail(ENODEV);
        if (buffer->index >= buffers_.size())
            return fail(EINVAL);
        queue_.push_back(buffer->index);
        return 0;
    }

    // Fills the picture top-down: every pixel of picture row r is (B, G, R) =
    // (frame number, r, 200); padding bytes are 0xEE.
    int dequeueBuffer(const FakeCamera& cam, v4l2_buffer* buffer) {
        if (unplugged)
            return fail(ENODEV);
        if (passingErrors > 0) {
            --passingErrors;
            return fail(EIO);
        }
        if (!streaming_ || queue_.empty())
            return fail(EAGAIN);
        const std::uint32_t index = queue_.front();
        queue_.pop_front();
        std::vector<std::uint8_t>& pixels = buffers_[index];
        const int frame = ++framesDelivered;
        for (int row = 0; row < cam.height; ++row) {
            std::uint8_t* line = pixels.data() + static_cast<std::size_t>(row) * stride(cam);
            for (int x = 0; x < cam.width; ++x) {
                line[3 * x] = static_cast<std::uint8_t>(frame);
                line[3 * x + 1] = static_cast<std::uint8_t>(row);
                line[3 * x + 2] = 200;
            }
            std::fill(line + cam.width * 3, line + stride(cam), 0xEE);
        }
        buffer->index = index;
        buffer->bytesused = static_cast<std::uint32_t>(pixels.size());
        buffer->flags = 0;
        return 0;
    }

    int queryControl(const FakeCamera& cam, v4l2_queryctrl* query) {
        const bool next = query->id & V4L2_CTRL_FLAG_NEXT_CTRL;
        const std::uint32_t id = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        for (const v4l2_queryctrl& control : cam.controls) {
            if (next ? control.id > id : control.id == id) {
                *query = control;
                return 0;
            }
        }
        return fail(EINVAL);
    }

    int queryMenu(const FakeCamera& cam, v4l2_querymenu* menu) {
        const std::uint32_t id = menu->id;
        const std::uint32_t index = menu->index;
        auto found = cam.menuItems.find({id, index});
        if (found == cam.menuItems.end())
            return fail(EINVAL);
        copyName(menu->name, sizeof menu->name, found->second.c_str());
        return 0;
    }

    int getControl(const FakeCamera& cam, v4l2_control* control) {
        auto found = cam.values.find(control->id);
        if (found == cam.values.end())
            return fail(EINVAL);
        control->value = found->second;
        return 0;
    }

    int setControl(FakeCamera& cam, v4l2_control* control) {
        for (const v4l2_queryctrl& query : cam.controls) {
            if (query.id == control->id) {
                if (control->value < query.minimum || control->value > query.maximum)
                    return fail(ERANGE);
                cam.values[control->id] = control->value;
                return 0;
            }
        }
        return fail(EINVAL);
    }

    int enumInput(const FakeCamera& cam, v4l2_input* input) {
        if (input->index >= cam.inputs.size())
            return fail(EINVAL);
        copyName(input->name, sizeof input->name, cam.inputs[input->index].c_str());
        return 0;
    }

    std::mutex mutex_;
    std::map<int, int> openFds_;
    std::vector<std::vector<std::uint8_t>> buffers_;
    std::deque<std::uint32_t> queue_;
    bool streaming_ = false;
    int mapped_ = 0;
};

inline v4l2_queryctrl fakeControl(std::uint32_t id, const char* name, std::uint32_t type, int minimum, int maximum,
                                  int defaultValue, std::uint32_t flags = 0) {
    v4l2_queryctrl control{};
    control.id = id;
    copyName(control.name, sizeof control.name, std::string(name));
    control.type = type;
    control.minimum = minimum;
    control.maximum = maximum;
    control.step = 1;
    control.default_value = defaultValue;
    control.flags = flags;
    return control;
}

#include "capture/v4l2_source.h"

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "capture/capture_dialog_runner.h"
#include "capture/frame_mailbox.h"
#include "capture/v4l2_format.h"

namespace {

constexpr std::uint32_t kPixelFormat = V4L2_PIX_FMT_BGR24;
// Bounds on what a driver may report, so that a faulty one cannot loop us forever.
constexpr int kMaxEnumerated = 256;
constexpr int kStreamPollMs = 1000;
constexpr double kRequestedRate = 30.0;
// EIO from a dequeue can be a passing signal loss; this many in a row means the
// device is gone for good.
constexpr int kMaxTransientErrors = 30;

enum class DialogKind { Format, Source, Crossbar };

std::string errnoText(int error) {
    return std::strerror(error);
}

void clearEvent(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

CaptureControl::Kind controlKind(std::uint32_t type, bool& supported) {
    supported = true;
    switch (type) {
    case V4L2_CTRL_TYPE_INTEGER: return CaptureControl::Kind::Integer;
    case V4L2_CTRL_TYPE_BOOLEAN: return CaptureControl::Kind::Boolean;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU: return CaptureControl::Kind::Menu;
    default: supported = false; return CaptureControl::Kind::Integer;
    }
}

std::vector<DialogKind> dialogKinds(bool hasFormats, bool hasControls, std::size_t inputCount) {
    std::vector<DialogKind> kinds;
    if (hasFormats)
        kinds.push_back(DialogKind::Format);
    if (hasControls)
        kinds.push_back(DialogKind::Source);
    if (inputCount > 1)
        kinds.push_back(DialogKind::Crossbar);
    return kinds;
}

}  // namespace

// ---- Backend ----------------------------------------------------------------

V4l2Backend::V4l2Backend(std::shared_ptr<V4l2Io> io) : io_(std::move(io)) {}

std::vector<std::string> V4l2Backend::deviceNames() {
    std::vector<std::string> names;
    paths_.clear();
    for (const std::string& path : io_->listNodes()) {
        const int fd = io_->open(path);
        if (fd < 0)
            continue;
        v4l2_capability caps{};
        if (io_->ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0 && capturesVideo(caps.capabilities, caps.device_caps)) {
            names.push_back(cardName(caps.card, sizeof caps.card));
            paths_.push_back(path);
        }
        io_->close(fd);
    }
    return names;
}

std::unique_ptr<CaptureSource> V4l2Backend::openDevice(int index) {
    if (index < 0 || index >= static_cast<int>(paths_.size()))
        return nullptr;
    return V4l2Source::open(io_, paths_[index]);
}

std::shared_ptr<CaptureBackend> makeV4l2Backend() {
    return std::make_shared<V4l2Backend>(systemV4l2Io());
}

// ---- Source -----------------------------------------------------------------

V4l2Source::V4l2Source(std::shared_ptr<V4l2Io> io, int fd, int wakeFd)
    : io_(std::move(io)), fd_(fd), wakeFd_(wakeFd) {}

std::unique_ptr<V4l2Source> V4l2Source::open(std::shared_ptr<V4l2Io> io, const std::string& path) {
    const int fd = io->open(path);
    if (fd < 0)
        return nullptr;
    v4l2_capability caps{};
    if (io->ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0 || !capturesVideo(caps.capabilities, caps.device_caps)) {
        io->close(fd);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        io->close(fd);
        return nullptr;
    }
    std::unique_ptr<V4l2Source> source(new V4l2Source(std::move(io), fd, wakeFd));
    if (!source->readFormat())
        return nullptr;
    // Keep the device's size but have frames converted to BGR24; a device that
    // another program streams from refuses this (EBUSY).
    const int width = source->width_ > 0 ? source->width_ : 320;
    const int height = source->height_ > 0 ? source->height_ : 240;
    if (!source->setFormat(width, height))
        return nullptr;
    source->enumerateFormats();
    source->enumerateInputs();
    return source;
}

V4l2Source::~V4l2Source() {
    stop();
    ::close(wakeFd_);
    io_->close(fd_);
}

void V4l2Source::frameSize(int& width, int& height) const {
    width = width_;
    height = height_;
}

bool V4l2Source::readFormat() {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->ioctl(fd_, VIDIOC_G_FMT, &format) != 0)
        return false;
    width_ = static_cast<int>(format.fmt.pix.width);
    height_ = static_cast<int>(format.fmt.pix.height);
    stride_ = std::max<std::size_t>(format.fmt.pix.bytesperline, static_cast<std::size_t>(width_) * 3);
    return true;
}

bool V4l2Source::setFormat(int width, int height) {
    if (!imTrackingGrabberCB::acceptsSize(width, height)) return false;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(width);
    format.fmt.pix.height = static_cast<std::uint32_t>(height);
    format.fmt.pix.pixelformat = kPixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    const bool accepted = io_->ioctl(fd_, VIDIOC_S_FMT, &format) == 0 &&
                          format.fmt.pix.pixelformat == kPixelFormat && format.fmt.pix.width > 0 &&
                          format.fmt.pix.height > 0 &&
                          format.fmt.pix.width <= static_cast<std::uint32_t>(imTrackingGrabberCB::kMaxSide) &&
                          format.fmt.pix.height <= static_cast<std::uint32_t>(imTrackingGrabberCB::kMaxSide);
    if (!accepted) {
        readFormat();  // stay in step with whatever the device kept
        return false;
    }
    width_ = static_cast<int>(format.fmt.pix.width);
    height_ = static_cast<int>(format.fmt.pix.height);
    stride_ = std::max<std::size_t>(format.fmt.pix.bytesperline, static_cast<std::size_t>(width_) * 3);
    return true;
}

void V4l2Source::setFrameRate(double framesPerSecond) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->ioctl(fd_, VIDIOC_G_PARM, &parm) != 0 || !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
        return;  // the device runs at its own rate
    if (std::fabs(framesPerSecond - kRequestedRate) < 1e-9) {
        parm.parm.capture.timeperframe = {static_cast<std::uint32_t>(kFrameDuration100ns), 10000000u};
    } else {
        parm.parm.capture.timeperframe = {1000u, static_cast<std::uint32_t>(std::lround(framesPerSecond * 1000))};
    }
    io_->ioctl(fd_, VIDIOC_S_PARM, &parm);  // a refused rate still leaves a working stream
}

bool V4l2Source::requestFrameSize(int width, int height) {
    if (!setFormat(width, height))
        return false;
    setFrameRate(kRequestedRate);
    return true;
}

void V4l2Source::enumerateFormats() {
    std::vector<FrameSizeRange> ranges;
    for (int i = 0; i < kMaxEnumerated; ++i) {
        v4l2_frmsizeenum size{};
        size.index = static_cast<std::uint32_t>(i);
        size.pixel_format = kPixelFormat;
        if (io_->ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) != 0)
            break;
        FrameSizeRange range;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            range.minWidth = static_cast<int>(size.discrete.width);
            range.minHeight = static_cast<int>(size.discrete.height);
        } else {
            range.discrete = false;
            range.minWidth = static_cast<int>(size.stepwise.min_width);
            range.minHeight = static_cast<int>(size.stepwise.min_height);
            range.maxWidth = static_cast<int>(size.stepwise.max_width);
            range.maxHeight = static_cast<int>(size.stepwise.max_height);
            range.stepWidth = static_cast<int>(size.stepwise.step_width);
            range.stepHeight = static_cast<int>(size.stepwise.step_height);
        }
        ranges.push_back(range);
        if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
            break;  // a stepwise answer is the only entry
    }
    formats_ = listableSizes(ranges);
    if (formats_.empty() && width_ > 0 && height_ > 0)
        formats_.push_back({width_, height_, 0.0});
    for (FrameFormatChoice& choice : formats_) {
        std::vector<double> rates;
        for (int i = 0; i < kMaxEnumerated; ++i) {
            v4l2_frmivalenum interval{};
            interval.index = static_cast<std::uint32_t>(i);
            interval.pixel_format = kPixelFormat;
            interval.width = static_cast<std::uint32_t>(choice.width);
            interval.height = static_cast<std::uint32_t>(choice.height);
            if (io_->ioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0)
                break;
            if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                rates.push_back(framesPerSecond(interval.discrete.numerator, interval.discrete.denominator));
                continue;
            }
            // A range of intervals: 30 fps when it lies inside, else the nearer end.
            const double fastest = framesPerSecond(interval.stepwise.min.numerator, interval.stepwise.min.denominator);
            const double slowest = framesPerSecond(interval.stepwise.max.numerator, interval.stepwise.max.denominator);
            rates.push_back(slowest <= kRequestedRate && kRequestedRate <= fastest ? kRequestedRate : fastest);
            rates.push_back(slowest);
            break;
        }
        choice.framesPerSecond = closestRateTo30(rates);
    }
}

void V4l2Source::enumerateInputs() {
    inputs_.clear();
    for (int i = 0; i < kMaxEnumerated; ++i) {
        v4l2_input input{};
        input.index = static_cast<std::uint32_t>(i);
        if (io_->ioctl(fd_, VIDIOC_ENUMINPUT, &input) != 0)
            break;
        inputs_.push_back({i, cardName(input.name, sizeof input.name)});
    }
}

std::vector<CaptureControl> V4l2Source::readControls() const {
    std::vector<CaptureControl> controls;
    std::uint32_t previousId = 0;
    for (int i = 0; i < kMaxEnumerated; ++i) {
        v4l2_queryctrl query{};
        query.id = previousId | V4L2_CTRL_FLAG_NEXT_CTRL;
        if (io_->ioctl(fd_, VIDIOC_QUERYCTRL, &query) != 0 || query.id <= previousId)
            break;
        previousId = query.id;
        bool supported = false;
        const CaptureControl::Kind kind = controlKind(query.type, supported);
        if (!supported || (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)))
            continue;
        CaptureControl control;
        control.id = static_cast<int>(query.id);
        control.name = cardName(query.name, sizeof query.name);
        control.kind = kind;
        control.minimum = query.minimum;
        control.maximum = std::max(query.maximum, query.minimum);
        control.step = std::max(query.step, 1);
        control.defaultValue = query.default_value;
        v4l2_control current{};
        current.id = query.id;
        control.value = io_->ioctl(fd_, VIDIOC_G_CTRL, &current) == 0 ? current.value : query.default_value;
        if (kind == CaptureControl::Kind::Menu) {
            for (int item = control.minimum; item <= control.maximum && item - control.minimum < kMaxEnumerated; ++item) {
                v4l2_querymenu menu{};
                menu.id = query.id;
                menu.index = static_cast<std::uint32_t>(item);
                if (io_->ioctl(fd_, VIDIOC_QUERYMENU, &menu) != 0)
                    continue;  // drivers leave holes in menus
                const std::string label = query.type == V4L2_CTRL_TYPE_INTEGER_MENU
                                              ? std::to_string(menu.value)
                                              : cardName(menu.name, sizeof menu.name);
                control.menuItems.push_back({item, label});
            }
            if (control.menuItems.empty())
                continue;
        }
        controls.push_back(control);
    }
    return controls;
}

bool V4l2Source::applyFormat(const FrameFormatChoice& choice) {
    if (!setFormat(choice.width, choice.height))
        return false;
    if (choice.framesPerSecond > 0.0)
        setFrameRate(choice.framesPerSecond);
    return true;
}

bool V4l2Source::applyControl(int id, int value) {
    v4l2_control control{};
    control.id = static_cast<std::uint32_t>(id);
    control.value = value;
    return io_->ioctl(fd_, VIDIOC_S_CTRL, &control) == 0;
}

bool V4l2Source::applyInput(int index) {
    int input = index;
    const bool accepted = io_->ioctl(fd_, VIDIOC_S_INPUT, &input) == 0;
    // Another input may bring another format; keep what the device now has.
    return readFormat() && accepted;
}

std::vector<CaptureDialogEntry> V4l2Source::dialogs() const {
    std::vector<CaptureDialogEntry> entries;
    for (DialogKind kind : dialogKinds(!formats_.empty(), !readControls().empty(), inputs_.size())) {
        switch (kind) {
        case DialogKind::Format: entries.push_back({"Format...", DialogEffect::ChangesFormat}); break;
        case DialogKind::Source: entries.push_back({"Source...", DialogEffect::None}); break;
        // Switching inputs while streaming is refused by most drivers, and the
        // new input may have another format: rebuild around it.
        case DialogKind::Crossbar: entries.push_back({"Crossbar...", DialogEffect::ChangesFormat}); break;
        }
    }
    return entries;
}

bool V4l2Source::runDialog(int index, QWidget* parent) {
    const std::vector<CaptureControl> controls = readControls();
    const std::vector<DialogKind> kinds = dialogKinds(!formats_.empty(), !controls.empty(), inputs_.size());
    if (index < 0 || index >= static_cast<int>(kinds.size()))
        return false;
    switch (kinds[index]) {
    case DialogKind::Format: {
        int current = 0;
        for (int i = 0; i < static_cast<int>(formats_.size()); ++i) {
            if (formats_[i].width == width_ && formats_[i].height == height_)
                current = i;
        }
        const int chosen = chooseFrameFormat(formats_, current, parent);
        return chosen < 0 || applyFormat(formats_[chosen]);
    }
    case DialogKind::Source:
        return editCaptureControls(controls, [this](int id, int value) { return applyControl(id, value); },
                                   parent);
    case DialogKind::Crossbar: {
        int current = 0;
        io_->ioctl(fd_, VIDIOC_G_INPUT, &current);
        const int chosen = chooseCaptureInput(inputs_, current, parent);
        return chosen < 0 || chosen == current || applyInput(chosen);
    }
    }
    return false;
}

bool V4l2Source::mapBuffers() {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (io_->ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) {
        fail("The capture device cannot stream: " + errnoText(errno));
        return false;
    }
    const std::size_t frameBytes = stride_ * static_cast<std::size_t>(height_);
    for (std::uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (io_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0 || buffer.length < frameBytes)
            return false;
        void* address = io_->mmap(fd_, buffer.length, buffer.m.offset);
        if (address == nullptr)
            return false;
        buffers_.push_back({address, buffer.length});
        if (io_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0)
            return false;
    }
    return true;
}

void V4l2Source::releaseBuffers() {
    for (const Buffer& buffer : buffers_)
        io_->munmap(buffer.address, buffer.length);
    const bool hadBuffers = !buffers_.empty();
    buffers_.clear();
    if (hadBuffers) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        io_->ioctl(fd_, VIDIOC_REQBUFS, &request);
    }
}

bool V4l2Source::start(imTrackingGrabberCB& mailbox) {
    if (thread_.joinable())
        return true;
    {
        std::lock_guard<std::mutex> guard(errorMutex_);
        error_.clear();
    }
    if (width_ <= 0 || height_ <= 0 || !mapBuffers()) {
        releaseBuffers();
        return false;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->ioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
        fail("The capture device cannot stream: " + errnoText(errno));
        releaseBuffers();
        return false;
    }
    clearEvent(wakeFd_);
    stopRequested_ = false;
    thread_ = std::thread(&V4l2Source::streamLoop, this, &mailbox);
    return true;
}

void V4l2Source::stop() {
    if (!thread_.joinable())
        return;
    stopRequested_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    io_->ioctl(fd_, VIDIOC_STREAMOFF, &type);  // fails harmlessly on an unplugged device
    releaseBuffers();
    clearEvent(wakeFd_);
}

void V4l2Source::streamLoop(imTrackingGrabberCB* mailbox) {
    const std::size_t frameBytes = stride_ * static_cast<std::size_t>(height_ - 1) + static_cast<std::size_t>(width_) * 3;
    int transientErrors = 0;
    while (!stopRequested_) {
        const int ready = io_->waitFrame(fd_, wakeFd_, kStreamPollMs);
        if (ready < 0) {
            fail("The capture device stopped delivering frames: " + errnoText(errno));
            return;
        }
        if (ready == 0)
            continue;
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (io_->ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) {
            if (errno == EAGAIN || (errno == EIO && ++transientErrors < kMaxTransientErrors))
                continue;
            fail("The capture device stopped delivering frames: " + errnoText(errno));
            return;
        }
        transientErrors = 0;
        // Damaged or short frames are skipped rather than shown half old.
        if (buffer.index < buffers_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR) &&
            buffer.bytesused >= frameBytes)
            mailbox->depositTopDown(static_cast<const std::uint8_t*>(buffers_[buffer.index].address), stride_,
                                    width_, height_);
        if (io_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) {
            fail("The capture device stopped delivering frames: " + errnoText(errno));
            return;
        }
    }
}

void V4l2Source::fail(const std::string& why) {
    std::lock_guard<std::mutex> guard(errorMutex_);
    error_ = why;
}

std::string V4l2Source::streamError() const {
    std::lock_guard<std::mutex> guard(errorMutex_);
    return error_;
}

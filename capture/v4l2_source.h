#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_formats.h"
#include "capture/capture_source.h"
#include "capture/v4l2_io.h"

// Video4Linux2 cameras: every /dev/video* node that captures video by
// streaming, named by its card name.
class V4l2Backend final : public CaptureBackend {
public:
    explicit V4l2Backend(std::shared_ptr<V4l2Io> io);
    std::vector<std::string> deviceNames() override;
    std::unique_ptr<CaptureSource> openDevice(int index) override;

private:
    std::shared_ptr<V4l2Io> io_;
    std::vector<std::string> paths_;
};

std::shared_ptr<CaptureBackend> makeV4l2Backend();

// One opened camera. Frames are asked for as BGR24 (libv4l2 converts) and
// streamed through memory-mapped buffers on the source's own thread.
class V4l2Source final : public CaptureSource {
public:
    static constexpr int kBufferCount = 4;

    // Null when the node cannot be opened, does not capture video, or refuses
    // BGR24 frames (for instance because another program is streaming from it).
    static std::unique_ptr<V4l2Source> open(std::shared_ptr<V4l2Io> io, const std::string& path);
    ~V4l2Source() override;

    void frameSize(int& width, int& height) const override;
    bool requestFrameSize(int width, int height) override;
    bool start(imTrackingGrabberCB& mailbox) override;
    void stop() override;
    std::vector<CaptureDialogEntry> dialogs() const override;
    bool runDialog(int index, QWidget* parent) override;
    std::string streamError() const override;

    // What the dialogs offer, exposed for tests.
    const std::vector<FrameFormatChoice>& formats() const { return formats_; }
    std::vector<CaptureControl> readControls() const;
    const std::vector<CaptureInput>& inputs() const { return inputs_; }

    // Applies one offered format (size and rate); false when refused.
    bool applyFormat(const FrameFormatChoice& choice);
    bool applyControl(int id, int value);
    bool applyInput(int index);

private:
    struct Buffer {
        void* address = nullptr;
        std::size_t length = 0;
    };

    V4l2Source(std::shared_ptr<V4l2Io> io, int fd, int wakeFd);
    bool setFormat(int width, int height);
    bool readFormat();
    void setFrameRate(double framesPerSecond);
    void enumerateFormats();
    void enumerateInputs();
    bool mapBuffers();
    void releaseBuffers();
    void streamLoop(imTrackingGrabberCB* mailbox);
    void fail(const std::string& why);

    std::shared_ptr<V4l2Io> io_;
    int fd_ = -1;
    int wakeFd_ = -1;
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    std::vector<FrameFormatChoice> formats_;
    std::vector<CaptureInput> inputs_;
    std::vector<Buffer> buffers_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    mutable std::mutex errorMutex_;
    std::string error_;
};

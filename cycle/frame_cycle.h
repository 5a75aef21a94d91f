#pragma once

#include <cstddef>
#include <memory>

struct CaptureDevice;
class FrameProcessor;

// One frame, the same way for the window, the command line and the benchmarks:
// the newest frame into the colour buffer, grey conversion, the processor's
// per-frame step from the grey into the processed buffer. What the canvases
// draw afterwards is what that step prepared.
//
// Owns the three frame buffers (colour: 3 bytes per pixel R, G, B; grey and
// processed: 1 byte), rows bottom-up, no padding. New buffers are black, so
// nothing shown before the first frame is leftover memory. Not thread-safe:
// one thread (the GUI thread in the window) drives it.
class FrameCycle {
public:
    enum class Fetch {
        NewFrame,     // a new frame was taken and processed
        NoFrame,      // nothing new: buffers and processor untouched
        SizeChanged,  // the device's frame size is not the buffers' any more
    };

    FrameCycle();
    ~FrameCycle();
    FrameCycle(const FrameCycle&) = delete;
    FrameCycle& operator=(const FrameCycle&) = delete;

    // Black buffers for width x height frames (none for a side <= 0) and the
    // processor told the size. False, with no buffers at all, when memory runs out.
    bool setFrameSize(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t pixelCount() const { return pixelCount_; }
    bool hasBuffers() const { return pixelCount_ != 0; }

    unsigned char* colorBuffer() { return color_.get(); }
    const unsigned char* colorBuffer() const { return color_.get(); }
    std::size_t colorBufferBytes() const { return 3 * pixelCount_; }
    unsigned char* grayBuffer() { return gray_.get(); }
    const unsigned char* grayBuffer() const { return gray_.get(); }
    const unsigned char* processedBuffer() const { return processed_.get(); }

    // The processor the cycle drives (borrowed; null: frames are only converted).
    // Told the frame size at once when there are buffers.
    void setProcessor(FrameProcessor* processor);
    FrameProcessor* processor() const { return processor_; }

    // Takes the device's newest frame, waiting up to timeoutMs (0: only looks),
    // and runs it. Never writes beyond the buffers: a frame of another size is
    // reported, not copied.
    Fetch takeFrame(CaptureDevice* device, int timeoutMs);

    // Runs a frame the caller wrote into the colour buffer (an opened picture,
    // a frame made by index): grey conversion, then the processor.
    void runColorFrame();

    // Runs the processor again on the grey frame it last saw (a changed
    // processor or setting). Nothing without buffers.
    void rerun();

    // New frames run since construction.
    long long framesRun() const { return framesRun_; }

private:
    void freeBuffers();

    int width_ = 0;
    int height_ = 0;
    std::size_t pixelCount_ = 0;
    std::unique_ptr<unsigned char[]> color_;
    std::unique_ptr<unsigned char[]> gray_;
    std::unique_ptr<unsigned char[]> processed_;
    FrameProcessor* processor_ = nullptr;
    long long framesRun_ = 0;
};

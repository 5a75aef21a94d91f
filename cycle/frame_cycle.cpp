#include "cycle/frame_cycle.h"

#include "capture/capture_device.h"
#include "cycle/frame_processor.h"
#include "cycle/grey_conversion.h"

#include <new>

namespace {

// Zero-initialised: a fresh buffer shows black, never leftover memory.
std::unique_ptr<unsigned char[]> blackBuffer(std::size_t bytes) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[bytes]());
}

}  // namespace

FrameCycle::FrameCycle() = default;
FrameCycle::~FrameCycle() = default;

void FrameCycle::freeBuffers() {
    color_.reset();
    gray_.reset();
    processed_.reset();
    width_ = height_ = 0;
    pixelCount_ = 0;
}

bool FrameCycle::setFrameSize(int width, int height) {
    freeBuffers();
    if (width <= 0 || height <= 0) return true;
    const std::size_t count = std::size_t(width) * std::size_t(height);
    color_ = blackBuffer(3 * count);
    gray_ = blackBuffer(count);
    processed_ = blackBuffer(count);
    if (!color_ || !gray_ || !processed_) {
        freeBuffers();
        return false;
    }
    width_ = width;
    height_ = height;
    pixelCount_ = count;
    if (processor_) processor_->setImageSize(width_, height_);
    return true;
}

void FrameCycle::setProcessor(FrameProcessor* processor) {
    processor_ = processor;
    if (processor_ && hasBuffers()) processor_->setImageSize(width_, height_);
}

FrameCycle::Fetch FrameCycle::takeFrame(CaptureDevice* device, int timeoutMs) {
    int width = 0;
    int height = 0;
    getImageSize(device, width, height);
    if (width != width_ || height != height_) return Fetch::SizeChanged;
    if (!hasBuffers() || !fetchFrame(device, color_.get(), colorBufferBytes(), FrameLayout::PackedRGB, timeoutMs))
        return Fetch::NoFrame;
    runColorFrame();
    return Fetch::NewFrame;
}

void FrameCycle::runColorFrame() {
    if (!hasBuffers()) return;
    convertToGrey(color_.get(), gray_.get(), pixelCount_);
    ++framesRun_;
    rerun();
}

void FrameCycle::rerun() {
    if (!hasBuffers() || !processor_) return;
    processor_->setColourFrame(color_.get());
    processor_->process(gray_.get(), processed_.get());
}

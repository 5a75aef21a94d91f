#include "capture/frame_mailbox.h"

#include <algorithm>
#include <cstring>

void AutoResetEvent::signal() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        signalled_ = true;
    }
    changed_.notify_one();
}

bool AutoResetEvent::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!changed_.wait_for(guard, timeout, [this] { return signalled_; }))
        return false;
    signalled_ = false;
    return true;
}

void imTrackingGrabberCB::resize(int width, int height) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!acceptsSize(width, height)) {
        width_ = height_ = 0;
    } else {
        width_ = width;
        height_ = height;
    }
    const std::size_t needed = frameBytesLocked();
    if (needed > store_.size())
        store_.resize(needed, 0);  // value-initialised: a never-filled store reads as black
    newFrame_ = false;
}

int imTrackingGrabberCB::width() const {
    std::lock_guard<std::mutex> guard(lock_);
    return width_;
}

int imTrackingGrabberCB::height() const {
    std::lock_guard<std::mutex> guard(lock_);
    return height_;
}

bool imTrackingGrabberCB::hasStore() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !store_.empty();
}

std::size_t imTrackingGrabberCB::frameBytesLocked() const {
    return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 3;
}

bool imTrackingGrabberCB::SampleCB(const std::uint8_t* sample, std::size_t length) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        const std::size_t frameBytes = frameBytesLocked();
        // A short sample would leave the tail of an older frame in the store.
        if (sample == nullptr || frameBytes == 0 || length != frameBytes)
            return false;
        std::memcpy(store_.data(), sample, frameBytes);
        newFrame_ = true;
    }
    frameStored();
    return true;
}

bool imTrackingGrabberCB::depositTopDown(const std::uint8_t* topRow, std::size_t stride,
                                         int width, int height) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (topRow == nullptr || width != width_ || height != height_ || frameBytesLocked() == 0)
            return false;
        const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
        if (stride < rowBytes)
            return false;
        for (int row = 0; row < height; ++row) {
            const std::uint8_t* source = topRow + static_cast<std::size_t>(row) * stride;
            std::uint8_t* target = store_.data() + static_cast<std::size_t>(height - 1 - row) * rowBytes;
            std::memcpy(target, source, rowBytes);
        }
        newFrame_ = true;
    }
    frameStored();
    return true;
}

void imTrackingGrabberCB::frameStored() {
    frameReady_.signal();
    if (notificationPending_.exchange(true))
        return;
    std::lock_guard<std::mutex> guard(notifierLock_);
    if (notifier_)
        notifier_();
}

void imTrackingGrabberCB::setFrameReadyNotifier(std::function<void()> notify) {
    std::lock_guard<std::mutex> guard(notifierLock_);
    notifier_ = std::move(notify);
    notificationPending_ = false;
}

bool imTrackingGrabberCB::fetch(std::uint8_t* destination, std::size_t destinationBytes, FrameLayout layout,
                                int timeoutMs) {
    // Cleared before the lock is tried: a frame stored while this fetch fails
    // to get the lock notifies again, so no frame is left unannounced.
    notificationPending_ = false;
    if (destination == nullptr)
        return false;
    if (timeoutMs != 0 && !frameReady_.wait(std::chrono::milliseconds(std::max(timeoutMs, 0))))
        return false;
    std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
    if (!guard.owns_lock() || !newFrame_ || destinationBytes != frameBytesLocked())
        return false;
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    const std::uint8_t* source = store_.data();
    if (layout == FrameLayout::PackedBGR) {
        std::memcpy(destination, source, pixels * 3);
    } else {
        for (std::size_t i = 0; i < pixels; ++i, source += 3, destination += 3) {
            destination[0] = source[2];
            destination[1] = source[1];
            destination[2] = source[0];
        }
    }
    newFrame_ = false;
    return true;
}

void imTrackingGrabberCB::discardPending() {
    std::lock_guard<std::mutex> guard(lock_);
    newFrame_ = false;
}

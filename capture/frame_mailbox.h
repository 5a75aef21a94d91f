#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <atomic>
#include <mutex>
#include <vector>

// How fetchFrame lays a frame out in the caller's buffer: three bytes per pixel,
// no padding, rows bottom-up (buffer row 0 is the bottom of the picture).
enum class FrameLayout {
    PackedRGB,  // R, G, B per pixel: what the main window uses
    PackedBGR,  // B, G, R per pixel: the store's own order
};

// An event that lets one waiter through per signal and then closes again.
// Signalling an already signalled event changes nothing.
class AutoResetEvent {
public:
    explicit AutoResetEvent(bool signalled) : signalled_(signalled) {}

    void signal();

    // True when the event was (or became) signalled within `timeout`; the event
    // is closed again for the next waiter. A zero timeout only looks.
    bool wait(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

// The one-frame mailbox between a capture thread and the GUI thread.
//
// The store holds the newest frame as 24-bit colour, per pixel B, G, R, rows
// bottom-up, no padding. The capture thread always waits for the lock (it never
// loses a frame to contention) and overwrites a frame nobody fetched yet; the GUI
// thread only tries the lock, so it never waits for the capture thread.
class imTrackingGrabberCB {
public:
    // The largest frame accepted, in pixels per side; anything larger is refused
    // so that size arithmetic can never overflow.
    static constexpr int kMaxSide = 8192;

    // Whether frames of width x height can be stored at all.
    static constexpr bool acceptsSize(int width, int height) {
        return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide;
    }

    imTrackingGrabberCB() = default;
    imTrackingGrabberCB(const imTrackingGrabberCB&) = delete;
    imTrackingGrabberCB& operator=(const imTrackingGrabberCB&) = delete;

    // Any thread. From now on frames of width x height are accepted. The store
    // grows when needed (zero-filled when first made) and never shrinks. A size
    // with a side <= 0 or > kMaxSide accepts no frames. Clears a pending frame,
    // since it has the old size.
    void resize(int width, int height);

    int width() const;
    int height() const;
    bool hasStore() const;

    // Capture thread. Stores one frame of exactly width x height x 3 bytes,
    // B, G, R, rows bottom-up, then signals the frame-ready event. Returns false
    // (and drops the frame) when there is no store yet or the length is not one
    // whole frame.
    bool SampleCB(const std::uint8_t* sample, std::size_t length);

    // Capture thread. Like SampleCB for a frame whose first row is the top of the
    // picture, with `stride` bytes from one row to the next (>= width x 3); the
    // rows are flipped while copying, so this is still the only copy.
    bool depositTopDown(const std::uint8_t* topRow, std::size_t stride, int width, int height);

    // GUI thread. Waits up to timeoutMs for the frame-ready event (0: no wait),
    // then tries the lock once. Copies the newest frame into `destination`
    // (`destinationBytes` long, which must be exactly width x height x 3 in
    // `layout`) and returns true only when a frame arrived since the last
    // successful fetch; otherwise the destination is not touched. A destination
    // of another size is refused and the frame stays pending, so a frame size
    // change can never write past a caller's buffer.
    bool fetch(std::uint8_t* destination, std::size_t destinationBytes, FrameLayout layout, int timeoutMs);

    // Any thread. `notify` runs on the capture thread right after a frame is
    // stored, at most once until the next fetch attempt: however many frames
    // arrive meanwhile, the GUI hears of them once (newest wins). It must not
    // block; posting a queued call is what it is for. Empty: no notification.
    void setFrameReadyNotifier(std::function<void()> notify);

    // Forgets a pending frame (after stopping, so a restart shows no stale frame).
    void discardPending();

private:
    friend struct MailboxTestPeer;

    std::size_t frameBytesLocked() const;
    void frameStored();

    mutable std::mutex lock_;
    int width_ = 0;
    int height_ = 0;
    bool newFrame_ = false;
    std::vector<std::uint8_t> store_;
    AutoResetEvent frameReady_{true};
    // Set when the notifier has run and no fetch has been tried since.
    std::atomic<bool> notificationPending_{false};
    std::mutex notifierLock_;
    std::function<void()> notifier_;
};

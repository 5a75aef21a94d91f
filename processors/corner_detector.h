#pragma once

#include "features/corner_point.h"

#include <memory>

// The interface through which the trackers find and follow image points. Run once
// per frame on an 8-bit grey image; the result stays in a corner list of fixed
// capacity whose address never changes for the detector's lifetime.
// GUI thread only.
class CornerDetector {
public:
    explicit CornerDetector(int capacity)
        : cornerList_(std::make_unique<CornerPoint[]>(capacity > 0 ? capacity : 0)),
          capacity_(capacity > 0 ? capacity : 0) {}
    virtual ~CornerDetector() = default;

    CornerDetector(const CornerDetector&) = delete;
    CornerDetector& operator=(const CornerDetector&) = delete;

    // Replaces the corner list up to the new count; entries beyond the count are stale.
    // `image` is width x height bytes, row length = width.
    virtual void detect(const unsigned char* image, int width, int height) = 0;
    virtual void setThreshold(int threshold) { threshold_ = threshold; }
    virtual int threshold() const { return threshold_; }
    virtual int cornerCount() const { return cornerCount_; }
    virtual const CornerPoint* corners() const { return cornerList_.get(); }
    // The next frame does not continue the previous ones.
    virtual void reset() = 0;
    // True when list entry i denotes the same physical feature in consecutive frames.
    virtual bool isTracker() const = 0;

    int capacity() const { return capacity_; }

protected:
    CornerPoint* mutableCorners() { return cornerList_.get(); }
    void setCornerCount(int count) { cornerCount_ = count; }

private:
    int cornerCount_ = 0;
    std::unique_ptr<CornerPoint[]> cornerList_;  // zero-filled by make_unique
    int threshold_ = 25;
    int capacity_;
};

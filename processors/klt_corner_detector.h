#pragma once

#include "processors/corner_detector.h"

struct KLTTrackingContext;
struct KLTFeatureList;

// Selects good features on the first frame and after each reset(), and follows the
// same features from frame to frame otherwise, so list entry i is one physical
// feature until the next selection. Lost features and entries selection could not
// fill stay in the list at (-1, -1).
//
// The tracking context and feature list are module-level and shared by every KLT
// detector: each construction makes a new pair current for all of them (the
// previous pair is released, since nobody uses it any more), and the pair lives
// while at least one KLT detector exists. A detector that finds no usable previous
// frame in the current context (a new pair, or a frame of another size) selects
// anew instead of tracking.
//
// The inherited threshold has no effect. GUI thread only.
class KLTCornerDetector : public CornerDetector {
public:
    explicit KLTCornerDetector(int capacity);
    ~KLTCornerDetector() override;

    // `image` is width x height bytes, rows one after another.
    void detect(const unsigned char* image, int width, int height) override;
    void reset() override { selectNext_ = true; }
    bool isTracker() const override { return true; }

    bool selectNext() const { return selectNext_; }

    // Whether each new detector prints its tracking context on standard error
    // (on by default; the command line turns it off unless asked to be verbose).
    static void setPrintsContext(bool prints);

    // The current shared pair; null when no KLT detector exists.
    static KLTTrackingContext* currentContext();
    static KLTFeatureList* currentFeatureList();

private:
    bool selectNext_ = true;
};

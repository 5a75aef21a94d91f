// Once a tracker has seen a few frames of one size, a frame allocates nothing:
// heap allocations on this thread are counted over 100 process() calls.

#include "tests/support/allocation_counter.h"

#if CASTELLAN_COUNT_ALLOCATIONS

#include "processors/fast_tracker_processor.h"
#include "processors/klt_tracker_processor.h"
#include "tests/support/textured_picture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kWarmUpFrames = 4;
constexpr int kCountedFrames = 100;

// Two frames of a slowly moving texture, alternated as a live camera would deliver them.
struct Frames {
    std::vector<unsigned char> a = castellan_test::texturedPicture(kWidth, kHeight, 21);
    std::vector<unsigned char> b = castellan_test::texturedPicture(kWidth, kHeight, 21, 3, -2);
    std::vector<unsigned char> output = std::vector<unsigned char>(a.size());
    const unsigned char* frame(int i) const { return i % 2 ? b.data() : a.data(); }
};

template <class P>
long allocationsInSteadyState(P& processor, Frames& frames) {
    processor.setImageSize(kWidth, kHeight);
    for (int i = 0; i < kWarmUpFrames; ++i) processor.process(frames.frame(i), frames.output.data());
    castellan_test::ScopedAllocationCount counter;
    for (int i = 0; i < kCountedFrames; ++i) {
        processor.setImageSize(kWidth, kHeight);  // the main window repeats it; nothing changes
        processor.process(frames.frame(i), frames.output.data());
    }
    return counter.count();
}

TEST(SteadyStateAllocations, FastTrackerAllocatesNothing) {
    Frames frames;
    FASTTrackerProcessor processor;
    EXPECT_EQ(allocationsInSteadyState(processor, frames), 0);
    EXPECT_GT(processor.detector().cornerCount(), 0) << "the detector ran on textured frames";
}

TEST(SteadyStateAllocations, FastTrackerWithCannyAllocatesNothing) {
    Frames frames;
    FASTTrackerProcessor processor;
    processor.setCannyEnabled(true);
    EXPECT_EQ(allocationsInSteadyState(processor, frames), 0);
    EXPECT_GT(processor.detector().cornerCount(), 0);
}

TEST(SteadyStateAllocations, KltTrackerAllocatesNothing) {
    Frames frames;
    KLTTrackerProcessor processor;
    EXPECT_EQ(allocationsInSteadyState(processor, frames), 0);
    int live = 0;
    for (int i = 0; i < processor.detector().cornerCount(); ++i) live += processor.detector().corners()[i].x >= 0;
    EXPECT_GT(live, 50) << "the features were followed, not lost";
}

}  // namespace

#endif

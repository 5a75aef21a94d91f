#pragma once

// What every source on the shared paced thread owes its caller around start
// and stop. A source's tests instantiate it once per test program:
//   INSTANTIATE_TEST_SUITE_P(Camera, PacedSourceContract,
//                            ::testing::Values(PacedSourceCase{"Camera", open}), pacedSourceCaseName);

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_source.h"
#include "capture/frame_mailbox.h"

struct PacedSourceCase {
    std::string name;
    std::function<std::unique_ptr<CaptureSource>()> open;
};

inline std::string pacedSourceCaseName(const ::testing::TestParamInfo<PacedSourceCase>& info) {
    return info.param.name;
}

class PacedSourceContract : public ::testing::TestWithParam<PacedSourceCase> {};

// Stops land before the first frame, while one is being made, while one is
// handed over and while the thread waits: none may leave a frame behind or a
// source that no longer starts.
TEST_P(PacedSourceContract, NothingArrivesAfterStopAndAStartStopStormLeavesASourceThatStillDelivers) {
    std::unique_ptr<CaptureSource> source = GetParam().open();
    ASSERT_NE(source, nullptr);
    int width = 0, height = 0;
    source->frameSize(width, height);
    imTrackingGrabberCB mailbox;
    mailbox.resize(width, height);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);

    for (int round = 0; round < 40; ++round) {
        ASSERT_TRUE(source->start(mailbox));
        EXPECT_TRUE(source->start(mailbox)) << "a second start while running is harmless";
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 8 * 5));
        source->stop();
        mailbox.discardPending();
    }
    source->stop();  // harmless when stopped
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 0)) << "a frame after stop";

    ASSERT_TRUE(source->start(mailbox));
    // A wake-up left by a discarded frame may end the first wait early.
    bool delivered = false;
    for (int attempt = 0; attempt < 3 && !delivered; ++attempt)
        delivered = mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000);
    EXPECT_TRUE(delivered);
    source->stop();
    EXPECT_EQ(source->streamError(), "");
}

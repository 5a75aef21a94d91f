#include "capture/paced_source_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "capture/test_camera.h"
#include "capture/video_file_source.h"
#include "paced_source_contract.h"

namespace {

TEST(PacedSourceThread, AStopWhileAFrameIsBeingMadeHandsThatFrameNoLongerOver) {
    PacedSourceThread thread;
    std::atomic<bool> making{false};
    std::atomic<int> handedOver{0};
    thread.start(
        [&](std::int64_t index) -> std::optional<PacedSourceThread::Duration> {
            if (index == 1) {
                making = true;
                // A long step, like a blocking read, that gives up on a stop.
                while (!thread.stopRequested())
                    std::this_thread::yield();
            }
            return PacedSourceThread::Duration::zero();
        },
        [&](std::int64_t) { ++handedOver; });
    while (!making)
        std::this_thread::yield();
    thread.stop();
    EXPECT_EQ(handedOver, 1);
    EXPECT_FALSE(thread.running());
    EXPECT_FALSE(thread.stopRequested()) << "a later start begins unstopped";
}

TEST(PacedSourceThread, AStreamThatCannotGoOnEndsAndStartsAgainFromFrameZero) {
    PacedSourceThread thread;
    std::atomic<int> firstOfSecondRun{-1};
    std::atomic<bool> ended{false};
    thread.start([&](std::int64_t) -> std::optional<PacedSourceThread::Duration> {
        ended = true;
        return std::nullopt;
    }, [](std::int64_t) {});
    while (!ended || thread.running())
        std::this_thread::yield();
    thread.start(PacedSourceThread::steadyPace(1000), [&](std::int64_t index) {
        int unset = -1;
        firstOfSecondRun.compare_exchange_strong(unset, static_cast<int>(index));
    });
    while (firstOfSecondRun < 0)
        std::this_thread::yield();
    thread.stop();
    EXPECT_EQ(firstOfSecondRun, 0);
}

std::unique_ptr<CaptureSource> openSmallVideo() {
    std::string error;
    return VideoFileSource::open(CASTELLAN_SOURCE_DIR "/tests/fuzz/corpus/video_file/mjpeg.avi", error);
}

INSTANTIATE_TEST_SUITE_P(CaptureSources, PacedSourceContract,
                         ::testing::Values(PacedSourceCase{"TestCamera",
                                                           [] { return std::make_unique<TestCameraSource>(); }},
                                           PacedSourceCase{"VideoFile", openSmallVideo}),
                         pacedSourceCaseName);

}  // namespace

#include "capture/frame_mailbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <algorithm>
#include <vector>

// Reaches the mailbox's lock, to play a capture thread caught in the middle of
// storing a frame.
struct MailboxTestPeer {
    static std::mutex& lock(imTrackingGrabberCB& mailbox) { return mailbox.lock_; }
    static std::size_t storeBytes(imTrackingGrabberCB& mailbox) { return mailbox.store_.size(); }
};

namespace {

using Clock = std::chrono::steady_clock;

// A width x height B, G, R frame whose every pixel holds the same three bytes.
std::vector<std::uint8_t> uniformFrame(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
    }
    return frame;
}

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Swallows the event's initial signal, so that the next fetch really waits.
void consumeInitialSignal(imTrackingGrabberCB& mailbox) {
    std::uint8_t scratch[3];
    mailbox.fetch(scratch, sizeof scratch, FrameLayout::PackedRGB, 1);
}

TEST(FrameMailbox, FetchGetsTheNewestOfTwoFramesInRgbOrder) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(4, 2);
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(4, 2, 1, 2, 3).data(), 24));
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(4, 2, 10, 20, 30).data(), 24));

    std::vector<std::uint8_t> rgb(24, 0);
    ASSERT_TRUE(mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000));
    EXPECT_EQ(rgb, uniformFrame(4, 2, 30, 20, 10));  // R, G, B: blue and red swapped
    // The frame was taken: nothing new until the next one arrives.
    EXPECT_FALSE(mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 0));

    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(4, 2, 7, 8, 9).data(), 24));
    std::vector<std::uint8_t> bgr(24, 0);
    ASSERT_TRUE(mailbox.fetch(bgr.data(), bgr.size(), FrameLayout::PackedBGR, 0));
    EXPECT_EQ(bgr, uniformFrame(4, 2, 7, 8, 9));
}

TEST(FrameMailbox, TimedOutFetchWaitsAboutASecondAndLeavesDestinationUntouched) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(8, 8);
    // The frame-ready event starts signalled: the first fetch does not wait, and
    // finds no frame.
    std::vector<std::uint8_t> destination(8 * 8 * 3, 0xAB);
    auto start = Clock::now();
    EXPECT_FALSE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 1000));
    EXPECT_LT(millisecondsSince(start), 500);

    start = Clock::now();
    EXPECT_FALSE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 1000));
    const long long waited = millisecondsSince(start);
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 5000);
    EXPECT_EQ(destination, std::vector<std::uint8_t>(8 * 8 * 3, 0xAB));
}

TEST(FrameMailbox, WaitingFetchWakesWhenAFrameArrives) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(2, 2);
    consumeInitialSignal(mailbox);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        mailbox.SampleCB(uniformFrame(2, 2, 5, 5, 5).data(), 12);
    });
    std::vector<std::uint8_t> destination(12, 0);
    const auto start = Clock::now();
    EXPECT_TRUE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 5000));
    EXPECT_LT(millisecondsSince(start), 4000);
    producer.join();
    EXPECT_EQ(destination, uniformFrame(2, 2, 5, 5, 5));
}

TEST(FrameMailbox, FetchNeverWaitsForTheLock) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(2, 2);
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(2, 2, 1, 1, 1).data(), 12));
    std::vector<std::uint8_t> destination(12, 0xCD);
    {
        // The capture thread is inside its copy.
        std::lock_guard<std::mutex> held(MailboxTestPeer::lock(mailbox));
        const auto start = Clock::now();
        EXPECT_FALSE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 1000));
        EXPECT_LT(millisecondsSince(start), 500);
    }
    EXPECT_EQ(destination, std::vector<std::uint8_t>(12, 0xCD));
    // The frame is still there for the next tick.
    EXPECT_TRUE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 0));
    EXPECT_EQ(destination, uniformFrame(2, 2, 1, 1, 1));
}

TEST(FrameMailbox, FramesThatDoNotFitAreDropped) {
    imTrackingGrabberCB mailbox;
    // No store yet: nothing is accepted.
    EXPECT_FALSE(mailbox.hasStore());
    EXPECT_FALSE(mailbox.SampleCB(uniformFrame(1, 1, 1, 1, 1).data(), 3));

    mailbox.resize(4, 2);
    EXPECT_TRUE(mailbox.hasStore());
    const std::vector<std::uint8_t> oversized(4 * 2 * 3 + 3, 0x11);
    EXPECT_FALSE(mailbox.SampleCB(oversized.data(), oversized.size()));
    // A short frame would leave part of an older one behind.
    EXPECT_FALSE(mailbox.SampleCB(oversized.data(), 4 * 2 * 3 - 3));
    EXPECT_FALSE(mailbox.SampleCB(nullptr, 24));
    std::vector<std::uint8_t> destination(24, 0x77);
    EXPECT_FALSE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 0));
    EXPECT_EQ(destination, std::vector<std::uint8_t>(24, 0x77));
}

TEST(FrameMailbox, StoreGrowsNeverShrinksAndStartsBlack) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(16, 16);
    EXPECT_EQ(MailboxTestPeer::storeBytes(mailbox), 16u * 16 * 3);
    mailbox.resize(4, 4);
    EXPECT_EQ(MailboxTestPeer::storeBytes(mailbox), 16u * 16 * 3);
    EXPECT_EQ(mailbox.width(), 4);
    EXPECT_EQ(mailbox.height(), 4);
    // Frames of the new, smaller size go through whole.
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(4, 4, 9, 8, 7).data(), 48));
    std::vector<std::uint8_t> destination(48, 0);
    ASSERT_TRUE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedBGR, 0));
    EXPECT_EQ(destination, uniformFrame(4, 4, 9, 8, 7));
    // A resize forgets a pending frame of the old size.
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(4, 4, 1, 2, 3).data(), 48));
    mailbox.resize(2, 2);
    EXPECT_FALSE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedBGR, 0));
}

TEST(FrameMailbox, UnusableSizesAcceptNoFrames) {
    imTrackingGrabberCB mailbox;
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, -3}, {imTrackingGrabberCB::kMaxSide + 1, 1},
                        {1 << 30, 1 << 30}}) {
        mailbox.resize(w, h);
        EXPECT_EQ(mailbox.width(), 0);
        EXPECT_EQ(mailbox.height(), 0);
        const std::uint8_t pixel[3] = {1, 2, 3};
        EXPECT_FALSE(mailbox.SampleCB(pixel, 0));
        EXPECT_FALSE(mailbox.SampleCB(pixel, 3));
    }
    EXPECT_EQ(MailboxTestPeer::storeBytes(mailbox), 0u);
}

TEST(FrameMailbox, TopDownFramesAreStoredBottomUp) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(2, 3);
    // Picture rows 0 (top) .. 2 (bottom), each row's pixels carry the row number;
    // rows are 8 bytes apart (2 bytes of padding).
    std::vector<std::uint8_t> topDown(3 * 8, 0xEE);
    for (int row = 0; row < 3; ++row)
        for (int i = 0; i < 6; ++i)
            topDown[row * 8 + i] = static_cast<std::uint8_t>(row);
    EXPECT_FALSE(mailbox.depositTopDown(topDown.data(), 5, 2, 3));  // stride shorter than a row
    EXPECT_FALSE(mailbox.depositTopDown(topDown.data(), 8, 3, 3));  // not the mailbox's size
    ASSERT_TRUE(mailbox.depositTopDown(topDown.data(), 8, 2, 3));
    std::vector<std::uint8_t> destination(18, 0);
    ASSERT_TRUE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedBGR, 0));
    const std::vector<std::uint8_t> bottomUp = {2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(destination, bottomUp);
}

// A caller whose buffer has another size (the device changed its size since)
// gets nothing written, and the frame waits for a buffer that fits.
TEST(FrameMailbox, DestinationOfAnotherSizeIsRefusedAndTheFrameKept) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(4, 2);
    const std::vector<std::uint8_t> frame(4 * 2 * 3, 7);
    ASSERT_TRUE(mailbox.SampleCB(frame.data(), frame.size()));
    for (const std::size_t bytes : {std::size_t(0), frame.size() - 1, frame.size() + 3}) {
        std::vector<std::uint8_t> other(bytes + 1, 0xAB);
        EXPECT_FALSE(mailbox.fetch(other.data(), bytes, FrameLayout::PackedRGB, 0)) << bytes;
        EXPECT_EQ(std::count(other.begin(), other.end(), 0xAB), std::ptrdiff_t(other.size())) << bytes;
    }
    std::vector<std::uint8_t> fits(frame.size());
    EXPECT_TRUE(mailbox.fetch(fits.data(), fits.size(), FrameLayout::PackedRGB, 0));
    EXPECT_EQ(fits, frame);
}

// However many frames arrive before the GUI looks, it hears of them once; the
// next frame after a fetch is announced again.
TEST(FrameMailbox, ReadyFramesAreAnnouncedOncePerFetch) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(2, 2);
    int announced = 0;
    mailbox.setFrameReadyNotifier([&] { ++announced; });
    const std::vector<std::uint8_t> frame(2 * 2 * 3, 1);
    for (int i = 0; i < 5; ++i) mailbox.SampleCB(frame.data(), frame.size());
    EXPECT_EQ(announced, 1);
    std::vector<std::uint8_t> destination(frame.size());
    EXPECT_TRUE(mailbox.fetch(destination.data(), destination.size(), FrameLayout::PackedRGB, 0));
    mailbox.SampleCB(frame.data(), frame.size());
    EXPECT_EQ(announced, 2);
    mailbox.setFrameReadyNotifier(nullptr);
    mailbox.SampleCB(frame.data(), frame.size());
    EXPECT_EQ(announced, 2);
}

TEST(FrameMailbox, NullDestinationIsRefused) {
    imTrackingGrabberCB mailbox;
    mailbox.resize(1, 1);
    ASSERT_TRUE(mailbox.SampleCB(uniformFrame(1, 1, 1, 1, 1).data(), 3));
    EXPECT_FALSE(mailbox.fetch(nullptr, 3, FrameLayout::PackedRGB, 0));
    std::uint8_t pixel[3] = {};
    EXPECT_TRUE(mailbox.fetch(pixel, sizeof pixel, FrameLayout::PackedRGB, 0));
}

// Each frame carries its sequence number in every pixel (B = low byte, G = middle,
// R = high). A 1 kHz producer against a waiting consumer: the producer never
// loses a frame to the lock, the consumer only ever sees whole frames, each newer
// than the last, and the newest frame is never lost.
TEST(FrameMailbox, OneKilohertzProducerAgainstConsumer) {
    constexpr int kWidth = 64;
    constexpr int kHeight = 48;
    constexpr int kFrames = 1500;
    imTrackingGrabberCB mailbox;
    mailbox.resize(kWidth, kHeight);

    std::atomic<bool> producerDone{false};
    std::atomic<int> refused{0};
    std::thread producer([&] {
        std::vector<std::uint8_t> frame(kWidth * kHeight * 3);
        auto due = Clock::now();
        for (int sequence = 1; sequence <= kFrames; ++sequence) {
            for (std::size_t i = 0; i < frame.size(); i += 3) {
                frame[i] = static_cast<std::uint8_t>(sequence);
                frame[i + 1] = static_cast<std::uint8_t>(sequence >> 8);
                frame[i + 2] = static_cast<std::uint8_t>(sequence >> 16);
            }
            if (!mailbox.SampleCB(frame.data(), frame.size()))
                ++refused;
            due += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(due);
        }
        producerDone = true;
    });

    std::vector<std::uint8_t> rgb(kWidth * kHeight * 3);
    int lastSequence = 0;
    int fetched = 0;
    int torn = 0;
    int outOfOrder = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (lastSequence < kFrames && Clock::now() < deadline) {
        const bool done = producerDone;
        if (!mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000)) {
            // The last frame may be in flight; once the producer is done, only
            // lock contention can explain a failure, and that is over.
            if (done && !mailbox.fetch(rgb.data(), rgb.size(), FrameLayout::PackedRGB, 0))
                break;
            if (!done)
                continue;
        }
        const int sequence = rgb[2] | (rgb[1] << 8) | (rgb[0] << 16);
        for (std::size_t i = 0; i < rgb.size(); i += 3) {
            if ((rgb[i + 2] | (rgb[i + 1] << 8) | (rgb[i] << 16)) != sequence) {
                ++torn;
                break;
            }
        }
        if (sequence <= lastSequence)
            ++outOfOrder;
        lastSequence = sequence;
        ++fetched;
        // A consumer a little slower than the producer, as the GUI is.
        std::this_thread::sleep_for(std::chrono::microseconds(1500));
    }
    producer.join();

    EXPECT_EQ(refused, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(lastSequence, kFrames) << "the newest frame was lost";
    EXPECT_GT(fetched, 1);
}

TEST(AutoResetEvent, LetsOneWaiterThroughPerSignal) {
    AutoResetEvent event(true);
    EXPECT_TRUE(event.wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(event.wait(std::chrono::milliseconds(0)));
    event.signal();
    event.signal();  // signals do not add up
    EXPECT_TRUE(event.wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(event.wait(std::chrono::milliseconds(10)));
}

}  // namespace

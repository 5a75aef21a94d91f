// The KLT tracker processor: pass-through frames, its action and tool bar, and
// re-selection on demand.

#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QToolBar>

#include <vector>

#include "features/klt.h"
#include "processors/klt_tracker_processor.h"
#include "tests/features/klt_test_texture.h"

TEST(KLTTrackerProcessor, ActionAndNoPanel) {
    Q_INIT_RESOURCE(icons);
    QObject owner;
    auto* processor = new KLTTrackerProcessor(&owner);
    EXPECT_EQ(processor->parent(), &owner);
    QAction* action = processor->detectAction();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), "Detect Features");
    EXPECT_EQ(action->objectName(), "actionDetectFeatures");
    EXPECT_EQ(action->parent(), processor);
    EXPECT_FALSE(action->icon().isNull());
    EXPECT_TRUE(QFile::exists(":/icons/interpret.png"));
    EXPECT_EQ(processor->propertiesWidget(nullptr), nullptr);

    QToolBar toolBar;
    processor->installActions(&toolBar);
    ASSERT_EQ(toolBar.actions().size(), 1);
    EXPECT_EQ(toolBar.actions().first(), action);
}

TEST(KLTTrackerProcessor, PassesFramesThroughAndFollowsFeatures) {
    KLTTrackerProcessor processor;
    const int w = 320, h = 240;
    processor.setImageSize(w, h);
    EXPECT_EQ(processor.imageWidth(), w);
    const auto blobs = klt_test::makeBlobs(w, h, 12);
    const auto frame0 = klt_test::renderBlobs(blobs, w, h);
    std::vector<unsigned char> output(w * h, 0);
    processor.process(frame0.data(), output.data());
    EXPECT_EQ(output, frame0);
    EXPECT_EQ(processor.detector().cornerCount(), 78);
    std::vector<CornerPoint> selected(processor.detector().corners(),
                                      processor.detector().corners() + 78);

    const auto frame1 = klt_test::renderBlobs(blobs, w, h, 2.0f, 1.0f);
    processor.process(frame1.data(), output.data());
    EXPECT_EQ(output, frame1);
    int moved = 0;
    for (int i = 0; i < 78; ++i) {
        const CornerPoint& c = processor.detector().corners()[i];
        if (c.x < 0) continue;
        // Truncation of x + 2 +- 0.1: within one of the integer shift.
        EXPECT_NEAR(c.x, selected[i].x + 2, 1) << i;
        EXPECT_NEAR(c.y, selected[i].y + 1, 1) << i;
        ++moved;
    }
    EXPECT_GT(moved, 70);
}

TEST(KLTTrackerProcessor, DetectFeaturesReselectsAtTheNextFrame) {
    KLTTrackerProcessor processor;
    const int w = 320, h = 240;
    processor.setImageSize(w, h);
    const auto blobs = klt_test::makeBlobs(w, h, 13);
    const auto still = klt_test::renderBlobs(blobs, w, h);
    const auto moved = klt_test::renderBlobs(blobs, w, h, 0.0f, 4.0f);
    std::vector<unsigned char> output(w * h);
    processor.process(still.data(), output.data());
    const std::vector<CornerPoint> selected(processor.detector().corners(),
                                            processor.detector().corners() + 78);
    processor.process(moved.data(), output.data());  // features followed 4 rows up
    int followedCount = 0;
    for (int i = 0; i < 78; ++i) {
        const CornerPoint& c = processor.detector().corners()[i];
        if (c.x < 0) continue;
        ++followedCount;
        EXPECT_NEAR(c.x, selected[i].x, 1);
        EXPECT_NEAR(c.y, selected[i].y + 4, 1);
    }
    EXPECT_GT(followedCount, 60);
    const CornerPoint followed = processor.detector().corners()[0];

    processor.detectAction()->trigger();
    EXPECT_TRUE(processor.detector().selectNext());
    EXPECT_EQ(processor.detector().corners()[0].y, followed.y);  // nothing until processed
    processor.process(moved.data(), output.data());
    EXPECT_FALSE(processor.detector().selectNext());

    // The same as a first selection on the moved picture.
    KLTTrackerProcessor fresh;
    fresh.setImageSize(w, h);
    fresh.process(moved.data(), output.data());
    const CornerPoint reselected = fresh.detector().corners()[0];
    EXPECT_EQ(reselected.x, processor.detector().corners()[0].x);
    EXPECT_EQ(reselected.y, processor.detector().corners()[0].y);
}

TEST(KLTTrackerProcessor, NoFrameOrNoSizeDoesNothingHarmful) {
    KLTTrackerProcessor processor;
    std::vector<unsigned char> buffer(16, 7);
    processor.process(buffer.data(), buffer.data() + 8);  // size 0 x 0
    processor.process(nullptr, buffer.data());
    processor.setImageSize(-3, 5);
    EXPECT_EQ(processor.imageWidth(), 0);
    processor.setImageSize(4, 2);
    std::vector<unsigned char> out(8, 0);
    processor.process(buffer.data(), out.data());
    EXPECT_EQ(out, std::vector<unsigned char>(8, 7));
}

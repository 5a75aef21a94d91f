#include "processors/fast_tracker_processor.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QSpinBox>
#include <QElapsedTimer>
#include <QToolBar>
#include <QWindow>
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "canvas/canvas.h"
#include "processors/fast_tracker_properties_widget.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Bright blocks and a disc over a ramp with mild noise: corners and edges.
Bytes scene(int w, int h, unsigned seed = 1) {
    std::mt19937 rng(seed);
    Bytes image(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = 40 + x / 4 + static_cast<int>(rng() % 5);
            if ((x / 23 + y / 17) % 3 == 0) v += 120;
            if ((x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < 400) v = 250;
            image[y * w + x] = static_cast<unsigned char>(std::min(v, 255));
        }
    return image;
}

std::vector<std::pair<int, int>> cornersOf(const CornerDetector& detector) {
    std::vector<std::pair<int, int>> list;
    for (int i = 0; i < detector.cornerCount(); ++i)
        list.emplace_back(detector.corners()[i].x, detector.corners()[i].y);
    return list;
}

// The edge map the Canny path should produce, built from its parts.
Bytes expectedEdgeMap(const Bytes& input, int w, int h, float sigma, int lower, int upper) {
    ImageHandle source = createImage(w, h, kColorSpaceGrey, kImageByte);
    std::copy(input.begin(), input.end(), source->planes[0]);
    ImageHandle strength = createImage(w, h, kColorSpaceGrey, kImageByte);
    ImageHandle edges = createImage(w, h, kColorSpaceBinary, kImageByte);
    ImageHandle grey = createImage(w, h, kColorSpaceGrey, kImageByte);
    EXPECT_TRUE(cannyEdges(*source, *strength, sigma));
    EXPECT_TRUE(hysteresisThreshold(*strength, *edges, lower, upper));
    EXPECT_EQ(convertColorSpace(*edges, *grey), kImageOk);
    return Bytes(grey->planes[0], grey->planes[0] + grey->count);
}

// Bounded wait for the window system to show `widget`.
bool waitUntilExposed(QWidget& widget) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (widget.windowHandle() != nullptr && widget.windowHandle()->isExposed()) return true;
    }
    return false;
}

template <typename T>
T* child(QWidget* panel, const char* name) {
    T* widget = panel->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST(FASTTrackerProcessor, FreshProcessorDefaults) {
    FASTTrackerProcessor processor;
    EXPECT_FALSE(processor.cannyEnabled());
    EXPECT_EQ(processor.standardDeviation(), 1.0f);
    EXPECT_EQ(processor.lowerThreshold(), 30);
    EXPECT_EQ(processor.upperThreshold(), 60);
    EXPECT_EQ(processor.detector().threshold(), 25);
    EXPECT_EQ(processor.detector().capacity(), 100);
    ASSERT_TRUE(processor.edgeStrengthImage() && processor.edgeImage());
    EXPECT_EQ(processor.edgeStrengthImage()->width, 320);
    EXPECT_EQ(processor.edgeStrengthImage()->colorSpace, kColorSpaceGrey);
    EXPECT_EQ(processor.edgeImage()->height, 240);
    EXPECT_EQ(processor.edgeImage()->colorSpace, kColorSpaceBinary);

    QAction* action = processor.detectAction();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), "Detect Features");
    EXPECT_EQ(action->objectName(), "actionDetectFeatures");
    EXPECT_EQ(action->parent(), &processor);
    EXPECT_FALSE(action->icon().isNull());  // ":/icons/interpret.png"

    QToolBar toolBar;
    processor.installActions(&toolBar);
    ASSERT_EQ(toolBar.actions().size(), 1);
    EXPECT_EQ(toolBar.actions().front(), action);
}

TEST(FASTTrackerProcessor, SetImageSizeReshapesBothWorkImages) {
    FASTTrackerProcessor processor;
    processor.setImageSize(64, 48);
    EXPECT_EQ(processor.imageWidth(), 64);
    EXPECT_EQ(processor.edgeStrengthImage()->width, 64);
    EXPECT_EQ(processor.edgeStrengthImage()->height, 48);
    EXPECT_EQ(processor.edgeImage()->count, 64 * 48);
}

TEST(FASTTrackerProcessor, WithoutCannyOutputIsTheInputAndCornersComeFromIt) {
    const int w = 160, h = 120;
    const Bytes input = scene(w, h);
    Bytes output(input.size(), 7);
    FASTTrackerProcessor processor;
    processor.setImageSize(w, h);
    processor.process(input.data(), output.data());
    EXPECT_EQ(output, input);

    FASTCornerDetector reference(100);
    reference.detect(input.data(), w, h);
    EXPECT_GT(reference.cornerCount(), 0);
    EXPECT_EQ(cornersOf(processor.detector()), cornersOf(reference));
}

TEST(FASTTrackerProcessor, WithCannyOutputIsTheEdgeMapAndCornersComeFromIt) {
    const int w = 160, h = 120;
    const Bytes input = scene(w, h, 2);
    Bytes output(input.size(), 7);
    FASTTrackerProcessor processor;
    processor.setImageSize(w, h);
    processor.setCannyEnabled(true);
    processor.setStandardDeviation(1.5f);
    processor.process(input.data(), output.data());

    EXPECT_EQ(output, expectedEdgeMap(input, w, h, 1.5f, 30, 60));
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](auto v) { return v == 0 || v == 255; }));
    EXPECT_TRUE(std::any_of(output.begin(), output.end(), [](auto v) { return v == 255; }));
    FASTCornerDetector reference(100);
    reference.detect(output.data(), w, h);
    EXPECT_EQ(cornersOf(processor.detector()), cornersOf(reference));

    // Uniform frame: no edge, no corner.
    const Bytes uniform(input.size(), 99);
    processor.process(uniform.data(), output.data());
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](auto v) { return v == 0; }));
    EXPECT_EQ(processor.detector().cornerCount(), 0);
}

TEST(FASTTrackerProcessor, LowerAboveUpperIsUsedUnchanged) {
    const int w = 96, h = 64;
    const Bytes input = scene(w, h, 3);
    Bytes output(input.size());
    FASTTrackerProcessor processor;
    QWidget* panel = processor.propertiesWidget(nullptr);
    child<QCheckBox>(panel, "enableCannyCheckBox")->setChecked(true);
    child<QSpinBox>(panel, "lowerSpinBox")->setValue(200);
    child<QSpinBox>(panel, "upperSpinBox")->setValue(100);
    EXPECT_EQ(processor.lowerThreshold(), 200);
    EXPECT_EQ(processor.upperThreshold(), 100);
    processor.setImageSize(w, h);
    processor.process(input.data(), output.data());
    EXPECT_EQ(output, expectedEdgeMap(input, w, h, 1.0f, 200, 100));
}

TEST(FASTTrackerProcessor, ThresholdFromThePanelAppliesAtTheNextFrame) {
    const int w = 160, h = 120;
    const Bytes input = scene(w, h, 4);
    Bytes output(input.size());
    FASTTrackerProcessor processor;
    processor.setImageSize(w, h);
    processor.process(input.data(), output.data());
    const auto before = cornersOf(processor.detector());
    ASSERT_GT(before.size(), 0u);

    QWidget* panel = processor.propertiesWidget(nullptr);
    child<QSpinBox>(panel, "thresholdSpinBox")->setValue(200);
    EXPECT_EQ(processor.detector().threshold(), 200);
    EXPECT_EQ(cornersOf(processor.detector()), before);  // the overlay keeps its points
    processor.process(input.data(), output.data());
    EXPECT_LT(processor.detector().cornerCount(), static_cast<int>(before.size()));
}

TEST(FASTTrackerProcessor, DetectFeaturesChangesNothing) {
    const int w = 120, h = 90;
    const Bytes input = scene(w, h, 5);
    Bytes output(input.size());
    FASTTrackerProcessor processor;
    processor.setImageSize(w, h);
    processor.process(input.data(), output.data());
    const auto before = cornersOf(processor.detector());
    const Bytes outputBefore = output;
    processor.detectAction()->trigger();
    EXPECT_EQ(cornersOf(processor.detector()), before);
    EXPECT_EQ(output, outputBefore);
    EXPECT_FALSE(processor.cannyEnabled());
}

TEST(FASTTrackerProcessor, AnyFrameSizeIsSafe) {
    FASTTrackerProcessor processor;
    for (bool canny : {false, true}) {
        processor.setCannyEnabled(canny);
        for (int h = 0; h <= 8; ++h)
            for (int w = 0; w <= 8; ++w) {
                // Exactly w * h bytes: the sanitizer build reports any stray access.
                Bytes input(static_cast<std::size_t>(w) * h, 0), output(input.size(), 1);
                for (std::size_t i = 0; i < input.size(); i += 2) input[i] = 255;
                processor.setImageSize(w, h);
                processor.process(input.data(), output.data());
                EXPECT_EQ(processor.detector().cornerCount(), 0);
                if (!canny) {
                    EXPECT_EQ(output, input);
                }
            }
        processor.setImageSize(-4, 10);
        processor.process(nullptr, nullptr);
        EXPECT_EQ(processor.detector().cornerCount(), 0);
    }
    processor.setStandardDeviation(0.0f);
    processor.setImageSize(32, 24);
    const Bytes input = scene(32, 24);
    Bytes output(input.size(), 1);
    processor.process(input.data(), output.data());
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](auto v) { return v == 0; }));
}

TEST(FASTTrackerPropertiesWidget, FormMatchesItsDescription) {
    FASTTrackerProcessor processor;
    QWidget parent;
    QWidget* panel = processor.propertiesWidget(&parent);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(processor.propertiesWidget(&parent), panel);
    EXPECT_EQ(panel->parentWidget(), &parent);
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(panel->objectName(), "FASTTrackerPropertiesWidget");
    EXPECT_EQ(panel->windowTitle(), "FAST Tracker Properties");
    EXPECT_GE(panel->width(), 206);
    EXPECT_GE(panel->height(), 204);

    EXPECT_EQ(child<QGroupBox>(panel, "groupBox")->title(), "FAST Corner Detector");
    EXPECT_EQ(child<QGroupBox>(panel, "parametersGroupBox")->title(), "Canny");
    EXPECT_EQ(child<QLabel>(panel, "label")->text(), "Threshold");
    EXPECT_EQ(child<QLabel>(panel, "label_2")->text(), "Std Deviation");
    EXPECT_EQ(child<QLabel>(panel, "label_3")->text(), "Lower Threshold");
    EXPECT_EQ(child<QLabel>(panel, "label_4")->text(), "Upper Threshold");

    auto* threshold = child<QSpinBox>(panel, "thresholdSpinBox");
    EXPECT_EQ(threshold->minimum(), 1);
    EXPECT_EQ(threshold->maximum(), 200);
    EXPECT_EQ(threshold->singleStep(), 1);
    EXPECT_EQ(threshold->value(), 25);  // loaded from the detector, not the form's 20

    auto* canny = child<QCheckBox>(panel, "enableCannyCheckBox");
    EXPECT_EQ(canny->text(), "Preprocess with Canny");
    EXPECT_FALSE(canny->isChecked());

    auto* sigma = child<QDoubleSpinBox>(panel, "stdDeviationSpinBox");
    EXPECT_EQ(sigma->minimum(), 0.0);
    EXPECT_EQ(sigma->maximum(), 128.0);
    EXPECT_EQ(sigma->singleStep(), 1.0);
    EXPECT_EQ(sigma->decimals(), 2);
    EXPECT_EQ(sigma->value(), 1.0);
    for (const char* name : {"lowerSpinBox", "upperSpinBox"}) {
        auto* box = child<QSpinBox>(panel, name);
        EXPECT_EQ(box->minimum(), 0);
        EXPECT_EQ(box->maximum(), 255);
        EXPECT_EQ(box->singleStep(), 10);
    }
    EXPECT_EQ(child<QSpinBox>(panel, "lowerSpinBox")->value(), 30);
    EXPECT_EQ(child<QSpinBox>(panel, "upperSpinBox")->value(), 60);

    auto* grid = child<QGridLayout>(panel, "gridLayout");
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(canny), &row, &column, &rowSpan, &columnSpan);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(columnSpan, 2);
    grid->getItemPosition(grid->indexOf(sigma), &row, &column, &rowSpan, &columnSpan);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(column, 1);
}

TEST(FASTTrackerPropertiesWidget, EditsReachTheProcessorAndPanelIsKept) {
    FASTTrackerProcessor processor;
    processor.setLowerThreshold(90);
    processor.setStandardDeviation(3.25f);
    QWidget* panel = processor.propertiesWidget(nullptr);
    EXPECT_EQ(child<QSpinBox>(panel, "lowerSpinBox")->value(), 90);
    EXPECT_EQ(child<QDoubleSpinBox>(panel, "stdDeviationSpinBox")->value(), 3.25);

    child<QCheckBox>(panel, "enableCannyCheckBox")->setChecked(true);
    EXPECT_TRUE(processor.cannyEnabled());
    child<QDoubleSpinBox>(panel, "stdDeviationSpinBox")->setValue(2.5);
    EXPECT_EQ(processor.standardDeviation(), 2.5f);
    child<QSpinBox>(panel, "upperSpinBox")->setValue(120);
    EXPECT_EQ(processor.upperThreshold(), 120);

    // Asked again: the same panel, still showing what was set.
    EXPECT_EQ(processor.propertiesWidget(nullptr), panel);
    EXPECT_TRUE(child<QCheckBox>(panel, "enableCannyCheckBox")->isChecked());
    EXPECT_EQ(child<QSpinBox>(panel, "upperSpinBox")->value(), 120);
}

TEST(FASTTrackerPropertiesWidget, LifetimesOfPanelProcessorAndParentAreSound) {
    auto parent = std::make_unique<QWidget>();
    QPointer<QWidget> panel;
    {
        FASTTrackerProcessor processor;
        panel = processor.propertiesWidget(parent.get());
    }
    EXPECT_TRUE(panel.isNull());  // a panel never outlives its processor

    FASTTrackerProcessor processor;
    panel = processor.propertiesWidget(parent.get());
    parent.reset();  // the owning window goes first
    EXPECT_TRUE(panel.isNull());
    QWidget* fresh = processor.propertiesWidget(nullptr);
    EXPECT_NE(fresh, nullptr);
}

TEST(FASTTrackerProcessor, DrawsGreenPointsAtTheCornersOverACanvas) {
    const int w = 160, h = 120;
    const Bytes input = scene(w, h, 6);
    Bytes output(input.size());
    FASTTrackerProcessor processor;
    processor.setImageSize(w, h);
    processor.process(input.data(), output.data());
    ASSERT_GT(processor.detector().cornerCount(), 0);

    Canvas canvas;
    canvas.setCanvasId(1);
    canvas.setImage(w, h, GL_LUMINANCE, output.data());
    canvas.setOverlay(&processor);
    canvas.setFixedSize(w, h);
    canvas.show();
    ASSERT_TRUE(waitUntilExposed(canvas));
    canvas.updateGL();
    const QImage shot = canvas.grabFramebuffer().scaled(w, h);

    auto isGreen = [](QRgb p) { return qGreen(p) > 200 && qRed(p) < 60 && qBlue(p) < 60; };
    auto greenNear = [&](int x, int row) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int px = x + dx, py = row + dy;
                if (px >= 0 && px < w && py >= 0 && py < h && isGreen(shot.pixel(px, py)))
                    return true;
            }
        return false;
    };
    for (const auto& [x, y] : cornersOf(processor.detector()))
        EXPECT_TRUE(greenNear(x, h - 1 - y)) << "no point drawn at " << x << ", " << y;
    int green = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) green += isGreen(shot.pixel(x, y));
    EXPECT_LE(green, 9 * processor.detector().cornerCount());
}

}  // namespace

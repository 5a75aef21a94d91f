// The reconstructor as the main window drives it: its action and menu, the
// manual and automatic paths walked with Qt Test on real canvases, the panel,
// and what the overlays put on screen (read back from the framebuffer).

#include "ruins/ruins_reconstructor_processor.h"

#include "canvas/canvas.h"
#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "processors/proxy_processor.h"
#include "ruins/brick_renderer.h"
#include "ruins/ruins_reconstructor_properties_widget.h"
#include "cycle/grey_conversion.h"
#include "ruins_test_support.h"
#include "tests/support/ruins_tables.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <GL/gl.h>
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

using ruins_test::ScriptedDetector;
using ruins_test::WorkingDirectory;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr unsigned char kVideoGrey = 80;

// The initial points menu's entries, by their data.
constexpr int kFind = 0;
constexpr int kAutomatic = 1;
constexpr int kManual = 2;

QAction* entry(QMenu& menu, int data)
{
    for (QAction* a : menu.actions())
        if (a->data().toInt() == data) return a;
    return nullptr;
}

void saveScreenshot(const QImage& image, const char* name)
{
    const QByteArray dir = qgetenv("RUINS_SCREENSHOT_DIR");
    if (!dir.isEmpty()) image.save(QString::fromLocal8Bit(dir) + "/" + name);
}

// Both canvases of the main window at the frame's size, the left one drawing
// through the pass-through processor as in the program.
struct Scene {
    WorkingDirectory cwd;
    std::vector<unsigned char> grey = std::vector<unsigned char>(std::size_t(kWidth) * kHeight, kVideoGrey);
    std::vector<unsigned char> processed = std::vector<unsigned char>(std::size_t(kWidth) * kHeight, 0);
    Canvas left;
    Canvas right;
    std::optional<RuinsReconstructorProcessor> processor;
    std::optional<ProxyProcessor> proxy;
    ScriptedDetector scripted;

    explicit Scene(bool withCalibrationPicture = false, int width = kWidth, int height = kHeight)
    {
        if (withCalibrationPicture) writeCalibrationPicture();
        grey.assign(std::size_t(width) * height, kVideoGrey);
        processed.assign(grey.size(), 0);
        processor.emplace(&left);
        // Scripted corners over a flat frame: only the nearest-corner following
        // takes them as they are.
        processor->reconstruction().setFollowing(ruins::Following::Nearest);
        proxy.emplace(&right);
        right.setCanvasId(1);
        for (Canvas* c : {&left, &right}) {
            c->resize(kWidth, kHeight);
            c->show();
        }
        left.move(0, 0);
        right.move(kWidth + 20, 0);
        left.setImage(width, height, GL_LUMINANCE, grey.data());
        right.setImage(width, height, GL_LUMINANCE, processed.data());
        right.setOverlay(&*processor);
        left.setOverlay(&*proxy);
        processor->setImageSize(width, height);
        (void)QTest::qWaitForWindowExposed(&left);
        (void)QTest::qWaitForWindowExposed(&right);
    }

    // Top half red, bottom half blue: shows whether the guide is upright.
    static void writeCalibrationPicture()
    {
        QImage picture(kWidth, kHeight, QImage::Format_RGB32);
        picture.fill(QColor(200, 30, 30));
        for (int y = kHeight / 2; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) picture.setPixel(x, y, qRgb(30, 30, 200));
        picture.save("CalibrationFrame.png");
    }

    void choose(int data)
    {
        processor->setInitialPointsMenuChooser([data](QMenu& menu) { return entry(menu, data); });
    }
    void check(bool on) { processor->startInitialPointsSelectionAction()->setChecked(on); }
    void frame() { processor->process(grey.data(), processed.data()); }
    const ruins::TrackedPoints& tracked() const { return processor->reconstruction().trackedPoints(); }
    bool allRestarted() const
    {
        for (int i = 0; i < ruins::TrackedPoints::kCapacity; ++i)
            if (tracked().confidence[i] != 1.0f || !tracked().valid[i]) return false;
        return true;
    }
};

bool isRed(QRgb p) { return qRed(p) > 180 && qGreen(p) < 80 && qBlue(p) < 80; }

int countPixels(const QImage& image, QRect area, bool (*test)(QRgb))
{
    int n = 0;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += test(image.pixel(x, y));
    return n;
}

std::vector<CornerPoint> sceneCameraCorners()
{
    const ruins_test::PinholeCamera camera = ruins_test::sceneCamera();
    std::vector<CornerPoint> corners;
    for (int i = 0; i < ruins::kModelPointCount; ++i) {
        const auto uv = camera.project(ruins::modelPoint(i));
        corners.push_back({int(std::lround((*uv)[0] + kWidth / 2)), int(std::lround((*uv)[1] + kHeight / 2))});
    }
    return corners;
}

}  // namespace

TEST(RuinsReconstructorProcessor, ConstructionState)
{
    WorkingDirectory cwd;
    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    QAction* action = processor.startInitialPointsSelectionAction();
    EXPECT_EQ(action->text(), "Start/Stop Initial Points Selection");
    EXPECT_EQ(action->objectName(), "actionStartInitialPointsSelection");
    EXPECT_TRUE(action->isCheckable());
    EXPECT_FALSE(action->isChecked());
    ASSERT_EQ(processor.initialPointsMenu()->actions().size(), 3);
    EXPECT_EQ(processor.initialPointsMenu()->actions()[0]->text(), "Find Automatically");
    EXPECT_EQ(processor.initialPointsMenu()->actions()[0]->data().toInt(), kFind);
    EXPECT_EQ(processor.initialPointsMenu()->actions()[1]->text(), "Automatic Initial Points");
    EXPECT_EQ(processor.initialPointsMenu()->actions()[1]->data().toInt(), kAutomatic);
    EXPECT_EQ(processor.initialPointsMenu()->actions()[2]->text(), "Manual Initial Points");
    EXPECT_EQ(processor.initialPointsMenu()->actions()[2]->data().toInt(), kManual);
    ASSERT_NE(processor.detector(), nullptr);
    EXPECT_TRUE(processor.detector()->isTracker());
    EXPECT_EQ(processor.detector()->capacity(), 78);
    EXPECT_EQ(processor.reconstruction().trackedPoints().count, 39) << "chosen, it searches for the ruins";
    EXPECT_FALSE(processor.reconstruction().poseValid() || processor.reconstruction().hasPose() ||
                 processor.reconstruction().matchingMode() || processor.useKalman());
    EXPECT_TRUE(processor.calibrationFrame().isNull()) << "no CalibrationFrame.png here";
    EXPECT_EQ(processor.grabber().state(), 0);

    QWidget toolBar;
    processor.installActions(&toolBar);
    ASSERT_EQ(toolBar.actions().size(), 1);
    EXPECT_EQ(toolBar.actions()[0], action);
}

TEST(RuinsReconstructorProcessor, ManualPathWithMousePresses)
{
    Scene s;
    s.choose(kManual);
    s.check(true);
    EXPECT_EQ(s.processor->grabber().state(), 1);
    EXPECT_TRUE(s.allRestarted());

    s.frame();
    EXPECT_EQ(s.tracked().count, 0);
    EXPECT_FALSE(s.processor->reconstruction().poseValid());
    EXPECT_EQ(s.processed, s.grey) << "the processed image is the grey frame";

    const std::vector<CornerPoint> corners = sceneCameraCorners();
    for (int i = 0; i < 12; ++i)
        QTest::mousePress(&s.left, Qt::LeftButton, {}, QPoint(corners[i].x, kHeight - corners[i].y));
    QTest::mousePress(&s.left, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mousePress(&s.left, Qt::RightButton, {}, QPoint(5, 5));  // taken back
    EXPECT_EQ(s.processor->grabber().pointCount(), 12);
    const QImage labels = s.left.grabFramebuffer();
    EXPECT_GT(countPixels(labels, QRect(corners[0].x, kHeight - corners[0].y - 14, 12, 14), isRed), 0)
        << "label 0 sits at the first press";

    s.check(false);
    EXPECT_EQ(s.processor->grabber().state(), 2);
    EXPECT_TRUE(s.allRestarted());

    s.scripted.setCorners(corners);
    s.processor->setDetector(&s.scripted);
    s.frame();
    ASSERT_EQ(s.tracked().count, 12);
    EXPECT_EQ(s.tracked().positions[3].x, corners[3].x);
    EXPECT_EQ(s.tracked().positions[3].y, corners[3].y);
    EXPECT_EQ(s.scripted.detectCalls, 1);
    EXPECT_TRUE(s.processor->reconstruction().poseValid());

    // A later manual selection starts afresh: its clicks replace the points in use.
    s.check(true);
    EXPECT_EQ(s.tracked().count, 0);
    EXPECT_FALSE(s.processor->reconstruction().hasPose());
    QTest::mousePress(&s.left, Qt::LeftButton, {}, QPoint(7, 9));
    s.check(false);
    s.frame();
    ASSERT_EQ(s.tracked().count, 1);
    EXPECT_EQ(s.tracked().positions[0].x, 7);
    EXPECT_EQ(s.tracked().positions[0].y, kHeight - 9);
}

TEST(RuinsReconstructorProcessor, AutomaticPathThenFollowing)
{
    Scene s;
    s.choose(kAutomatic);
    s.check(true);
    const ruins::RuinsReconstruction& r = s.processor->reconstruction();
    EXPECT_TRUE(r.matchingMode());
    EXPECT_EQ(s.tracked().count, 39);
    EXPECT_EQ(s.tracked().positions[0].x, 41);
    EXPECT_EQ(s.tracked().positions[0].y, 105);
    EXPECT_EQ(s.processor->grabber().state(), 0);

    s.processor->setDetector(&s.scripted);
    s.frame();
    EXPECT_EQ(s.scripted.detectCalls, 0) << "aligning: copy only";

    s.left.updateGL();
    EXPECT_TRUE(r.poseValid()) << "pose from the reference positions";
    const QImage wireframe = s.left.grabFramebuffer();
    saveScreenshot(wireframe, "matching_wireframe.png");
    const int blue = countPixels(wireframe, wireframe.rect(), [](QRgb p) { return qBlue(p) > qRed(p) + 25; });
    EXPECT_GT(blue, 300) << "blue translucent wireframe over the grey frame";
    const ruins::PixelPosition text = RuinsReconstructorProcessor::matchingTextPosition(kWidth, kHeight);
    EXPECT_EQ(text, (ruins::PixelPosition{32, 216}));
    EXPECT_GT(countPixels(wireframe, QRect(32, 200, 200, 18), isRed), 30);
    EXPECT_EQ(countPixels(wireframe, QRect(0, 200, 30, 18), isRed), 0) << "the text starts at x = 32";
    const QImage rightInMatching = s.right.grabFramebuffer();
    EXPECT_EQ(countPixels(rightInMatching, rightInMatching.rect(), [](QRgb p) { return qBlue(p) != qRed(p); }), 0)
        << "the right canvas draws nothing while aligning";

    s.check(false);
    EXPECT_FALSE(r.matchingMode());
    EXPECT_TRUE(s.allRestarted());
    EXPECT_EQ(s.scripted.resetCalls, 1);
    std::vector<CornerPoint> references;
    for (int i = 0; i < 39; ++i) references.push_back(s.tracked().positions[i]);
    s.scripted.setCorners(references);
    s.frame();
    EXPECT_EQ(s.scripted.detectCalls, 1);
    EXPECT_TRUE(r.poseValid());
    const QImage augmented = s.right.grabFramebuffer();
    saveScreenshot(augmented, "augmented_reference_pose.png");
}

// An expose, a resize or a colour toggle repaints without a new frame: with the
// pose filter on, that must neither step the filter nor change the picture.
TEST(RuinsReconstructorProcessor, RepaintsOnlyRead)
{
    Scene s;
    s.processor->setDetector(&s.scripted);
    s.scripted.setCorners(sceneCameraCorners());
    s.choose(kAutomatic);
    s.check(true);
    s.frame();
    s.check(false);
    s.processor->setUseKalman(true);
    for (int i = 0; i < 3; ++i) s.frame();
    ASSERT_TRUE(s.processor->reconstruction().poseFilterCreated());
    s.right.updateGL();
    const QImage first = s.right.grabFramebuffer();
    const ruins::RuinsPoseState& pose = s.processor->reconstruction().poseState();
    const Vector3 eye = pose.poseEye;
    const double fieldOfView = pose.poseFieldOfView;
    for (int i = 0; i < 5; ++i) {
        s.left.updateGL();
        s.right.updateGL();
    }
    EXPECT_EQ(pose.poseEye.x, eye.x);
    EXPECT_EQ(pose.poseEye.z, eye.z);
    EXPECT_EQ(pose.poseFieldOfView, fieldOfView);
    EXPECT_EQ(s.right.grabFramebuffer(), first);
}

TEST(RuinsReconstructorProcessor, LostFollowingShowsTrackingLostAndNoBricks)
{
    Scene s;
    s.processor->reconstruction().setFollowing(ruins::Following::Model);
    s.choose(kAutomatic);
    s.check(true);
    s.frame();
    s.check(false);
    s.frame();  // a flat frame: not one corner to follow
    const ruins::RuinsReconstruction& r = s.processor->reconstruction();
    EXPECT_FALSE(r.poseValid());
    EXPECT_TRUE(r.trackingLost());
    s.right.updateGL();
    const QImage shot = s.right.grabFramebuffer();
    saveScreenshot(shot, "tracking_lost.png");
    const ruins::PixelPosition text = RuinsReconstructorProcessor::matchingTextPosition(kWidth, kHeight);
    EXPECT_GT(countPixels(shot, QRect(text.x, text.y - 16, 120, 18), isRed), 30) << "TRACKING LOST";
    const ruins::PixelPosition status = RuinsReconstructorProcessor::statusTextPosition(kWidth, kHeight);
    EXPECT_GT(countPixels(shot, QRect(status.x, status.y - 16, 200, 18), isRed), 30) << "the status line";
    EXPECT_EQ(countPixels(shot, shot.rect(), [](QRgb p) { return qRed(p) > 150 && qGreen(p) > 150 && qBlue(p) < 80; }),
              0)
        << "no yellow bricks";
}

// "Find Automatically" on the reference view: "SEARCHING" on the right view and
// no bricks, then, without any help, the bricks.
TEST(RuinsReconstructorProcessor, FindAutomaticallySearchesThenShowsTheBricks)
{
    Scene s;
    s.processor->reconstruction().setFollowing(ruins::Following::Model);
    s.choose(kFind);
    s.check(true);
    EXPECT_FALSE(s.processor->startInitialPointsSelectionAction()->isChecked()) << "nothing to select";
    const auto scene = ruins::bundledRuinsScene();
    const auto camera = ruins::makeFrameCamera(scene->referencePose, kWidth, kHeight);
    ASSERT_TRUE(camera);
    std::vector<std::uint8_t> rgb(std::size_t(kWidth) * kHeight * 3);
    ruins::RuinsSceneRenderer renderer;
    renderer.renderRuins(*camera, rgb.data(), ruins::PixelOrder::RGB);
    convertToGrey(rgb.data(), s.grey.data(), s.grey.size());
    // Lit or in shade, the bricks are yellow: red and green alike, no blue.
    auto yellow = [](QRgb p) { return qRed(p) > 100 && std::abs(qRed(p) - qGreen(p)) < 40 && qBlue(p) < 60; };
    const ruins::PixelPosition text = RuinsReconstructorProcessor::searchingTextPosition(kWidth, kHeight);

    s.frame();
    ASSERT_TRUE(s.processor->reconstruction().searching());
    s.right.updateGL();
    QImage shot = s.right.grabFramebuffer();
    saveScreenshot(shot, "searching.png");
    EXPECT_GT(countPixels(shot, QRect(text.x, text.y - 16, 100, 18), isRed), 30) << "SEARCHING";
    EXPECT_EQ(countPixels(shot, shot.rect(), yellow), 0) << "no bricks yet";

    for (int frame = 1; frame < 30 && !s.processor->reconstruction().poseValid(); ++frame) s.frame();
    ASSERT_TRUE(s.processor->reconstruction().poseValid());
    EXPECT_FALSE(s.processor->reconstruction().searching());
    s.right.updateGL();
    shot = s.right.grabFramebuffer();
    saveScreenshot(shot, "found.png");
    EXPECT_GT(countPixels(shot, shot.rect(), yellow), 500) << "the bricks";
    EXPECT_EQ(countPixels(shot, QRect(text.x, text.y - 16, 100, 18), isRed), 0) << "no longer searching";
}

TEST(RuinsReconstructorProcessor, ChecksAndUnchecksRestartTheFollowing)
{
    Scene s;
    s.choose(kManual);
    ruins::TrackedPoints& t = s.processor->reconstruction().trackedPoints();
    for (bool on : {true, false, true, false}) {
        t.count = 3;
        for (int i = 0; i < 39; ++i) {
            t.confidence[i] = 0.1f;
            t.valid[i] = 0;
        }
        s.check(on);
        EXPECT_TRUE(s.allRestarted()) << on;
        EXPECT_EQ(t.count, on ? 0 : 3) << "a manual selection starts afresh; the restart alone keeps the count";
    }
}

TEST(RuinsReconstructorProcessor, UncheckingInMatchingLeavesTheGrabberAlone)
{
    Scene s;
    s.choose(kAutomatic);
    s.check(true);
    s.processor->grabber().start();
    s.check(false);
    EXPECT_EQ(s.processor->grabber().state(), 1);
    EXPECT_FALSE(s.processor->reconstruction().matchingMode());
    // Outside matching, unchecking stops the grabber.
    s.choose(kManual);
    s.check(true);
    EXPECT_EQ(s.processor->grabber().state(), 1);
    s.check(false);
    EXPECT_EQ(s.processor->grabber().state(), 0) << "stopped without points: idle";
}

TEST(RuinsReconstructorProcessor, ClosingTheMenuIsUnchecking)
{
    Scene s;
    s.processor->setInitialPointsMenuChooser([](QMenu&) { return nullptr; });
    s.check(true);
    EXPECT_FALSE(s.processor->startInitialPointsSelectionAction()->isChecked());
    EXPECT_EQ(s.processor->grabber().state(), 0);
    EXPECT_FALSE(s.processor->reconstruction().matchingMode());
    EXPECT_TRUE(s.allRestarted());
}

TEST(RuinsReconstructorProcessor, CalibrationGuideUprightWithItsLabels)
{
    Scene s(true);
    ASSERT_FALSE(s.processor->calibrationFrame().isNull());
    s.choose(kManual);
    s.check(true);
    const QImage guide = s.right.grabFramebuffer();
    saveScreenshot(guide, "calibration_guide.png");
    const QRgb top = guide.pixel(300, 20);
    const QRgb bottom = guide.pixel(300, 220);
    EXPECT_GT(qRed(top), 150);
    EXPECT_LT(qBlue(top), 80);
    EXPECT_GT(qBlue(bottom), 150);
    // Label "0" at reference position (41, 135), label "36" at (227, 163).
    EXPECT_GT(countPixels(guide, QRect(41, 121, 10, 15), isRed), 3);
    EXPECT_GT(countPixels(guide, QRect(227, 149, 18, 15), isRed), 3);
}

TEST(RuinsReconstructorProcessor, MissingCalibrationFrameShowsNoticeOverDarkBackground)
{
    Scene s;
    s.choose(kManual);
    s.check(true);
    const QImage guide = s.right.grabFramebuffer();
    saveScreenshot(guide, "calibration_guide_missing.png");
    const QRgb background = guide.pixel(300, 230);
    EXPECT_LT(qRed(background), 60) << "dark, not the grey frame";
    EXPECT_EQ(qRed(background), qBlue(background));
    EXPECT_GT(countPixels(guide, QRect(8, 2, 200, 16), isRed), 30) << "the notice line";
    EXPECT_GT(countPixels(guide, QRect(41, 121, 10, 15), isRed), 3) << "label 0";
}

TEST(RuinsReconstructorProcessor, SmallFramesAndStrayClicksAreSafe)
{
    Scene s(false, 160, 120);
    s.choose(kAutomatic);
    s.check(true);
    EXPECT_EQ(s.tracked().positions[0].x, 21) << "reference positions scaled to the frame";
    s.frame();
    s.left.updateGL();
    s.right.updateGL();
    s.check(false);
    s.frame();
    s.right.updateGL();

    Scene manual(false, 160, 120);
    manual.choose(kManual);
    manual.check(true);
    for (int i = 0; i < 80; ++i) QTest::mousePress(&manual.left, Qt::LeftButton, {}, QPoint(300 - i, 230 - i));
    manual.check(false);
    manual.frame();  // real KLT detector on a flat frame, clicks outside it
    EXPECT_EQ(manual.tracked().count, 39);
    manual.right.updateGL();
}

TEST(RuinsReconstructorPropertiesWidget, FormAndFirstOpening)
{
    WorkingDirectory cwd;
    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    QWidget window;
    QWidget* panel = processor.propertiesWidget(&window);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(processor.propertiesWidget(&window), panel);
    EXPECT_TRUE(panel->windowFlags() & Qt::Tool);
    EXPECT_EQ(panel->objectName(), "RuinsReconstructorPropertiesWidget");
    EXPECT_EQ(panel->windowTitle(), "Reconstruction Properties");
    EXPECT_GE(panel->width(), 163);

    auto* spin = panel->findChild<QSpinBox*>("threshold");
    auto* fast = panel->findChild<QRadioButton*>("radioFAST");
    auto* klt = panel->findChild<QRadioButton*>("radioKLT");
    auto* kalman = panel->findChild<QCheckBox*>("checkUseCalman");
    auto* refresh = panel->findChild<QPushButton*>("btnRefresh");
    ASSERT_TRUE(spin && fast && klt && kalman && refresh);
    EXPECT_EQ(spin->value(), 25);
    EXPECT_EQ(spin->minimum(), 1);
    EXPECT_EQ(spin->maximum(), 200);
    EXPECT_TRUE(klt->isChecked());
    EXPECT_FALSE(fast->isChecked());
    EXPECT_FALSE(kalman->isChecked());
    EXPECT_EQ(fast->text(), "FAST");
    EXPECT_EQ(klt->text(), "Kanade-Lucas-Tomasi");
    EXPECT_EQ(kalman->text(), "Use Kalman Filter");
    EXPECT_EQ(refresh->text(), "Refresh Detection");
    EXPECT_EQ(panel->findChild<QLabel*>("label")->text(), "Threshold");
    EXPECT_EQ(panel->findChild<QGroupBox*>("groupBox")->title(), "Corner Detector/Tracker");
    EXPECT_EQ(panel->findChild<QGroupBox*>("groupBox_2")->title(), "Filtering");
    EXPECT_EQ(panel->findChild<QGroupBox*>("propertiesGrp")->title(), "Properties");
    for (const char* name : {"vboxLayout", "vboxLayout1", "vboxLayout2", "vboxLayout3"}) {
        auto* layout = panel->findChild<QVBoxLayout*>(name);
        ASSERT_NE(layout, nullptr) << name;
        EXPECT_EQ(layout->spacing(), 6);
        EXPECT_EQ(layout->contentsMargins(), QMargins(9, 9, 9, 9));
    }
    EXPECT_NE(panel->findChild<QHBoxLayout*>("hboxLayout"), nullptr);
}

TEST(RuinsReconstructorPropertiesWidget, SwitchesDetectorsThresholdKalmanAndRefresh)
{
    WorkingDirectory cwd;
    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    QWidget window;
    QWidget* panel = processor.propertiesWidget(&window);
    panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    auto* spin = panel->findChild<QSpinBox*>("threshold");
    auto* fast = panel->findChild<QRadioButton*>("radioFAST");
    auto* klt = panel->findChild<QRadioButton*>("radioKLT");
    auto* kalman = panel->findChild<QCheckBox*>("checkUseCalman");
    auto* refresh = panel->findChild<QPushButton*>("btnRefresh");
    CornerDetector* kltDetector = processor.detector();

    QTest::mouseClick(fast, Qt::LeftButton, {}, QPoint(6, fast->height() / 2));
    ASSERT_FALSE(processor.detector()->isTracker());
    EXPECT_EQ(processor.detector()->capacity(), 78);
    spin->setValue(40);
    EXPECT_EQ(processor.detector()->threshold(), 40);
    spin->setValue(0);
    EXPECT_EQ(spin->value(), 1) << "refused below 1";
    spin->setValue(201);
    EXPECT_EQ(spin->value(), 200);

    QTest::mouseClick(klt, Qt::LeftButton, {}, QPoint(6, klt->height() / 2));
    EXPECT_EQ(processor.detector(), kltDetector);
    EXPECT_EQ(kltDetector->threshold(), 25) << "the newly selected detector keeps its own threshold";
    EXPECT_EQ(spin->value(), 200);

    auto* kltImpl = dynamic_cast<KLTCornerDetector*>(kltDetector);
    ASSERT_NE(kltImpl, nullptr);
    std::vector<unsigned char> frame(std::size_t(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) frame[std::size_t(y) * kWidth + x] = ((x / 16 + y / 16) % 2) ? 220 : 30;
    kltImpl->detect(frame.data(), kWidth, kHeight);
    EXPECT_FALSE(kltImpl->selectNext());
    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_TRUE(kltImpl->selectNext()) << "new features at the next frame";

    kalman->setChecked(true);
    EXPECT_FALSE(processor.useKalman()) << "only the user's click counts";
    kalman->setChecked(false);
    QTest::mouseClick(kalman, Qt::LeftButton, {}, QPoint(6, kalman->height() / 2));
    EXPECT_TRUE(processor.useKalman());
    QTest::mouseClick(kalman, Qt::LeftButton, {}, QPoint(6, kalman->height() / 2));
    EXPECT_FALSE(processor.useKalman());
}

TEST(RuinsReconstructorPropertiesWidget, ReopenedOverAFastDetectorChecksFast)
{
    WorkingDirectory cwd;
    Canvas left;
    RuinsReconstructorProcessor processor(&left);
    processor.setUseKalman(true);
    FASTCornerDetector* fast = static_cast<FASTCornerDetector*>(
        processor.adoptDetector(std::make_unique<FASTCornerDetector>(78)));
    fast->setThreshold(33);
    processor.setDetector(fast);
    auto window = std::make_unique<QWidget>();
    QWidget* panel = processor.propertiesWidget(window.get());
    EXPECT_TRUE(panel->findChild<QRadioButton*>("radioFAST")->isChecked());
    EXPECT_EQ(panel->findChild<QSpinBox*>("threshold")->value(), 33);
    EXPECT_TRUE(panel->findChild<QCheckBox*>("checkUseCalman")->isChecked());
    EXPECT_EQ(processor.detector(), fast);
    window.reset();  // the panel dies with its parent; the processor makes a new one
    EXPECT_NE(processor.propertiesWidget(nullptr), nullptr);
}

// A scene of the user's: opened (a broken one leaves the scene as it was), its
// counts followed, and its reference picture captured and clicked; too few
// clicks leave the scene file untouched.
TEST(RuinsReconstructorScene, OpensAScene_CapturesItsReferencePicture_AndKeepsTheSceneOnFailure)
{
    Scene s;
    RuinsReconstructorProcessor& processor = *s.processor;
    const QString archFile = QStringLiteral(CASTELLAN_SOURCE_DIR "/tests/data/scenes/arch.json");
    const QString broken = QDir(s.cwd.dir.path()).filePath("broken.json");
    QFile(broken).open(QIODevice::WriteOnly);
    EXPECT_TRUE(processor.openScene(broken).startsWith(broken + ": ")) << "names the file";
    EXPECT_EQ(processor.reconstruction().pointCount(), 39);
    EXPECT_EQ(processor.detector()->capacity(), 78);

    // A copy of the arch, so that the capture writes into the test's folder.
    const QString sceneFile = QDir(s.cwd.dir.path()).filePath("arch.json");
    ASSERT_TRUE(QFile::copy(archFile, sceneFile));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CASTELLAN_SOURCE_DIR "/tests/data/scenes/arch.png"),
                            QDir(s.cwd.dir.path()).filePath("arch.png")));
    ASSERT_EQ(processor.openScene(sceneFile), QString());
    EXPECT_EQ(ruins::sceneInUse()->scene.name, "arch") << "the virtual camera's scene too";
    EXPECT_EQ(processor.reconstruction().pointCount(), 28);
    EXPECT_EQ(processor.detector()->capacity(), 56);
    EXPECT_FALSE(processor.calibrationFrame().isNull()) << "the scene's own picture";

    std::vector<QString> outcomes;
    QObject::connect(&processor, &RuinsReconstructorProcessor::referenceCaptureFinished,
                     [&](const QString& message, bool) { outcomes.push_back(message); });
    const QString picture = QDir(s.cwd.dir.path()).filePath("arch.png");
    const QImage archPicture(picture);
    ASSERT_EQ(processor.captureReferencePicture(sceneFile), QString());
    for (int i = 0; i < 5; ++i) QTest::mousePress(&s.left, Qt::LeftButton, {}, QPoint(10 + i, 20 + i));
    processor.startInitialPointsSelectionAction()->setChecked(false);  // stopped after 5 of 28
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes.back(), "5 of 28 points were clicked; the scene was not changed.");
    EXPECT_EQ(QImage(picture), archPicture) << "nothing written";

    // A scene whose points have no positions yet, clicked one pixel right of
    // where the arch's picture has them.
    std::vector<ruins::PixelPosition> clicks;
    ruins::Scene unplaced = processor.scene().scene;
    for (ruins::ScenePoint& point : unplaced.points) {
        clicks.push_back({point.reference.x + 1, point.reference.y});
        point.reference = {-1, -1};
    }
    ASSERT_EQ(ruins::saveScene(unplaced, sceneFile.toStdString()), "");
    ASSERT_EQ(processor.captureReferencePicture(sceneFile), QString());
    for (const ruins::PixelPosition& c : clicks) QTest::mousePress(&s.left, Qt::LeftButton, {}, QPoint(c.x, c.y));
    QCoreApplication::processEvents();  // the last click ends the capture
    ASSERT_EQ(outcomes.size(), 2u) << "the 28th click ends it";
    const ruins::SceneLoad written = ruins::loadScene(sceneFile.toStdString());
    ASSERT_TRUE(written.scene) << written.error;
    for (int i = 0; i < 28; ++i) EXPECT_EQ(written.scene->points[std::size_t(i)].reference, clicks[std::size_t(i)]) << i;
    EXPECT_EQ(QImage(picture).pixel(0, 0), qRgb(kVideoGrey, kVideoGrey, kVideoGrey)) << "the frame as picture";
    EXPECT_FALSE(processor.capturingReference());
    EXPECT_EQ(processor.scene().reference(27), clicks[27]) << "followed at once";
    ruins::useScene(ruins::bundledRuinsScene());
}

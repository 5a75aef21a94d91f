// Model-guided following: corner refinement against straight edges, outlier
// rejection with planted wrong matches, and prediction on the virtual camera
// whose true pose is known.

#include "processors/fast_corner_detector.h"
#include "reconstruction/model_following.h"
#include "reconstruction/ruins_reconstruction.h"
#include "ruins_test_support.h"
#include "tests/support/ruins_tables.h"
#include "tests/support/textured_picture.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace ruins;

namespace {

constexpr int kSide = 64;

// A dark region on a light frame: the pixels (x, y) for which inside(x, y)
// holds, sampled `samples` × `samples` times per pixel (1: hard, staircase
// edges as a renderer without anti-aliasing draws them).
template <typename Inside>
std::vector<unsigned char> renderRegion(Inside inside, int samples)
{
    std::vector<unsigned char> pixels(std::size_t(kSide) * kSide);
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            int covered = 0;
            for (int sy = 0; sy < samples; ++sy)
                for (int sx = 0; sx < samples; ++sx)
                    covered += inside(x - 0.5 + (sx + 0.5) / samples, y - 0.5 + (sy + 0.5) / samples);
            pixels[std::size_t(y) * kSide + x] = static_cast<unsigned char>(200 - 140 * covered / (samples * samples));
        }
    }
    return pixels;
}

struct RefinementCase {
    const char* name;
    double angle;       // degrees: of the edge, or of the wedge's second side
    bool corner;        // a wedge with its tip at the apex, or a straight edge through it
};

TEST(CornerRefinement, FindsWedgeTipsAndRejectsSlantedStraightEdges)
{
    const SubpixelPoint apex{31.3, 30.6};
    // On raw gradients the staircase of a hard edge at 15°, 20°, 27° or 63°
    // passes for a corner.
    const RefinementCase cases[] = {
        {"right-angle corner", 90, true},   {"obtuse corner", 125, true},    {"acute corner", 60, true},
        {"slanted corner", 75, true},       {"edge at 0°", 0, false},        {"edge at 10°", 10, false},
        {"edge at 15°", 15, false},         {"edge at 20°", 20, false},      {"edge at 27°", 27, false},
        {"edge at 45°", 45, false},         {"edge at 63°", 63, false},      {"edge at 81°", 81, false},
        {"edge at 135°", 135, false},
    };
    // Smoothed more, as for larger frames, the point is sharpened on the lightly
    // smoothed picture and ends where light smoothing finds it.
    for (const int smoothing : {1, kMaxSmoothing})
    for (const int samples : {8, 1})
    for (const RefinementCase& c : cases) {
        const double a = c.angle * kPi / 180.0;
        const double ca = std::cos(a), sa = std::sin(a);
        const auto pixels = renderRegion(
            [&](double x, double y) {
                const double dx = x - apex.x, dy = y - apex.y;
                if (!c.corner) return dx * sa - dy * ca > 0.0;  // one side of a line through the apex
                return dy > 0.0 && dx * sa - dy * ca > 0.0;       // between the x axis and the angle
            },
            samples);
        SubpixelPoint refined;
        const bool found =
            refineCorner({pixels.data(), kSide, kSide}, {apex.x + 1.6, apex.y - 1.2}, 4, smoothing, 8.0, refined);
        const std::string where = std::string(c.name) + " (" + std::to_string(samples) + " samples, smoothing " +
                                  std::to_string(smoothing) + ")";
        if (!c.corner) {
            EXPECT_FALSE(found) << where << " taken for a corner at " << refined.x << ", " << refined.y;
            continue;
        }
        ASSERT_TRUE(found) << where;
        // A staircase moves the corner's sharp edges by up to half a pixel; the
        // heavier smoothing leaves up to a third of a pixel of its pull into an
        // acute wedge.
        const double tolerance = samples > 1 ? (smoothing > 1 ? 0.3 : 0.2) : 0.5;
        EXPECT_NEAR(refined.x, apex.x, tolerance) << where;
        EXPECT_NEAR(refined.y, apex.y, tolerance) << where;
    }
}

TEST(CornerRefinement, RefusesWindowsThatLeaveTheFrameAndFlatFrames)
{
    const std::vector<unsigned char> flat(std::size_t(kSide) * kSide, 90);
    SubpixelPoint refined;
    EXPECT_FALSE(refineCorner({flat.data(), kSide, kSide}, {30, 30}, 4, 1, 8.0, refined));
    EXPECT_FALSE(refineCorner({flat.data(), kSide, kSide}, {2, 30}, 4, 1, 8.0, refined));
    EXPECT_FALSE(refineCorner({flat.data(), kSide, kSide}, {30, 30}, kMaxRefinementRadius + 1, 1, 8.0, refined));
}

// A red quadrant on a green frame of the same grey: the grey frame is flat, so
// only the colour frame shows the corner.
TEST(CornerRefinement, FindsACornerOfOneGreyInTheColourFrame)
{
    const SubpixelPoint apex{30.0, 33.0};
    std::vector<unsigned char> grey(std::size_t(kSide) * kSide, 100), rgb(grey.size() * 3);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const bool red = x > apex.x && y > apex.y;
            unsigned char* pixel = &rgb[(std::size_t(y) * kSide + x) * 3];
            pixel[0] = red ? 200 : 40;
            pixel[1] = red ? 40 : 140;
            pixel[2] = 60;
        }
    SubpixelPoint refined;
    EXPECT_FALSE(refineCorner({grey.data(), kSide, kSide}, {apex.x + 1.6, apex.y - 1.2}, 4, 1, 8.0, refined));
    ASSERT_TRUE(refineCorner({grey.data(), kSide, kSide, rgb.data()}, {apex.x + 1.6, apex.y - 1.2}, 4, 1, 8.0, refined));
    // Hard pixel edges half way between columns 30 and 31, rows 33 and 34.
    EXPECT_NEAR(refined.x, apex.x + 0.5, 0.2);
    EXPECT_NEAR(refined.y, apex.y + 0.5, 0.2);
}

TEST(CornerClaims, OneCornerPerPointAndEmptyEntriesNeverTaken)
{
    const SubpixelPoint predictions[3] = {{10, 10}, {13, 10}, {40, 40}};
    const std::uint8_t usable[3] = {1, 1, 1};
    const CornerPoint corners[3] = {{12, 10}, {-1, -1}, {41, 40}};
    SubpixelPoint starts[3];
    claimCornersNearPredictions(predictions, usable, 3, corners, 3, 4.0, starts);
    EXPECT_EQ(starts[1].x, 12) << "the nearer point keeps the corner";
    EXPECT_EQ(starts[0].x, 10) << "the other starts at its prediction";
    EXPECT_EQ(starts[2].x, 41);
    const SubpixelPoint corner{0.5, 0.5};
    const std::uint8_t one = 1;
    SubpixelPoint start;
    claimCornersNearPredictions(&corner, &one, 1, corners + 1, 1, 4.0, &start);
    EXPECT_EQ(start.x, 0.5) << "(−1, −1) is an empty entry, not a corner";
}

// Model points seen exactly by `camera`, some replaced by wrong matches.
TEST(OutlierRejection, PlantedWrongMatchesAreDroppedAndThePoseIsExact)
{
    constexpr int kWidth = 320, kHeight = 240;
    const ruins_test::PinholeCamera camera = ruins_test::sceneCamera();
    const std::vector<int> planted = {3, 11, 17, 25, 30};
    for (const double offset : {2.0, 4.0, 7.0}) {
        RuinsPoseState pose;
        RuinsReconstruction r(pose);
        r.setImageSize(kWidth, kHeight);
        TrackedPoints& t = r.trackedPoints();
        t.count = kModelPointCount;
        for (int i = 0; i < kModelPointCount; ++i) {
            const auto uv = camera.project(modelPoint(i));
            ASSERT_TRUE(uv);
            t.subpixel[i] = {(*uv)[0] + kWidth / 2.0, (*uv)[1] + kHeight / 2.0};
        }
        for (int i : planted) t.subpixel[i].x += (i % 2 ? offset : -offset);
        r.updatePose();
        ASSERT_TRUE(r.poseValid()) << offset;
        EXPECT_EQ(r.inlierCount(), kModelPointCount - int(planted.size())) << offset;
        for (int i : planted) EXPECT_FALSE(t.valid[i]) << "planted " << i << " offset " << offset;
        EXPECT_LT(r.residualRms(), 1e-3) << offset;
        for (int i = 0; i < kModelPointCount; ++i) {
            const auto uv = camera.project(modelPoint(i));
            SubpixelPoint seen;
            ASSERT_TRUE(reprojectToFrame(pose.refinedProjection, modelPoint(i), kWidth, kHeight, seen));
            EXPECT_NEAR(seen.x, (*uv)[0] + kWidth / 2.0, 1e-3) << i;
            EXPECT_NEAR(seen.y, (*uv)[1] + kHeight / 2.0, 1e-3) << i;
        }
    }
}

// The virtual camera's frames of a scene, followed from its reference
// positions: every frame has a pose within half a pixel of the truth, also when
// the camera moves several pixels a frame (every `stride`-th frame), which only
// the prediction from the last motion keeps up with.
struct VirtualRun {
    static constexpr int kWidth = 320, kHeight = 240;
    int width, height;
    std::shared_ptr<const SceneModel> scene;
    RuinsPoseState pose;
    RuinsReconstruction reconstruction{pose};
    FASTCornerDetector detector;
    RuinsSceneRenderer renderer;
    VirtualCameraPath path;
    std::vector<std::uint8_t> rgb = std::vector<std::uint8_t>(std::size_t(width) * height * 3);
    std::vector<unsigned char> grey = std::vector<unsigned char>(std::size_t(width) * height);
    std::vector<unsigned char> output = std::vector<unsigned char>(grey.size());

    explicit VirtualRun(std::shared_ptr<const SceneModel> followed = bundledRuinsScene(), int frameWidth = kWidth,
                        int frameHeight = kHeight)
        : width(frameWidth), height(frameHeight), scene(std::move(followed)), detector(2 * scene->pointCount())
    {
        reconstruction.setScene(scene);
        renderer.setBricks(scene->scene.brickEdge, scene->realBricks(), scene->virtualBricks());
        path.rest = scene->referencePose;
        path.restPictureWidth = scene->pictureSize.width;
        path.restPictureHeight = scene->pictureSize.height;
        reconstruction.setImageSize(width, height);
        reconstruction.beginAutomaticSelection(scene->pictureSize.width, scene->pictureSize.height);
        reconstruction.endMatching();
        reconstruction.restartFollowing(&detector);
    }
    void step(std::int64_t index)
    {
        renderVirtualRuinsFrame(renderer, index, width, height, rgb.data(), PixelOrder::RGB, path, {});
        for (std::size_t p = 0; p < grey.size(); ++p)
            grey[p] = static_cast<unsigned char>((rgb[3 * p] * 77 + rgb[3 * p + 1] * 150 + rgb[3 * p + 2] * 29) >> 8);
        reconstruction.frameStep(grey.data(), output.data(), &detector, {});
    }
    // RMS pixel distance of the model points between the shown pose and the truth.
    double error(std::int64_t index) const
    {
        const auto truth = virtualCameraFrame(index, width, height, path);
        if (!truth) return 1e9;
        return ruins_test::shownPoseError(reconstruction.preparedView(), *truth, scene->points, width, height);
    }
};

std::shared_ptr<const SceneModel> archScene()
{
    std::string error;
    auto scene = openScene(CASTELLAN_SOURCE_DIR "/tests/data/scenes/arch.json", error);
    EXPECT_TRUE(scene) << error;
    return scene;
}

// The ruins and a scene of another shape, size and brick edge (the arch, made
// with castellan-cli scene-picture, its field of view held), and the ruins on a
// 16:9 frame: every frame well inside the one-pixel goal; the arch's 28 corners
// stand smaller in the frame than the ruins' 39, so its bound is looser.
TEST(ModelFollowing, KeepsThePoseWithinHalfAPixelOnTheVirtualCamera)
{
    struct Case {
        std::shared_ptr<const SceneModel> scene;
        double bound;
        int width = VirtualRun::kWidth;
        int height = VirtualRun::kHeight;
    };
    const Case cases[] = {{bundledRuinsScene(), 0.5}, {archScene(), 0.75}, {bundledRuinsScene(), 0.5, 640, 360}};
    for (const Case& c : cases) {
        ASSERT_TRUE(c.scene);
        const std::string name = c.scene->scene.name + " at " + std::to_string(c.width) + "x" + std::to_string(c.height);
        for (const int stride : {1, 12}) {
            VirtualRun run(c.scene, c.width, c.height);
            double worst = 0.0;
            for (std::int64_t index = 0; index < 240; index += index < kVirtualCameraRestFrames ? 1 : stride) {
                run.step(index);
                ASSERT_TRUE(run.reconstruction.poseValid()) << name << " stride " << stride << " frame " << index;
                worst = std::max(worst, run.error(index));
                if (c.scene->scene.fieldOfView) {
                    ASSERT_NEAR(run.reconstruction.preparedView().fieldOfView, *c.scene->scene.fieldOfView, 1e-9);
                }
            }
            EXPECT_LT(worst, c.bound) << name << " stride " << stride;
        }
    }
}

// The field of view settles while the camera swings, and when the camera zooms
// it is let go and settles again. At 320 × 240 the free estimates it settles on
// run 1 to 2.5 % narrow.
TEST(ModelFollowing, HoldsTheFieldOfViewAndLetsGoWhenTheCameraZooms)
{
    VirtualRun run;
    const auto heldNear = [&](double truth, double tolerance, std::int64_t from, std::int64_t to) {
        bool released = false;
        for (std::int64_t index = from; index < to; ++index) {
            run.step(index);
            released = released || !run.reconstruction.fieldOfViewHeld();
        }
        EXPECT_TRUE(run.reconstruction.fieldOfViewHeld());
        EXPECT_NEAR(run.reconstruction.preparedView().fieldOfView, truth, tolerance);
        return released;
    };
    heldNear(run.path.rest.fieldOfView, 0.5, 0, 300);
    run.path.rest.fieldOfView += 4.0;
    EXPECT_TRUE(heldNear(run.path.rest.fieldOfView, 1.2, 300, 600)) << "never let go";
}

TEST(ModelFollowing, FiltersTheShownPosesWithKalmanOn)
{
    VirtualRun run;
    run.reconstruction.setUseKalman(true);
    for (std::int64_t index = 0; index < 5; ++index) run.step(index);
    EXPECT_TRUE(run.reconstruction.poseFilterCreated()) << "the filter starts from the first shown pose";
}

// Corners seen steadily off the model's corners (here the model of five is
// moved a fifth of a brick edge, 2 to 3 px) are taken as seen that far off:
// they support the pose again instead of being dropped as outliers, and the
// pose keeps within half a pixel.
TEST(ModelFollowing, TakesCornersSeenSteadilyOffBackIntoThePose)
{
    auto moved = std::make_shared<SceneModel>(*bundledRuinsScene());
    const int planted[] = {3, 11, 17, 25, 30};
    for (const int i : planted) moved->points[std::size_t(i)].x += 0.2 * moved->brickEdge();
    VirtualRun run(moved);
    for (std::int64_t index = 0; index < 120; ++index) {
        run.step(index);
        ASSERT_TRUE(run.reconstruction.poseValid()) << "frame " << index;
        EXPECT_LT(run.error(index), 0.5) << "frame " << index;
    }
    int supporting = 0;
    for (const int i : planted) supporting += run.reconstruction.trackedPoints().valid[std::size_t(i)];
    EXPECT_GE(supporting, 4);
}

// Once shown, a pose stays shown when some points drop out for a moment (here
// the frame goes flat right of a column), as long as two fifths of the points
// in view still support it; a pose found anew needs half of them.
TEST(ModelFollowing, KeepsShowingThePoseWhenSomePointsDropOut)
{
    VirtualRun run;
    for (std::int64_t index = 0; index < 100; ++index) run.step(index);
    ASSERT_TRUE(run.reconstruction.poseValid());
    const auto stepFlatRightOf = [&](int column) {
        renderVirtualRuinsFrame(run.renderer, 100, run.width, run.height, run.rgb.data(), PixelOrder::RGB, run.path, {});
        for (std::size_t p = 0; p < run.grey.size(); ++p)
            run.grey[p] = static_cast<unsigned char>((run.rgb[3 * p] * 77 + run.rgb[3 * p + 1] * 150 +
                                                      run.rgb[3 * p + 2] * 29) >> 8);
        for (int y = 0; y < run.height; ++y)
            std::fill_n(run.grey.begin() + std::ptrdiff_t(y) * run.width + column, run.width - column, 90);
        run.reconstruction.frameStep(run.grey.data(), run.output.data(), &run.detector, {});
        return run.reconstruction.inlierCount();
    };
    // 17 of the 39 points: under half, over two fifths.
    EXPECT_EQ(stepFlatRightOf(130), 17);
    EXPECT_TRUE(run.reconstruction.poseValid());
    EXPECT_LT(stepFlatRightOf(120), 16);
    EXPECT_FALSE(run.reconstruction.poseValid());
    EXPECT_EQ(stepFlatRightOf(130), 17);
    EXPECT_FALSE(run.reconstruction.poseValid()) << "not shown before: half the points are needed";
}

// Under motion too fast to follow, the few points dragged along can fit a pose
// several pixels off with a small residual; such a pose is never shown.
TEST(ModelFollowing, FastMotionNeverShowsAPoseMoreThanTwoPixelsOff)
{
    VirtualRun run(bundledRuinsScene(), 160, 120);
    run.path.speed = 32.0;
    int shown = 0;
    for (std::int64_t index = 0; index < 300; ++index) {
        run.step(index);
        if (!run.reconstruction.poseValid()) continue;
        ++shown;
        EXPECT_LT(run.error(index), 2.0) << "frame " << index;
    }
    EXPECT_GT(shown, kVirtualCameraRestFrames) << "the resting camera is followed";
}

// Following lost to a picture of something else or a blank frame: no pose within
// three frames, and found again when the ruins return, where they were left or
// (after a longer absence) at the calibration pose.
TEST(ModelFollowing, LosesThePoseAwayFromTheRuinsAndFindsItAgain)
{
    struct Absence {
        const char* what;
        bool blank;
        int frames;
        std::int64_t returnAt;  // frame index shown on return
    };
    const Absence absences[] = {{"unrelated picture, back where it left", false, 20, 150},
                                {"blank frame, back where it left", true, 5, 150},
                                {"unrelated picture, back at the calibration pose", false, 60, 0}};
    const std::vector<unsigned char> unrelated =
        castellan_test::texturedPicture(VirtualRun::kWidth, VirtualRun::kHeight, 5);
    for (const Absence& absence : absences) {
        VirtualRun run;
        for (std::int64_t index = 0; index <= 150; ++index) run.step(index);
        ASSERT_TRUE(run.reconstruction.poseValid()) << absence.what;
        int firstLost = -1;
        for (int frame = 0; frame < absence.frames; ++frame) {
            if (absence.blank)
                std::fill(run.grey.begin(), run.grey.end(), 128);
            else
                std::copy(unrelated.begin(), unrelated.end(), run.grey.begin());
            run.reconstruction.frameStep(run.grey.data(), run.output.data(), &run.detector, {});
            if (run.reconstruction.trackingLost() && firstLost < 0) firstLost = frame;
            if (frame >= 3) {
                ASSERT_FALSE(run.reconstruction.poseValid()) << absence.what << ", away frame " << frame;
            }
        }
        EXPECT_GE(firstLost, 0) << absence.what;
        EXPECT_LT(firstLost, 3) << absence.what;
        int found = -1;
        for (int frame = 0; frame < 30 && found < 0; ++frame) {
            run.step(absence.returnAt);
            if (run.reconstruction.poseValid()) found = frame;
        }
        ASSERT_GE(found, 0) << absence.what << ": not found again within 30 frames";
        EXPECT_FALSE(run.reconstruction.trackingLost());
        EXPECT_LT(run.error(absence.returnAt), 0.5) << absence.what;
    }
}

}  // namespace

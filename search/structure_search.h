#pragma once

// Finding a scene's structure in a frame with no help: from any viewpoint that
// looks down on it, at any distance and roll, anywhere in the frame, with the
// field of view unknown (or held, when known).
//
// How: the structure's corners as seen from many viewing directions (the views,
// made once per scene, hidden corners and points never seen as a corner left
// out) are laid over the frame's corners. Two of a view's corners laid on two
// frame corners fix the size, the roll and the place of the whole view; the
// other corners then either find frame corners where they land or not. The
// layings that match most corners, ranked again by how much of their outline
// the frame shows, become camera poses, which are fitted to the frame's corners
// a few times, each time closer; the one that most corners support is handed
// over to the following, which confirms it or not.
//
// The views are too many for one frame: each frame tries a share of them
// (kFramesPerSweep frames cover all, more where the frame has many corners), so
// the frame cycle never waits. Every
// share covers the whole sphere thinly and the next fills between, so a coarse
// match of any viewpoint is met early.
//
// Positions are frame-buffer pixels: x the column, y the buffer row counted from
// the bottom, the centre of pixel (c, r) at (c, r). No Qt; nothing is allocated
// per frame once the frame size and the scene are known. Not thread-safe.

#include "features/corner_point.h"
#include "features/fast9.h"
#include "pose/vector3.h"
#include "scene/brick_occlusion.h"
#include "scene/scene.h"
#include "scene/scene_model.h"
#include "search/outline_check.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ruins {

// A structure found: where each model point lies under the pose found, and
// whether it lies in front of the camera.
struct FoundStructure {
    int pointCount = 0;
    std::array<double, kMaxScenePoints> x{};
    std::array<double, kMaxScenePoints> y{};
    std::array<std::uint8_t, kMaxScenePoints> inFront{};
    // Visible model points with a frame corner near where the pose puts them.
    int support = 0;
    int visible = 0;
    double focalLength = 0.0;  // pixels, of the pose found
    Vector3 eye;               // of the pose found
};

class StructureSearch {
public:
    // Viewing directions every kDirectionStep degrees, from kMinElevation to
    // kMaxElevation above the structure's centre, all the way round; any roll.
    // The estimator needs a camera that looks down at the ground, so views from
    // below the centre are not searched.
    static constexpr double kDirectionStep = 10.0;
    static constexpr double kMinElevation = 5.0;
    static constexpr double kMaxElevation = 85.0;
    // Pairs of a view's corners laid on pairs of frame corners, per view.
    static constexpr int kAnchorPairs = 8;
    // The structure's radius in the frame, from this share of the frame's
    // height to that.
    static constexpr double kMinRadiusShare = 0.08;
    static constexpr double kMaxRadiusShare = 0.75;
    static constexpr int kFramesPerSweep = 20;
    // Layings tried per frame at most: a frame with many corners tries fewer views.
    static constexpr int kLayingsPerFrame = 350000;
    // Corners are found on the frame shrunk to at most kWorkingHeight rows; the
    // strongest kMaxCorners take part.
    static constexpr int kWorkingHeight = 240;
    // Smaller frames are not searched: at 160 × 120 the structure is too few
    // pixels to tell from its near likenesses (a pose a step along a stair
    // matched half its corners there and survived the following).
    static constexpr int kMinFrameHeight = 240;
    static constexpr int kMaxCorners = 100;
    static constexpr int kCornerThreshold = 12;
    // Candidates fitted per frame; the corners a laying needs to be fitted,
    // and the support a fitted pose needs to be handed over: kMinSupport, and
    // half the corners its view sees. Near likenesses of a small structure
    // often match a few more corners than its own coarse view does; twenty
    // candidates rather than six find it from a few more of 200 viewpoints,
    // and the ruins coming back from another side at 640 × 480 within 18
    // frames rather than 55.
    static constexpr int kCandidatesPerFrame = 20;
    // The layings that match most corners, up to kLayingsRanked, are ranked
    // again by how much of their outline the frame shows, and the best
    // kCandidatesPerFrame of them fitted.
    static constexpr int kLayingsRanked = 30;
    static constexpr int kMinMatches = 8;
    static constexpr int kMinSupport = 10;
    // The field of view a pose starts from when it is not known.
    static constexpr double kStartFieldOfView = 45.0;

    StructureSearch();
    ~StructureSearch();
    StructureSearch(const StructureSearch&) = delete;
    StructureSearch& operator=(const StructureSearch&) = delete;

    // Makes the views of `scene`; the next step starts a new sweep.
    void setScene(std::shared_ptr<const SceneModel> scene);
    // Frames are width × height grey bytes, rows bottom-up, from now on.
    void setImageSize(int width, int height);
    // The next step starts a new sweep.
    void restart() { nextView_ = 0; }

    // One frame's share of the search. `focalLength` (pixels) holds the field of
    // view when known. Fills `found` with the poses supported well enough to
    // hand over, best supported first, and returns how many.
    int step(const unsigned char* grey, std::optional<double> focalLength, std::span<FoundStructure> found);

    int viewCount() const { return int(views_.size()); }
    // Views tried on a frame with `corners` corners.
    int viewsPerFrame(int corners) const;

private:
    struct ViewPoint {
        int index;    // model point
        double u, v;  // in the view, model units at the centre's distance
    };
    // A point on the visible outline, with the unit normal of its edge, in the view.
    struct OutlineSample {
        double u, v;
        double normalU, normalV;
        double edgeLength;
    };
    struct View {
        Vector3 side, up, forward;  // the camera's axes in the world, unrolled
        int first = 0;              // into viewPoints_
        int count = 0;
        int firstSample = 0;        // into outlineSamples_
        int sampleCount = 0;
        double radius = 0.0;        // of its points around the centre
        std::array<std::array<int, 2>, kAnchorPairs> anchors{};  // into viewPoints_
        int anchorCount = 0;
    };
    // A view laid on the frame: a view point (u, v) lands at
    // (centreU, centreV) + (a u − b v, b u + a v) working pixels.
    struct Candidate {
        int view = -1;
        double a = 0.0, b = 0.0;
        double centreU = 0.0, centreV = 0.0;
        int matches = 0;
        double outline = 0.0;  // share of the outline samples the frame shows
    };
    struct Corner {
        double u, v;  // working pixels from the middle, v upwards
    };

    void makeViews();
    // Where `point` lies in `view` from `eye`, `distance` from the centre.
    static void inView(const View& view, const Vector3& eye, double distance, const Vector3& point, double& u,
                       double& v);
    void chooseAnchors(View& view) const;
    void shrinkFrame(const unsigned char* grey);
    void findCorners();
    void markCorners();
    void layView(int view);
    // How many of the view's points land on a frame corner, each corner counted
    // once; a number below `needed` says only that it falls short. `scale`:
    // the laying's, working pixels per view unit.
    int matchesOf(const View& view, const Candidate& laying, double scale, int needed) const;
    // Whether `needed` of them may: a corner counted as often as it is met.
    bool mayMatch(const View& view, const Candidate& laying, double scale, int needed) const;
    int distinctMatches(const View& view, const Candidate& laying, double scale, int needed) const;
    // How far from a corner a point may land, in chamfer units.
    static int toleranceOf(const View& view, double scale);
    void offer(const Candidate& candidate);
    void addOutlineSamples(View& view, const std::vector<OutlineCheck::Edge>& edges, const Vector3& eye, double distance,
                           const BrickOcclusion& occlusion);
    double outlineShareOf(const View& view, const Candidate& laying) const;
    void rankByOutline();
    bool fit(const Candidate& candidate, std::optional<double> focalLength, FoundStructure& found);
    int matchCorners(const double projection[12], const View& view, double radius);
    // Keeps the correspondences that `projection` puts within `radius` of their corner.
    int keepNearCorners(const double projection[12], int count, double radius);
    int supportOf(const double projection[12], const View& view, double radius) const;

    std::shared_ptr<const SceneModel> scene_;
    Vector3 centre_;
    double radius_ = 0.0;  // of the model points around their centre
    std::vector<View> views_;
    std::vector<ViewPoint> viewPoints_;
    std::vector<OutlineSample> outlineSamples_;
    std::vector<int> order_;  // views in sweep order
    int nextView_ = 0;

    int width_ = 0;
    int height_ = 0;
    int shrink_ = 1;  // frame pixels per working pixel
    int workingWidth_ = 0;
    int workingHeight_ = 0;
    std::vector<unsigned char> working_;
    std::vector<CornerPoint> detected_;
    std::vector<CornerPoint> suppressed_;
    FastNonmaxWorkspace nonmax_;
    std::vector<std::pair<int, int>> scored_;  // score, index into suppressed_
    std::vector<Corner> corners_;
    // Per working pixel: the distance to the nearest corner, in working pixels, at most kFar.
    static constexpr std::uint8_t kFar = 255;
    std::vector<std::uint8_t> cornerDistance_;
    std::vector<std::uint8_t> nearestCorner_;  // index into corners_ of that corner
    static_assert(kMaxCorners <= 256, "a corner's index must fit nearestCorner_");
    std::vector<Candidate> candidates_;
    std::array<FoundStructure, kCandidatesPerFrame> fitted_{};

    // Fitting: correspondences of one candidate.
    std::array<Vector3, kMaxScenePoints> modelPoints_{};
    std::array<Vector3, kMaxScenePoints> imagePoints_{};
};

}  // namespace ruins

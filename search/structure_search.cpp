#include "search/structure_search.h"

#include "pose/camera_pose.h"
#include "scene/brick_occlusion.h"
#include "scene/frame_camera.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace ruins {

namespace {

constexpr double kDegrees = kPi / 180.0;
// The views are drawn from this many structure radii away: far enough that
// nearer or farther cameras differ from them mostly in size.
constexpr double kViewDistanceRadii = 4.0;
// A view's corner finds a frame corner within this share of the structure's
// radius in the frame: the difference between a viewpoint and its nearest
// view moves the outer corners by about that much.
constexpr double kToleranceShare = 0.06;
constexpr double kMinTolerance = 1.5;
// The centre may lie this far beyond the frame's middle, in frame sizes.
constexpr double kCentreReach = 0.75;
// Fitting: corners are taken within these many tolerances of where the pose
// puts a point, closer each round.
constexpr std::array<double, 3> kFitRadii{1.5, 0.8, 0.4};
// A pose's support: corners within this many working pixels of its points.
constexpr double kSupportRadius = 2.0;
constexpr double kMinFoundFieldOfView = 10.0;
constexpr double kMaxFoundFieldOfView = 120.0;
// Corner distances are kept in quarter pixels.
constexpr double kDistanceUnit = 4.0;
// Outline samples per brick edge, the shortest edge judged (working pixels),
// and how far off a laying may put its outline (working pixels): a laying is
// only near, its outer edges a tolerance off.
constexpr int kSamplesPerEdge = 4;
constexpr double kMinEdgePixels = 4.0;
constexpr int kOutlineReach = 2;
constexpr int kMinOutlineSamples = 12;
// Whether a sample is hidden is asked of every brick, for every view: past
// this many bricks (a hostile scene may have ten thousand) the views are
// made without their outline, and layings are ranked by their corners alone.
constexpr std::size_t kMaxOutlineBricks = 1000;

}  // namespace

StructureSearch::StructureSearch() = default;
StructureSearch::~StructureSearch() = default;

void StructureSearch::setScene(std::shared_ptr<const SceneModel> scene)
{
    scene_ = std::move(scene);
    makeViews();
    restart();
}

void StructureSearch::setImageSize(int width, int height)
{
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    shrink_ = std::max(1, (height_ + kWorkingHeight - 1) / kWorkingHeight);
    workingWidth_ = width_ / shrink_;
    workingHeight_ = height_ / shrink_;
    working_.assign(std::size_t(workingWidth_) * std::size_t(workingHeight_), 0);
    cornerDistance_.assign(working_.size(), kFar);
    nearestCorner_.assign(working_.size(), 0);
    corners_.reserve(kMaxCorners);
    candidates_.reserve(kLayingsRanked + 1);
    restart();
}

int StructureSearch::viewsPerFrame(int corners) const
{
    const int sweepShare = (int(views_.size()) + kFramesPerSweep - 1) / kFramesPerSweep;
    const long long perView = std::max(1LL, (long long)kAnchorPairs * corners * std::max(corners - 1, 1));
    return int(std::clamp<long long>(kLayingsPerFrame / perView, 1, sweepShare));
}

void StructureSearch::makeViews()
{
    views_.clear();
    viewPoints_.clear();
    outlineSamples_.clear();
    order_.clear();
    if (!scene_ || scene_->points.empty()) return;
    const std::vector<Vector3>& points = scene_->points;
    centre_ = scene_->pointsCentre();
    double radius = 0.0;
    for (const Vector3& p : points) radius = std::max(radius, std::sqrt(dot(p - centre_, p - centre_)));
    if (!(radius > 0.0)) return;
    radius_ = radius;
    const double distance = kViewDistanceRadii * radius;

    const BrickOcclusion occlusion(*scene_);
    const OutlineCheck outline(*scene_);
    const bool withOutline = scene_->realBricks().size() <= kMaxOutlineBricks;

    std::vector<std::uint8_t> visible(points.size());
    for (double elevation = kMinElevation; elevation <= kMaxElevation + 1e-9; elevation += kDirectionStep) {
        const int ring = std::max(1, int(std::lround(360.0 * std::cos(elevation * kDegrees) / kDirectionStep)));
        for (int a = 0; a < ring; ++a) {
            const double azimuth = 360.0 * a / ring * kDegrees;
            const double e = elevation * kDegrees;
            const Vector3 toEye{std::cos(e) * std::cos(azimuth), std::cos(e) * std::sin(azimuth), std::sin(e)};
            const Vector3 eye = centre_ + distance * toEye;
            int visibleCount = 0;
            for (std::size_t i = 0; i < points.size(); ++i) {
                visible[i] = scene_->seenAsCorner(int(i)) && !occlusion.hides(points[i], eye);
                visibleCount += visible[i];
            }
            if (visibleCount < kMinMatches) continue;
            View view;
            view.forward = -1.0 * toEye;
            view.side = cross(view.forward, {0.0, 0.0, 1.0});
            view.side.normalize();
            view.up = cross(view.side, view.forward);
            view.first = int(viewPoints_.size());
            for (std::size_t i = 0; i < points.size(); ++i) {
                if (!visible[i]) continue;
                double u, v;
                inView(view, eye, distance, points[i], u, v);
                viewPoints_.push_back({int(i), u, v});
                view.radius = std::max(view.radius, std::hypot(u, v));
            }
            view.count = int(viewPoints_.size()) - view.first;
            chooseAnchors(view);
            if (withOutline) addOutlineSamples(view, outline.edges(), eye, distance, occlusion);
            views_.push_back(view);
        }
    }
    // Sweep order: consecutive shares spread over all directions.
    order_.resize(views_.size());
    std::iota(order_.begin(), order_.end(), 0);
    const double golden = 0.6180339887498949;
    std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
        return std::fmod(a * golden, 1.0) < std::fmod(b * golden, 1.0);
    });
}

void StructureSearch::inView(const View& view, const Vector3& eye, double distance, const Vector3& point, double& u,
                              double& v)
{
    const Vector3 rel = point - eye;
    const double depth = dot(view.forward, rel);
    u = distance * dot(view.side, rel) / depth;
    v = distance * dot(view.up, rel) / depth;
}

void StructureSearch::chooseAnchors(View& view) const
{
    // Long pairs fix size and roll best; pairs of points far apart in the
    // order round the centre are long, and no point serves twice where it
    // can be helped.
    std::vector<std::pair<double, int>> around;
    for (int p = view.first; p < view.first + view.count; ++p) {
        const ViewPoint& point = viewPoints_[std::size_t(p)];
        around.emplace_back(std::atan2(point.v, point.u), p);
    }
    std::sort(around.begin(), around.end());
    const int n = int(around.size());
    view.anchorCount = 0;
    for (int m = 0; m < n && view.anchorCount < kAnchorPairs; ++m) {
        const int first = around[std::size_t((m * n) / std::min(n, kAnchorPairs) % n)].second;
        const int second = around[std::size_t(((m * n) / std::min(n, kAnchorPairs) + n / 2) % n)].second;
        if (first == second) continue;
        view.anchors[std::size_t(view.anchorCount++)] = {first, second};
    }
}

void StructureSearch::addOutlineSamples(View& view, const std::vector<OutlineCheck::Edge>& edges, const Vector3& eye,
                                         double distance, const BrickOcclusion& occlusion)
{
    const auto project = [&](const Vector3& point, double& u, double& v) { inView(view, eye, distance, point, u, v); };
    view.firstSample = int(outlineSamples_.size());
    // Every edge of a usual structure; an even spread of them for a huge one.
    const std::size_t stride = edges.size() / OutlineCheck::kMaxEdgesJudged + 1;
    for (std::size_t e = 0; e < edges.size(); e += stride) {
        const OutlineCheck::Edge& edge = edges[e];
        double fromU, fromV, toU, toV;
        project(edge.from, fromU, fromV);
        project(edge.to, toU, toV);
        const double length = std::hypot(toU - fromU, toV - fromV);
        if (!(length > 0.0)) continue;
        for (int n = 0; n < kSamplesPerEdge; ++n) {
            const Vector3 point = edge.from + (n + 0.5) / kSamplesPerEdge * (edge.to - edge.from);
            if (occlusion.hides(point, eye)) continue;
            OutlineSample sample{0.0, 0.0, -(toV - fromV) / length, (toU - fromU) / length, length};
            project(point, sample.u, sample.v);
            outlineSamples_.push_back(sample);
        }
    }
    view.sampleCount = int(outlineSamples_.size()) - view.firstSample;
}

double StructureSearch::outlineShareOf(const View& view, const Candidate& laying) const
{
    const double scale = std::hypot(laying.a, laying.b);
    const double c = laying.a / scale, s = laying.b / scale;
    // Working pixel (c, r) has its centre at (c, r).
    const double offsetX = laying.centreU + workingWidth_ / 2.0;
    const double offsetY = laying.centreV + workingHeight_ / 2.0;
    int judged = 0, shown = 0;
    for (int n = view.firstSample; n < view.firstSample + view.sampleCount; ++n) {
        const OutlineSample& sample = outlineSamples_[std::size_t(n)];
        if (sample.edgeLength * scale < kMinEdgePixels) continue;
        const double x = laying.a * sample.u - laying.b * sample.v + offsetX;
        const double y = laying.b * sample.u + laying.a * sample.v + offsetY;
        const double margin = kOutlineReach + 2.0;
        if (!(x >= margin && y >= margin && x < workingWidth_ - margin && y < workingHeight_ - margin)) continue;
        ++judged;
        shown += stepAcross(working_.data(), nullptr, workingWidth_, workingHeight_, x, y,
                            c * sample.normalU - s * sample.normalV, s * sample.normalU + c * sample.normalV,
                            kOutlineReach) >= OutlineCheck::kMinStep;
    }
    return judged >= kMinOutlineSamples ? double(shown) / judged : 0.0;
}

void StructureSearch::rankByOutline()
{
    for (Candidate& candidate : candidates_)
        candidate.outline = outlineShareOf(views_[std::size_t(candidate.view)], candidate);
    // Near likenesses (a laying a block along a stack of alike blocks) often
    // match a few more corners than the right one, but put some of their
    // outline where the frame has none. Sorted in place, equals kept in order:
    // a stable sort would take a buffer every frame.
    const auto better = [](const Candidate& x, const Candidate& y) {
        return x.matches * x.outline > y.matches * y.outline;
    };
    for (auto next = candidates_.begin(); next != candidates_.end(); ++next)
        std::rotate(std::upper_bound(candidates_.begin(), next, *next, better), next, next + 1);
    if (int(candidates_.size()) > kCandidatesPerFrame) candidates_.resize(kCandidatesPerFrame);
}

void StructureSearch::shrinkFrame(const unsigned char* grey)
{
    const int k = shrink_;
    for (int y = 0; y < workingHeight_; ++y)
        for (int x = 0; x < workingWidth_; ++x) {
            int sum = 0;
            for (int dy = 0; dy < k; ++dy) {
                const unsigned char* row = grey + std::size_t(y * k + dy) * std::size_t(width_) + std::size_t(x * k);
                for (int dx = 0; dx < k; ++dx) sum += row[dx];
            }
            working_[std::size_t(y) * std::size_t(workingWidth_) + std::size_t(x)] =
                static_cast<unsigned char>((sum + k * k / 2) / (k * k));
        }
}

void StructureSearch::findCorners()
{
    corners_.clear();
    fast9Detect(working_.data(), workingWidth_, workingHeight_, kCornerThreshold, detected_);
    if (!fastNonmaxSuppression(working_.data(), workingWidth_, workingHeight_, detected_.data(),
                               int(detected_.size()), kCornerThreshold, suppressed_, nonmax_))
        return;
    const FastCircleOffsets offsets = fastCircleOffsets(workingWidth_);
    scored_.clear();
    for (std::size_t i = 0; i < suppressed_.size(); ++i) {
        const CornerPoint& c = suppressed_[i];
        const unsigned char* centre = working_.data() + std::size_t(c.y) * std::size_t(workingWidth_) + std::size_t(c.x);
        scored_.emplace_back(fast9Score(centre, offsets, kCornerThreshold), int(i));
    }
    const std::size_t kept = std::min<std::size_t>(scored_.size(), kMaxCorners);
    std::partial_sort(scored_.begin(), scored_.begin() + std::ptrdiff_t(kept), scored_.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
    const double k = shrink_;
    for (std::size_t n = 0; n < kept; ++n) {
        const CornerPoint& c = suppressed_[std::size_t(scored_[n].second)];
        // The working pixel's centre in frame pixels from the middle, in working pixels.
        corners_.push_back({(c.x * k + (k - 1.0) / 2.0 - width_ / 2.0) / k,
                            (c.y * k + (k - 1.0) / 2.0 - height_ / 2.0) / k});
    }
}

int StructureSearch::step(const unsigned char* grey, std::optional<double> focalLength, std::span<FoundStructure> found)
{
    if (!grey || views_.empty() || height_ < kMinFrameHeight) return 0;
    shrinkFrame(grey);
    findCorners();
    const int share = viewsPerFrame(int(corners_.size()));
    const int first = nextView_;
    nextView_ = (nextView_ + share) % int(views_.size());
    if (int(corners_.size()) < kMinMatches) return 0;
    markCorners();
    candidates_.clear();
    for (int n = 0; n < share; ++n) layView(order_[std::size_t((first + n) % int(views_.size()))]);
    rankByOutline();
    int count = 0;
    for (const Candidate& candidate : candidates_) {
        FoundStructure& fitted = fitted_[std::size_t(count)];
        if (fit(candidate, focalLength, fitted) && fitted.support >= std::max(kMinSupport, (fitted.visible + 1) / 2))
            ++count;
    }
    std::stable_sort(fitted_.begin(), fitted_.begin() + count,
                     [](const FoundStructure& a, const FoundStructure& b) { return a.support > b.support; });
    const int handed = std::min(count, int(found.size()));
    std::copy_n(fitted_.begin(), handed, found.begin());
    return handed;
}

void StructureSearch::markCorners()
{
    // Two passes of a chamfer distance (1 along, 1.4 across) in quarter pixels.
    const int w = workingWidth_;
    const int h = workingHeight_;
    std::fill(cornerDistance_.begin(), cornerDistance_.end(), kFar);
    for (std::size_t n = 0; n < corners_.size(); ++n) {
        const int x = std::clamp(int(std::lround(corners_[n].u + w / 2.0 - 0.5)), 0, w - 1);
        const int y = std::clamp(int(std::lround(corners_[n].v + h / 2.0 - 0.5)), 0, h - 1);
        cornerDistance_[std::size_t(y) * std::size_t(w) + std::size_t(x)] = 0;
        nearestCorner_[std::size_t(y) * std::size_t(w) + std::size_t(x)] = static_cast<std::uint8_t>(n);
    }
    auto relax = [&](std::size_t at, std::size_t from, int step) {
        const int d = cornerDistance_[from] + step;
        if (d < cornerDistance_[at]) {
            cornerDistance_[at] = static_cast<std::uint8_t>(d);
            nearestCorner_[at] = nearestCorner_[from];
        }
    };
    constexpr int straight = 4;
    constexpr int diagonal = 6;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t at = std::size_t(y) * std::size_t(w) + std::size_t(x);
            if (x > 0) relax(at, at - 1, straight);
            if (y > 0) {
                relax(at, at - std::size_t(w), straight);
                if (x > 0) relax(at, at - std::size_t(w) - 1, diagonal);
                if (x + 1 < w) relax(at, at - std::size_t(w) + 1, diagonal);
            }
        }
    for (int y = h - 1; y >= 0; --y)
        for (int x = w - 1; x >= 0; --x) {
            const std::size_t at = std::size_t(y) * std::size_t(w) + std::size_t(x);
            if (x + 1 < w) relax(at, at + 1, straight);
            if (y + 1 < h) {
                relax(at, at + std::size_t(w), straight);
                if (x + 1 < w) relax(at, at + std::size_t(w) + 1, diagonal);
                if (x > 0) relax(at, at + std::size_t(w) - 1, diagonal);
            }
        }
}

int StructureSearch::matchesOf(const View& view, const Candidate& laying, double scale, int needed) const
{
    // Sifted quickly first, a corner counted as often as it is met (never
    // fewer); a laying that may be kept is counted again, each corner once:
    // one shrunk onto a cluster of corners lands several of its points on the same one.
    return mayMatch(view, laying, scale, needed) ? distinctMatches(view, laying, scale, needed) : 0;
}

bool StructureSearch::mayMatch(const View& view, const Candidate& laying, double scale, int needed) const
{
    // Nearly every laying is a chance one: its points are counted with no
    // branch on whether they met a corner, which the processor could not foretell.
    const int tolerance = toleranceOf(view, scale);
    // Half a pixel on, so that truncating rounds to the nearest pixel wherever it counts: inside the frame.
    const double offsetX = laying.centreU + workingWidth_ / 2.0;
    const double offsetY = laying.centreV + workingHeight_ / 2.0;
    const double width = workingWidth_;
    const double height = workingHeight_;
    const int stride = workingWidth_;
    const std::uint8_t* distance = cornerDistance_.data();
    const ViewPoint* point = viewPoints_.data() + view.first;
    int matches = 0;
    for (int left = view.count; left > 0; --left, ++point) {
        if (matches + left < needed) return false;
        const double x = laying.a * point->u - laying.b * point->v + offsetX;
        const double y = laying.b * point->u + laying.a * point->v + offsetY;
        if (!(x >= 0.0 && y >= 0.0 && x < width && y < height)) continue;
        matches += int(distance[int(y) * stride + int(x)] <= tolerance);
    }
    return matches >= needed;
}

int StructureSearch::distinctMatches(const View& view, const Candidate& laying, double scale, int needed) const
{
    const int tolerance = toleranceOf(view, scale);
    const double offsetX = laying.centreU + workingWidth_ / 2.0;
    const double offsetY = laying.centreV + workingHeight_ / 2.0;
    const double width = workingWidth_;
    const double height = workingHeight_;
    std::array<std::uint64_t, (kMaxCorners + 63) / 64> taken{};
    int matches = 0;
    int left = view.count;
    for (int p = view.first; p < view.first + view.count; ++p, --left) {
        if (matches + left < needed) return matches;
        const ViewPoint& point = viewPoints_[std::size_t(p)];
        const double x = laying.a * point.u - laying.b * point.v + offsetX;
        const double y = laying.b * point.u + laying.a * point.v + offsetY;
        if (!(x >= 0.0 && y >= 0.0 && x < width && y < height)) continue;
        const std::size_t at = std::size_t(y) * std::size_t(workingWidth_) + std::size_t(x);
        if (cornerDistance_[at] > tolerance) continue;
        const int corner = nearestCorner_[at];
        const std::uint64_t bit = std::uint64_t(1) << (corner % 64);
        if (taken[std::size_t(corner / 64)] & bit) continue;
        taken[std::size_t(corner / 64)] |= bit;
        ++matches;
    }
    return matches;
}

int StructureSearch::toleranceOf(const View& view, double scale)
{
    return int(std::max(kMinTolerance, kToleranceShare * scale * view.radius) * kDistanceUnit);
}

void StructureSearch::layView(int viewIndex)
{
    const View& view = views_[std::size_t(viewIndex)];
    const double smallest = kMinRadiusShare * workingHeight_ / radius_;
    const double largest = kMaxRadiusShare * workingHeight_ / radius_;
    const double reachU = kCentreReach * workingWidth_;
    const double reachV = kCentreReach * workingHeight_;
    for (int n = 0; n < view.anchorCount; ++n) {
        const ViewPoint& p = viewPoints_[std::size_t(view.anchors[std::size_t(n)][0])];
        const ViewPoint& q = viewPoints_[std::size_t(view.anchors[std::size_t(n)][1])];
        const double tu = q.u - p.u;
        const double tv = q.v - p.v;
        const double length2 = tu * tu + tv * tv;
        if (!(length2 > 0.0)) continue;
        const double inverse = 1.0 / length2;
        for (const Corner& from : corners_)
            for (const Corner& to : corners_) {
                const double cu = to.u - from.u;
                const double cv = to.v - from.v;
                // The turn and size that take the view's pair onto the corners': c / t as complex numbers.
                const double a = (cu * tu + cv * tv) * inverse;
                const double b = (cv * tu - cu * tv) * inverse;
                const double scale2 = a * a + b * b;
                if (scale2 < smallest * smallest || scale2 > largest * largest) continue;
                Candidate laying{viewIndex, a, b, from.u - (a * p.u - b * p.v), from.v - (b * p.u + a * p.v), 0};
                if (std::abs(laying.centreU) > reachU || std::abs(laying.centreV) > reachV) continue;
                const int needed = int(candidates_.size()) >= kLayingsRanked
                                       ? std::max(kMinMatches, candidates_.back().matches + 1)
                                       : kMinMatches;
                laying.matches = matchesOf(view, laying, std::sqrt(scale2), needed);
                if (laying.matches >= needed) offer(laying);
            }
    }
}

void StructureSearch::offer(const Candidate& candidate)
{
    // The same laying found from another pair of corners is one candidate.
    for (Candidate& c : candidates_)
        if (c.view == candidate.view && std::hypot(c.centreU - candidate.centreU, c.centreV - candidate.centreV) < 3.0) {
            if (candidate.matches <= c.matches) return;
            c = candidate;
            std::stable_sort(candidates_.begin(), candidates_.end(),
                             [](const Candidate& x, const Candidate& y) { return x.matches > y.matches; });
            return;
        }
    auto place = std::find_if(candidates_.begin(), candidates_.end(),
                              [&](const Candidate& c) { return candidate.matches > c.matches; });
    if (place == candidates_.end() && int(candidates_.size()) >= kLayingsRanked) return;
    candidates_.insert(place, candidate);
    if (int(candidates_.size()) > kLayingsRanked) candidates_.pop_back();
}

int StructureSearch::matchCorners(const double projection[12], const View& view, double radius)
{
    const double k = shrink_;
    const double reach = radius * radius;
    int n = 0;
    for (int p = view.first; p < view.first + view.count; ++p) {
        const int index = viewPoints_[std::size_t(p)].index;
        const Vector3& point = scene_->points[std::size_t(index)];
        double u, v;
        if (!projectPoint(projection, point, u, v)) continue;
        double nearest = reach;
        const Corner* chosen = nullptr;
        for (const Corner& corner : corners_) {
            const double du = corner.u * k - u;
            const double dv = corner.v * k - v;
            const double d = du * du + dv * dv;
            if (d < nearest) {
                nearest = d;
                chosen = &corner;
            }
        }
        if (!chosen) continue;
        modelPoints_[std::size_t(n)] = point;
        imagePoints_[std::size_t(n)] = {chosen->u * k, chosen->v * k, 0.0};
        ++n;
    }
    return n;
}

int StructureSearch::keepNearCorners(const double projection[12], int count, double radius)
{
    int kept = 0;
    for (int n = 0; n < count; ++n) {
        double u, v;
        const Vector3& image = imagePoints_[std::size_t(n)];
        if (!projectPoint(projection, modelPoints_[std::size_t(n)], u, v) || std::hypot(u - image.x, v - image.y) > radius)
            continue;
        modelPoints_[std::size_t(kept)] = modelPoints_[std::size_t(n)];
        imagePoints_[std::size_t(kept)] = image;
        ++kept;
    }
    return kept;
}

int StructureSearch::supportOf(const double projection[12], const View& view, double radius) const
{
    const double k = shrink_;
    int support = 0;
    for (int p = view.first; p < view.first + view.count; ++p) {
        double u, v;
        if (!projectPoint(projection, scene_->points[std::size_t(viewPoints_[std::size_t(p)].index)], u, v)) continue;
        support += std::any_of(corners_.begin(), corners_.end(), [&](const Corner& c) {
            return std::hypot(c.u * k - u, c.v * k - v) <= radius;
        });
    }
    return support;
}

bool StructureSearch::fit(const Candidate& candidate, std::optional<double> focalLength, FoundStructure& found)
{
    const View& unrolled = views_[std::size_t(candidate.view)];
    const double k = shrink_;
    const double focal = focalLength ? *focalLength : (height_ / 2.0) / std::tan(kStartFieldOfView / 2.0 * kDegrees);
    const double scale = std::hypot(candidate.a, candidate.b);
    // The laying's turn is the camera's roll the other way.
    const double c = candidate.a / scale;
    const double s = candidate.b / scale;
    View view = unrolled;
    view.side = c * unrolled.side - s * unrolled.up;
    view.up = c * unrolled.up + s * unrolled.side;
    // At distance D a model unit near the centre spans focal / D frame pixels.
    const double distance = focal / (scale * k);
    const Vector3 eye = centre_ - distance * view.forward;
    Vector3 fittedEye = eye;
    // Turn the camera about its eye until the centre lies where the laying put it:
    // the rotation taking the optical axis to the centre's ray.
    Vector3 ray{candidate.centreU * k / focal, candidate.centreV * k / focal, 1.0};
    ray.normalize();
    const double angle = std::acos(std::clamp(ray.z, -1.0, 1.0));
    const double axisLength = std::hypot(ray.x, ray.y);
    double q[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (axisLength > 1e-12) {
        const double ax = -ray.y / axisLength;
        const double ay = ray.x / axisLength;
        const double co = std::cos(angle);
        const double si = std::sin(angle);
        // Rodrigues for the axis (ax, ay, 0).
        q[0] = co + ax * ax * (1 - co);
        q[1] = ax * ay * (1 - co);
        q[2] = ay * si;
        q[3] = ay * ax * (1 - co);
        q[4] = co + ay * ay * (1 - co);
        q[5] = -ax * si;
        q[6] = -ay * si;
        q[7] = ax * si;
        q[8] = co;
    }
    const Vector3 axes[3] = {view.side, view.up, view.forward};
    double projection[12];
    for (int row = 0; row < 3; ++row) {
        const Vector3 axis = q[3 * row] * axes[0] + q[3 * row + 1] * axes[1] + q[3 * row + 2] * axes[2];
        const double scale = row < 2 ? focal : 1.0;
        projection[4 * row] = scale * axis.x;
        projection[4 * row + 1] = scale * axis.y;
        projection[4 * row + 2] = scale * axis.z;
        projection[4 * row + 3] = -scale * dot(axis, eye);
    }

    const double tolerance = std::max(kMinTolerance, kToleranceShare * scale * view.radius) * k;
    const int minimum = focalLength ? 6 : 7;
    for (std::size_t round = 0; round < kFitRadii.size(); ++round) {
        const double radius = std::max(kFitRadii[round] * tolerance, kSupportRadius * k);
        int n = matchCorners(projection, view, radius);
        // Fewer corners near its points than a pose needs to be handed over: no use fitting on.
        if (n < kMinSupport) return false;
        // The field of view is left free only on the last round, from enough corners near their points.
        const bool free = !focalLength && round + 1 == kFitRadii.size() && n >= 12;
        double refined[12];
        Vector3 e = fittedEye;
        for (int pass = 0; pass < 2; ++pass) {
            if (n < minimum) return false;
            double linear[12];
            std::copy(projection, projection + 12, refined);
            Vector3 lookAt, up;
            const int ok = free ? estimateCameraPose(n, modelPoints_.data(), imagePoints_.data(), linear, refined, e,
                                                     lookAt, up)
                                : estimateCameraPoseWithFocalLength(n, modelPoints_.data(), imagePoints_.data(),
                                                                    focal, linear, refined, e, lookAt, up);
            if (ok != 1) return false;
            // Corners taken by the wrong points pull the pose; fit again without the worst.
            if (pass == 0) n = keepNearCorners(refined, n, std::max(kSupportRadius * k, 0.5 * radius));
        }
        if (free) {
            const double f = std::sqrt(refined[0] * refined[0] + refined[1] * refined[1] + refined[2] * refined[2]);
            const double fov = 2.0 * std::atan(height_ / (2.0 * f)) / kDegrees;
            if (!(fov >= kMinFoundFieldOfView && fov <= kMaxFoundFieldOfView)) return false;
        }
        std::copy(refined, refined + 12, projection);
        fittedEye = e;
    }
    found.eye = fittedEye;
    found.support = supportOf(projection, view, kSupportRadius * k);
    found.visible = view.count;
    found.pointCount = scene_->pointCount();
    found.focalLength = projectionFocalLength(projection);
    for (int i = 0; i < found.pointCount; ++i) {
        double u = 0.0, v = 0.0;
        found.inFront[std::size_t(i)] = projectPoint(projection, scene_->points[std::size_t(i)], u, v);
        found.x[std::size_t(i)] = u + width_ / 2.0;
        found.y[std::size_t(i)] = v + height_ / 2.0;
    }
    return true;
}

}  // namespace ruins

#include "reconstruction/model_following.h"

#include "pose/camera_pose.h"
#include "scene/ruins_model.h"
#include "scene/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace ruins {

namespace {

constexpr int kRefinementIterations = 8;
constexpr double kConvergedShift = 0.01;  // pixels
// On a picture smoothed more the point only needs to come near: the lightly
// smoothed picture finishes it.
constexpr double kCoarseConvergedShift = 0.1;
// Mean squared gradient (8-bit levels per pixel) the weaker direction must
// reach: sensor noise after the light smoothing stays well below it.
constexpr double kMinCornerStrength = 4.0;
// Near the apex the blurred gradients of the edges mix and pull the point into
// the wedge (by 0.1 to 0.25 px on a clean corner); only the gradients along the
// arms lie on lines through the corner.
constexpr double kApexRadius = 1.5;
constexpr double kRobustSigmaPerMedian = 1.4826;
constexpr double kOutlierSigmas = 3.0;

constexpr int kMaxSmoothedSide = 2 * (kMaxRefinementRadius + 1) + 1;
// How far the refinement may move the point found on the more smoothed picture,
// on the lightly smoothed one: the smoothing's own pull into the wedge is
// smaller, the pull of texture the smoothing washed out can be larger.
constexpr double kSharpeningShift = 1.0;

struct SecondMoments {
    double xx = 0.0, xy = 0.0, yy = 0.0;  // Σ w g gᵀ
    double bx = 0.0, by = 0.0;            // Σ w g gᵀ q
    double weight = 0.0;
};

// The binomial weights of `smoothing` rounds of [1 2 1]: row 2·smoothing of
// Pascal's triangle, which sums to 4^smoothing.
std::array<int, 2 * kMaxSmoothing + 1> binomialTaps(int smoothing)
{
    std::array<int, 2 * kMaxSmoothing + 1> taps{};
    taps[0] = 1;
    for (int n = 1; n <= 2 * smoothing; ++n)
        for (int k = n; k > 0; --k) taps[std::size_t(k)] += taps[std::size_t(k - 1)];
    return taps;
}

// The binomial smoothing around (cx, cy), side 2·radius + 3, of one channel of a
// frame with `channels` interleaved channels, separable and in exact integers.
void smoothPatch(const GreyFrame& frame, int channels, int channel, int cx, int cy, int radius, int smoothing,
                 float* smoothed)
{
    const unsigned char* pixels = channels == 1 ? frame.pixels : frame.rgb;
    const std::array<int, 2 * kMaxSmoothing + 1> weights = binomialTaps(smoothing);
    const int reach = radius + 1;
    const int side = 2 * reach + 1;
    const int rows = side + 2 * smoothing;
    const int taps = 2 * smoothing + 1;
    // Tap by tap over whole rows, so the inner loops run along memory.
    std::array<int, kMaxSmoothedSide * (kMaxSmoothedSide + 2 * kMaxSmoothing)> across{};  // smoothed along rows
    const std::size_t stride = std::size_t(frame.width) * std::size_t(channels);
    const std::size_t step = std::size_t(channels);
    for (int r = 0; r < rows; ++r) {
        const unsigned char* row = pixels + std::size_t(cy - reach - smoothing + r) * stride +
                                   std::size_t(cx - reach - smoothing) * step + std::size_t(channel);
        int* out = across.data() + std::size_t(r * side);
        for (int k = 0; k < taps; ++k) {
            const int weight = weights[std::size_t(k)];
            const unsigned char* in = row + std::size_t(k) * step;
            for (int x = 0; x < side; ++x) out[x] += weight * in[std::size_t(x) * step];
        }
    }
    std::array<int, kMaxSmoothedSide> column;
    const float scale = 1.0f / float(1 << (4 * smoothing));
    for (int y = 0; y < side; ++y) {
        column.fill(0);
        for (int k = 0; k < taps; ++k) {
            const int weight = weights[std::size_t(k)];
            const int* in = across.data() + std::size_t((y + k) * side);
            for (int x = 0; x < side; ++x) column[std::size_t(x)] += weight * in[x];
        }
        for (int x = 0; x < side; ++x) smoothed[y * side + x] = float(column[std::size_t(x)]) * scale;
    }
}

SecondMoments gatherMoments(const float* smoothed, int cx, int cy, int radius, const SubpixelPoint& centre)
{
    const int side = 2 * radius + 3;
    const auto at = [&](int dx, int dy) { return double(smoothed[(dy + radius + 1) * side + (dx + radius + 1)]); };
    // Gaussian weights about the current estimate, separable, wide: the arms of
    // the corner carry the information.
    const double sigma = radius;
    std::array<double, 2 * kMaxRefinementRadius + 1> wx{}, wy{};
    for (int d = -radius; d <= radius; ++d) {
        const double ox = cx + d - centre.x;
        const double oy = cy + d - centre.y;
        wx[std::size_t(d + radius)] = std::exp(-ox * ox / (2.0 * sigma * sigma));
        wy[std::size_t(d + radius)] = std::exp(-oy * oy / (2.0 * sigma * sigma));
    }
    SecondMoments m;
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            const double ox = cx + dx - centre.x, oy = cy + dy - centre.y;
            if (ox * ox + oy * oy < kApexRadius * kApexRadius) continue;
            const double w = wx[std::size_t(dx + radius)] * wy[std::size_t(dy + radius)];
            const double gx = 0.5 * (at(dx + 1, dy) - at(dx - 1, dy));
            const double gy = 0.5 * (at(dx, dy + 1) - at(dx, dy - 1));
            const double gxx = w * gx * gx, gxy = w * gx * gy, gyy = w * gy * gy;
            const double qx = cx + dx, qy = cy + dy;
            m.xx += gxx;
            m.xy += gxy;
            m.yy += gyy;
            m.bx += gxx * qx + gxy * qy;
            m.by += gxy * qx + gyy * qy;
            m.weight += w;
        }
    }
    return m;
}

// The smoothed window around one centre pixel, of the grey frame or of each
// channel of the colour frame, kept while the refinement's estimate stays on
// that pixel: most of its steps move less than half a pixel.
class SmoothedWindow {
public:
    SmoothedWindow(const GreyFrame& frame, bool colour, int radius, int smoothing)
        : frame_(frame), colour_(colour), radius_(radius), smoothing_(smoothing)
    {
    }

    // The moments of the window around (cx, cy), weighted about `centre`.
    // Averaged over the channels, not summed: a corner the grey shows too
    // faintly (blurred, say) is as faint in the average, and stays refused.
    SecondMoments moments(int cx, int cy, const SubpixelPoint& centre)
    {
        if (!(smoothed_ && cx == cx_ && cy == cy_)) smooth(cx, cy);
        if (!colour_) return gatherMoments(patches_[0].data(), cx, cy, radius_, centre);
        SecondMoments sum;
        for (const auto& patch : patches_) {
            const SecondMoments m = gatherMoments(patch.data(), cx, cy, radius_, centre);
            sum.xx += m.xx / 3.0;
            sum.xy += m.xy / 3.0;
            sum.yy += m.yy / 3.0;
            sum.bx += m.bx / 3.0;
            sum.by += m.by / 3.0;
            sum.weight = m.weight;  // the same window for every channel
        }
        return sum;
    }

private:
    void smooth(int cx, int cy)
    {
        if (!colour_) {
            smoothPatch(frame_, 1, 0, cx, cy, radius_, smoothing_, patches_[0].data());
        } else {
            for (int channel = 0; channel < 3; ++channel)
                smoothPatch(frame_, 3, channel, cx, cy, radius_, smoothing_, patches_[std::size_t(channel)].data());
        }
        cx_ = cx;
        cy_ = cy;
        smoothed_ = true;
    }

    const GreyFrame& frame_;
    bool colour_;
    int radius_;
    int smoothing_;
    bool smoothed_ = false;
    int cx_ = 0;
    int cy_ = 0;
    std::array<std::array<float, kMaxSmoothedSide * kMaxSmoothedSide>, 3> patches_;
};

// The smaller and larger eigenvalues of the moments' 2 × 2 matrix.
std::pair<double, double> eigenvalues(const SecondMoments& m)
{
    const double half = 0.5 * (m.xx + m.yy);
    const double spread = std::sqrt(std::max(0.0, half * half - (m.xx * m.yy - m.xy * m.xy)));
    return {half - spread, half + spread};
}

bool tooWeak(const SecondMoments& m) { return !(eigenvalues(m).first >= kMinCornerStrength * m.weight); }

bool isCorner(const SecondMoments& m)
{
    const auto [smaller, larger] = eigenvalues(m);
    return larger > 0.0 && smaller >= kMinCornerStrength * m.weight && smaller >= kMinCornerEigenvalueRatio * larger;
}

// The pixels the smoothed gradients reach beyond the window: one for the
// central difference, one per round of smoothing.
bool windowInside(const GreyFrame& frame, int cx, int cy, int radius, int smoothing)
{
    const int reach = radius + 1 + smoothing;
    return cx - reach >= 0 && cy - reach >= 0 && cx + reach < frame.width && cy + reach < frame.height;
}

double distance(const SubpixelPoint& a, const SubpixelPoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

bool reprojectToFrame(const double projection[12], const Vector3& point, int width, int height,
                      SubpixelPoint& position)
{
    double u = 0.0, v = 0.0;
    if (!projectPoint(projection, point, u, v)) return false;
    position = {u + width * 0.5, v + height * 0.5};
    return true;
}

void claimCornersNearPredictions(const SubpixelPoint* predictions, const std::uint8_t* usable, int count,
                                 const CornerPoint* corners, int cornerCount, double radius, SubpixelPoint* starts)
{
    count = std::clamp(count, 0, kMaxScenePoints);
    std::array<int, kMaxScenePoints> nearest;
    std::array<double, kMaxScenePoints> nearestDistance;
    for (int i = 0; i < count; ++i) {
        nearest[std::size_t(i)] = -1;
        nearestDistance[std::size_t(i)] = radius * radius;
        if (!usable[i] || !corners) continue;
        for (int j = 0; j < cornerCount; ++j) {
            if (corners[j].x < 0 || corners[j].y < 0) continue;
            const double dx = corners[j].x - predictions[i].x;
            const double dy = corners[j].y - predictions[i].y;
            const double d = dx * dx + dy * dy;
            if (d <= nearestDistance[std::size_t(i)]) {
                // Strictly nearer, or the first corner at the very edge of the radius.
                if (nearest[std::size_t(i)] >= 0 && d == nearestDistance[std::size_t(i)]) continue;
                nearestDistance[std::size_t(i)] = d;
                nearest[std::size_t(i)] = j;
            }
        }
    }
    for (int i = 0; i < count; ++i) {
        starts[i] = predictions[i];
        const int j = nearest[std::size_t(i)];
        if (j < 0) continue;
        bool keeps = true;
        for (int k = 0; k < count && keeps; ++k) {
            if (k == i || nearest[std::size_t(k)] != j) continue;
            const double other = nearestDistance[std::size_t(k)];
            keeps = other > nearestDistance[std::size_t(i)] || (other == nearestDistance[std::size_t(i)] && k > i);
        }
        if (keeps) starts[i] = {double(corners[j].x), double(corners[j].y)};
    }
}

namespace {

enum class Refinement { Found, TooWeak, NotFound };

Refinement refineCornerOn(const GreyFrame& frame, bool colour, const SubpixelPoint& start, int radius,
                          int smoothing, double maxShift, SubpixelPoint& refined)
{
    SmoothedWindow window(frame, colour, radius, smoothing);
    SubpixelPoint estimate = start;
    for (int iteration = 0; iteration < kRefinementIterations; ++iteration) {
        const int cx = int(std::lround(estimate.x));
        const int cy = int(std::lround(estimate.y));
        if (!windowInside(frame, cx, cy, radius, smoothing)) return Refinement::NotFound;
        const SecondMoments m = window.moments(cx, cy, estimate);
        const double determinant = m.xx * m.yy - m.xy * m.xy;
        if (!(determinant > 0.0)) return tooWeak(m) ? Refinement::TooWeak : Refinement::NotFound;
        const SubpixelPoint next{(m.yy * m.bx - m.xy * m.by) / determinant,
                                 (m.xx * m.by - m.xy * m.bx) / determinant};
        if (!(distance(next, start) <= maxShift)) return tooWeak(m) ? Refinement::TooWeak : Refinement::NotFound;
        const double shift = distance(next, estimate);
        estimate = next;
        if (shift < (smoothing > 1 ? kCoarseConvergedShift : kConvergedShift)) break;
    }
    // Judged where it ended: a start beside the corner sees mostly one edge.
    const int cx = int(std::lround(estimate.x));
    const int cy = int(std::lround(estimate.y));
    if (!windowInside(frame, cx, cy, radius, smoothing)) return Refinement::NotFound;
    const SecondMoments m = window.moments(cx, cy, estimate);
    if (!isCorner(m)) return tooWeak(m) ? Refinement::TooWeak : Refinement::NotFound;
    refined = estimate;
    return Refinement::Found;
}

Refinement refineOnGreyOrColour(const GreyFrame& frame, const SubpixelPoint& start, int radius, int smoothing,
                                double maxShift, SubpixelPoint& refined)
{
    const Refinement grey = refineCornerOn(frame, false, start, radius, smoothing, maxShift, refined);
    // Colour only where the grey has too little contrast to tell: elsewhere a
    // failure means no corner, and colour texture would only invent one.
    if (grey != Refinement::TooWeak || !frame.rgb) return grey;
    return refineCornerOn(frame, true, start, radius, smoothing, maxShift, refined);
}

}  // namespace

bool refineCorner(const GreyFrame& frame, const SubpixelPoint& start, int radius, int smoothing, double maxShift,
                  SubpixelPoint& refined)
{
    if (!frame.pixels || radius < 1 || radius > kMaxRefinementRadius) return false;
    if (smoothing < 1 || smoothing > kMaxSmoothing) return false;
    if (!std::isfinite(start.x) || !std::isfinite(start.y)) return false;
    if (refineOnGreyOrColour(frame, start, radius, smoothing, maxShift, refined) != Refinement::Found) return false;
    // Found on a picture smoothed more than lightly: sharpened on the lightly
    // smoothed one, where it can, so the smoothing does not round the corner off.
    SubpixelPoint sharp;
    if (smoothing > 1 && refineOnGreyOrColour(frame, refined, radius, 1, kSharpeningShift, sharp) == Refinement::Found)
        refined = sharp;
    return true;
}

double outlierBound(const double* residuals, int count, double floor, double* scratch)
{
    if (count <= 0) return floor;
    std::copy(residuals, residuals + count, scratch);
    double* middle = scratch + count / 2;
    std::nth_element(scratch, middle, scratch + count);
    return std::max(floor, kOutlierSigmas * kRobustSigmaPerMedian * *middle);
}

}  // namespace ruins

#include "reconstruction/field_of_view_hold.h"

#include <algorithm>
#include <cmath>

namespace ruins {

namespace {

constexpr double kPi = 3.141592653589793;

template <std::size_t N>
double medianOf(const std::array<double, N>& values, int count)
{
    std::array<double, N> sorted = values;
    double* middle = sorted.data() + count / 2;
    std::nth_element(sorted.data(), middle, sorted.data() + count);
    return *middle;
}

}  // namespace

void FieldOfViewHold::reset()
{
    count_ = 0;
    next_ = 0;
    held_ = false;
    heldFocal_ = 0.0;
    watchedCount_ = 0;
    watchedNext_ = 0;
}

void FieldOfViewHold::addFreeEstimate(double focalLength, const Vector3& direction)
{
    if (!(focalLength > 0.0) || !std::isfinite(focalLength)) return;
    if (held_) {
        watched_[std::size_t(watchedNext_)] = focalLength;
        watchedNext_ = (watchedNext_ + 1) % kReleaseWindow;
        watchedCount_ = std::min(watchedCount_ + 1, kReleaseWindow);
        decideToRelease();
        return;
    }
    focal_[std::size_t(next_)] = focalLength;
    direction_[std::size_t(next_)] = direction;
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
    decideToHold();
}

void FieldOfViewHold::decideToHold()
{
    if (count_ < kWindow) return;
    // Seen from one place, distance and field of view trade against each other
    // freely; only a change of viewpoint separates them.
    Vector3 mean;
    for (const Vector3& d : direction_) mean = mean + d;
    if (!(mean.normalize() > 0.0)) return;
    double widest = 0.0;
    for (const Vector3& d : direction_)
        widest = std::max(widest, std::acos(std::clamp(dot(d, mean), -1.0, 1.0)) * 180.0 / kPi);
    if (widest * 2.0 < kMinViewSpreadDegrees) return;
    const double median = medianOf(focal_, count_);
    std::array<double, kWindow> deviation{};
    for (int i = 0; i < count_; ++i) deviation[std::size_t(i)] = std::abs(focal_[std::size_t(i)] - median);
    if (medianOf(deviation, count_) > kMaxRelativeSpread * median) return;
    held_ = true;
    heldFocal_ = median;
    watchedCount_ = 0;
    watchedNext_ = 0;
}

void FieldOfViewHold::decideToRelease()
{
    if (watchedCount_ < kReleaseWindow) return;
    if (std::abs(medianOf(watched_, watchedCount_) / heldFocal_ - 1.0) <= kReleaseChange) return;
    reset();
}

}  // namespace ruins

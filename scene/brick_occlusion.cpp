#include "scene/brick_occlusion.h"

#include <algorithm>
#include <cmath>

namespace ruins {

BrickOcclusion::BrickOcclusion(const SceneModel& scene) : edge_(scene.brickEdge())
{
    const double hair = 0.01 * edge_;
    for (const GridCell& c : scene.realBricks())
        boxes_.push_back({{edge_ * c.i + hair, edge_ * c.j + hair, edge_ * c.k + hair},
                          {edge_ * (c.i + 1) - hair, edge_ * (c.j + 1) - hair, edge_ * (c.k + 1) - hair}});
}

bool BrickOcclusion::segmentHits(const Vector3& from, const Vector3& to, double start, const Box& box) const
{
    const Vector3 direction = to - from;
    double enter = start;
    double leave = 1.0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double o = from[axis];
        const double d = direction[axis];
        if (std::abs(d) < 1e-12) {
            if (o <= box.low[axis] || o >= box.high[axis]) return false;
            continue;
        }
        double t1 = (box.low[axis] - o) / d;
        double t2 = (box.high[axis] - o) / d;
        if (t1 > t2) std::swap(t1, t2);
        enter = std::max(enter, t1);
        leave = std::min(leave, t2);
        if (enter >= leave) return false;
    }
    return true;
}

bool BrickOcclusion::hides(const Vector3& point, const Vector3& eye) const
{
    const Vector3 direction = eye - point;
    const double length = std::sqrt(dot(direction, direction));
    if (!(length > 0.0)) return false;
    // Leaving the point by a twentieth of a brick first: a rounded block's
    // corner lies a little inside its grid corner.
    const double start = 0.05 * edge_ / length;
    return std::any_of(boxes_.begin(), boxes_.end(),
                       [&](const Box& box) { return segmentHits(point, eye, start, box); });
}

bool BrickOcclusion::crowds(const Vector3& point, const Vector3& eye, double margin) const
{
    Vector3 view = eye - point;
    const double length = view.normalize();
    if (!(length > 0.0)) return false;
    Vector3 across = cross(view, std::abs(view.z) < 0.9 ? Vector3{0.0, 0.0, 1.0} : Vector3{1.0, 0.0, 0.0});
    across.normalize();
    const Vector3 other = cross(view, across);
    const Vector3 offsets[4] = {margin * across, -margin * across, margin * other, -margin * other};
    const double reach = 0.05 * edge_;
    for (const Box& box : boxes_) {
        // The point's own bricks are what makes it a corner.
        bool own = true;
        for (std::size_t axis = 0; axis < 3 && own; ++axis)
            own = point[axis] >= box.low[axis] - reach && point[axis] <= box.high[axis] + reach;
        if (own) continue;
        for (const Vector3& offset : offsets)
            if (segmentHits(point + offset, eye, 0.0, box)) return true;
    }
    return false;
}

}  // namespace ruins

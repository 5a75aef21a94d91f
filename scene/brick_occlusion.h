#pragma once

// Which of a scene's points the real bricks hide from an eye: a point is
// hidden when the segment from it to the eye passes through a brick. The
// bricks are taken a hair smaller than they are, so that a point on a brick's
// corner or edge, seen along a face, is not hidden by its own brick. No Qt.

#include "pose/vector3.h"
#include "scene/scene_model.h"

#include <vector>

namespace ruins {

class BrickOcclusion {
public:
    BrickOcclusion() = default;
    explicit BrickOcclusion(const SceneModel& scene);

    bool hides(const Vector3& point, const Vector3& eye) const;
    // Whether a brick the point is not a corner of stands in front of the
    // point's surroundings, `margin` model units across the view: there its
    // corner meets that brick's outline, and is not seen as a corner.
    bool crowds(const Vector3& point, const Vector3& eye, double margin) const;

private:
    struct Box {
        Vector3 low, high;
    };
    bool segmentHits(const Vector3& from, const Vector3& to, double start, const Box& box) const;

    std::vector<Box> boxes_;
    double edge_ = 0.0;
};

}  // namespace ruins

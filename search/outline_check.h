#pragma once

// Whether a frame shows a structure's outline where a pose puts it: the edges
// of its bricks (where two faces meet, or a face meets the ground) sampled along
// their length, a sample counted when the frame changes across the edge there.
// Near likenesses of a structure (a pose a block along a stack of alike blocks)
// match many corners, but put some outline where the frame has none.
//
// Positions are frame-buffer pixels: x the column, y the buffer row counted from
// the bottom. No Qt; nothing is allocated per call.

#include "pose/vector3.h"
#include "scene/brick_occlusion.h"
#include "scene/scene_model.h"

#include <cstddef>
#include <vector>

namespace ruins {

// The largest change across an edge at (x, y) with unit normal (nx, ny): the
// levels 1.5 pixels either side compared, within `reach` pixels of the position
// along the normal, in the grey or (when `rgb` is given) any colour channel.
double stepAcross(const unsigned char* grey, const unsigned char* rgb, int width, int height, double x, double y,
                  double nx, double ny, int reach = 1);

class OutlineCheck {
public:
    // Samples per brick edge, and the least that must be seen for a share.
    static constexpr int kSamplesPerEdge = 4;
    static constexpr int kMinSamples = 24;
    // Edges shorter than this many pixels in the frame are not judged, nor
    // more edges than this (a hostile scene may have ten thousand bricks).
    static constexpr double kMinEdgePixels = 6.0;
    static constexpr std::size_t kMaxEdgesJudged = 400;
    // The change across an edge (8-bit levels over three pixels, in the grey or
    // any colour channel) that counts as an edge.
    static constexpr double kMinStep = 12.0;

    OutlineCheck() = default;
    explicit OutlineCheck(const SceneModel& scene);

    // The share of the visible outline samples under the row-major 3 × 4
    // `projection` (image points relative to the centre, v upwards; camera at
    // `eye`) where the frame changes across the edge; negative when fewer than
    // kMinSamples are visible. `rgb` (R, G, B per pixel, same layout) may be null.
    double agreement(const double projection[12], const Vector3& eye, const BrickOcclusion& occlusion,
                     const unsigned char* grey, const unsigned char* rgb, int width, int height) const;

    struct Edge {
        Vector3 from, to;
    };
    const std::vector<Edge>& edges() const { return edges_; }

private:
    std::vector<Edge> edges_;
};

}  // namespace ruins

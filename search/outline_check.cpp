#include "search/outline_check.h"

#include "pose/camera_pose.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

namespace ruins {

namespace {

// The real bricks' cells, sorted, and the ground under the lowest of them.
struct Cells {
    std::vector<std::array<int, 3>> sorted;
    int ground = 0;  // the first layer above the ground

    bool occupied(const std::array<int, 3>& cell) const
    {
        return cell[2] < ground || std::binary_search(sorted.begin(), sorted.end(), cell);
    }
};

// Whether the grid line along `axis` through `corner`, one brick long from
// there, is an edge: the four cells around it are not all alike, and not two
// side by side (a flat face passing by).
bool isEdge(const Cells& cells, int axis, const std::array<int, 3>& corner)
{
    const int b = (axis + 1) % 3, c = (axis + 2) % 3;
    bool around[2][2];
    int count = 0;
    for (int db = 0; db < 2; ++db)
        for (int dc = 0; dc < 2; ++dc) {
            std::array<int, 3> cell = corner;
            cell[std::size_t(b)] -= db;
            cell[std::size_t(c)] -= dc;
            around[db][dc] = cells.occupied(cell);
            count += around[db][dc];
        }
    if (count == 1 || count == 3) return true;
    return count == 2 && around[0][0] == around[1][1];  // two cells meeting only along the line
}

// Grey or colour level at a frame position, bilinear; false outside the frame.
bool sample(const unsigned char* pixels, int channels, int channel, int width, int height, double x, double y,
            double& value)
{
    if (!(x >= 0.0 && y >= 0.0 && x < width - 1 && y < height - 1)) return false;
    const int cx = int(x), cy = int(y);
    const double ax = x - cx, ay = y - cy;
    const auto at = [&](int dx, int dy) {
        return double(pixels[(std::size_t(cy + dy) * std::size_t(width) + std::size_t(cx + dx)) * std::size_t(channels) +
                             std::size_t(channel)]);
    };
    value = (1 - ay) * ((1 - ax) * at(0, 0) + ax * at(1, 0)) + ay * ((1 - ax) * at(0, 1) + ax * at(1, 1));
    return true;
}

}  // namespace

double stepAcross(const unsigned char* grey, const unsigned char* rgb, int width, int height, double x, double y,
                  double nx, double ny, int reach)
{
    double largest = 0.0;
    for (int shift = -reach; shift <= reach; ++shift) {
        const double px = x + shift * nx, py = y + shift * ny;
        const auto change = [&](const unsigned char* pixels, int channels, int channel) {
            double before = 0.0, after = 0.0;
            if (!sample(pixels, channels, channel, width, height, px - 1.5 * nx, py - 1.5 * ny, before) ||
                !sample(pixels, channels, channel, width, height, px + 1.5 * nx, py + 1.5 * ny, after))
                return 0.0;
            return std::abs(after - before);
        };
        largest = std::max(largest, change(grey, 1, 0));
        if (rgb)
            for (int channel = 0; channel < 3; ++channel) largest = std::max(largest, change(rgb, 3, channel));
    }
    return largest;
}

OutlineCheck::OutlineCheck(const SceneModel& scene)
{
    Cells cells;
    for (const GridCell& brick : scene.realBricks()) cells.sorted.push_back({brick.i, brick.j, brick.k});
    if (cells.sorted.empty()) return;
    std::sort(cells.sorted.begin(), cells.sorted.end());
    cells.ground = std::min_element(cells.sorted.begin(), cells.sorted.end(),
                                    [](const auto& a, const auto& b) { return a[2] < b[2]; })->at(2);
    const double size = scene.scene.brickEdge;
    std::set<std::array<int, 4>> seen;  // axis and the line's first grid corner
    for (const std::array<int, 3>& origin : cells.sorted) {
        for (int axis = 0; axis < 3; ++axis) {
            const int b = (axis + 1) % 3, c = (axis + 2) % 3;
            for (int ob = 0; ob < 2; ++ob)
                for (int oc = 0; oc < 2; ++oc) {
                    std::array<int, 3> corner = origin;
                    corner[std::size_t(b)] += ob;
                    corner[std::size_t(c)] += oc;
                    if (!seen.insert({axis, corner[0], corner[1], corner[2]}).second) continue;
                    if (!isEdge(cells, axis, corner)) continue;
                    std::array<int, 3> end = corner;
                    ++end[std::size_t(axis)];
                    edges_.push_back({{corner[0] * size, corner[1] * size, corner[2] * size},
                                      {end[0] * size, end[1] * size, end[2] * size}});
                }
        }
    }
}

double OutlineCheck::agreement(const double projection[12], const Vector3& eye, const BrickOcclusion& occlusion,
                               const unsigned char* grey, const unsigned char* rgb, int width, int height) const
{
    if (!grey || width < 2 || height < 2) return -1.0;
    int visible = 0, shown = 0;
    // Every edge of a usual structure; an even spread of them for a huge one.
    const std::size_t stride = edges_.size() / kMaxEdgesJudged + 1;
    for (std::size_t e = 0; e < edges_.size(); e += stride) {
        const Edge& edge = edges_[e];
        double fromX, fromY, toX, toY;
        if (!projectPoint(projection, edge.from, fromX, fromY) || !projectPoint(projection, edge.to, toX, toY))
            continue;
        const double length = std::hypot(toX - fromX, toY - fromY);
        if (!(length >= kMinEdgePixels)) continue;
        const double nx = -(toY - fromY) / length, ny = (toX - fromX) / length;
        for (int s = 0; s < kSamplesPerEdge; ++s) {
            const double t = (s + 0.5) / kSamplesPerEdge;
            const Vector3 point = edge.from + t * (edge.to - edge.from);
            if (occlusion.hides(point, eye)) continue;
            double x, y;
            if (!projectPoint(projection, point, x, y)) continue;
            x += width * 0.5;
            y += height * 0.5;
            if (!(x >= 2.0 && y >= 2.0 && x < width - 3.0 && y < height - 3.0)) continue;
            ++visible;
            shown += stepAcross(grey, rgb, width, height, x, y, nx, ny) >= kMinStep;
        }
    }
    return visible >= kMinSamples ? double(shown) / visible : -1.0;
}

}  // namespace ruins

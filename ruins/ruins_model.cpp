#include "ruins/ruins_model.h"

#include <cmath>
#include <cstdint>

namespace ruins {

const std::array<Float3, kBrickVertexCount> kBrickVertices{{
    {-0.5f, -0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {-0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f},
    {-0.5f, 0.5f, -0.5f}, {0.5f, 0.5f, -0.5f}, {-0.5f, -0.5f, -0.5f}, {0.5f, -0.5f, -0.5f},
    {-0.5f, -0.5f, 0.5f}, {0.5f, -0.5f, 0.5f},
    {-0.5f, -0.5f, -0.5f}, {-0.5f, -0.5f, 0.5f}, {-0.5f, 0.5f, -0.5f}, {-0.5f, 0.5f, 0.5f},
    {0.5f, -0.5f, 0.5f}, {0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, -0.5f},
}};

const std::array<Float3, kBrickVertexCount> kBrickNormals{{
    {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1},
    {0, 1, 0}, {0, 1, 0},
    {0, 0, -1}, {0, 0, -1},
    {0, -1, 0}, {0, -1, 0},
    {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0},
    {1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0},
}};

const std::array<std::uint32_t, kBrickVertexCount> kBrickIndices{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}};

namespace {

// Rounds a stretched coordinate to the nearest pixel, saturating instead of
// overflowing for absurd frame sizes.
int scaleCoordinate(int value, int frameSize, int calibrationSize)
{
    const double scaled = std::round(double(value) * double(frameSize) / double(calibrationSize));
    if (!(scaled > -2147483647.0)) return -2147483647;
    if (!(scaled < 2147483647.0)) return 2147483647;
    return int(scaled);
}

}  // namespace

Float3 brickCentre(const GridCell& cell, float dx, float dz)
{
    return {kBrickEdgeF * float(cell.i) + kHalfBrickF * dx, kBrickEdgeF * float(cell.j) + kHalfBrickF,
            kBrickEdgeF * float(cell.k) + kHalfBrickF * dz};
}

PixelPosition scaledReferencePosition(const PixelPosition& p, int frameWidth, int frameHeight, int calibrationWidth,
                                      int calibrationHeight)
{
    if (calibrationWidth <= 0 || calibrationHeight <= 0) {
        calibrationWidth = kDefaultCalibrationWidth;
        calibrationHeight = kDefaultCalibrationHeight;
    }
    // Same size: the position as it stands, without a round trip through doubles.
    if (frameWidth == calibrationWidth && frameHeight == calibrationHeight) return p;
    return {scaleCoordinate(p.x, frameWidth, calibrationWidth), scaleCoordinate(p.y, frameHeight, calibrationHeight)};
}

}  // namespace ruins

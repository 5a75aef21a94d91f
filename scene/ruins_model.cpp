#include "scene/ruins_model.h"

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

// Rounds a carried-over coordinate to the nearest pixel, saturating instead of
// overflowing for absurd frame sizes.
int roundCoordinate(double value)
{
    const double rounded = std::round(value);
    if (!(rounded > -2147483647.0)) return -2147483647;
    if (!(rounded < 2147483647.0)) return 2147483647;
    return int(rounded);
}

}  // namespace

Float3 brickCentre(const GridCell& cell, float dx, float dz)
{
    return {kBrickEdgeF * float(cell.i) + kHalfBrickF * dx, kBrickEdgeF * float(cell.j) + kHalfBrickF,
            kBrickEdgeF * float(cell.k) + kHalfBrickF * dz};
}

ReferenceFit referenceFit(int frameWidth, int frameHeight, int calibrationWidth, int calibrationHeight)
{
    if (calibrationWidth <= 0 || calibrationHeight <= 0) {
        calibrationWidth = kDefaultCalibrationWidth;
        calibrationHeight = kDefaultCalibrationHeight;
    }
    // Integer products, so that a frame of the picture's own shape gets no
    // offset at all, not one of a rounding error.
    const std::int64_t excessWidth =
        std::int64_t(frameWidth) * calibrationHeight - std::int64_t(frameHeight) * calibrationWidth;
    ReferenceFit fit;
    if (excessWidth > 0) {
        fit.scale = double(frameHeight) / calibrationHeight;
        fit.offsetX = double(excessWidth) / (2.0 * calibrationHeight);
    } else {
        fit.scale = double(frameWidth) / calibrationWidth;
        fit.offsetY = double(-excessWidth) / (2.0 * calibrationWidth);
    }
    return fit;
}

double referenceFocalScale(int frameWidth, int frameHeight, int calibrationWidth, int calibrationHeight)
{
    const ReferenceFit fit = referenceFit(frameWidth, frameHeight, calibrationWidth, calibrationHeight);
    if (frameHeight <= 0 || !(fit.offsetY > 0.0)) return 1.0;
    const int pictureHeight = calibrationWidth > 0 && calibrationHeight > 0 ? calibrationHeight
                                                                            : kDefaultCalibrationHeight;
    return fit.scale * pictureHeight / frameHeight;
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
    const ReferenceFit fit = referenceFit(frameWidth, frameHeight, calibrationWidth, calibrationHeight);
    return {roundCoordinate(fit.offsetX + p.x * fit.scale), roundCoordinate(fit.offsetY + p.y * fit.scale)};
}

}  // namespace ruins

#pragma once

// The bricks as plain data: the unit brick, grid cells, pixel positions and how
// reference positions lie on a frame. The ruins themselves are a scene
// (data/ruins.json, built into the program). No Qt, no OpenGL, so a software
// renderer or a headless run can use the same data.
//
// Model units: one brick edge is 2.4 for the ruins (a scene gives its own);
// grid cell (i, j, k) is the cube from (2.4 i, 2.4 j, 2.4 k) to (2.4 i + 2.4,
// 2.4 j + 2.4, 2.4 k + 2.4); z = 0 is the base plate.

#include "pose/vector3.h"

#include <array>
#include <cstdint>
#include <span>

namespace ruins {

inline constexpr double kBrickEdge = 2.4;
inline constexpr float kBrickEdgeF = 2.4f;
inline constexpr float kHalfBrickF = 1.2f;

struct GridCell {
    int i = 0;
    int j = 0;
    int k = 0;
    friend constexpr bool operator==(const GridCell&, const GridCell&) = default;
};

struct Float3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// Unit cube centred on the origin: 18 vertices, one normal each, drawn as three
// quad strips. With flat shading each quad takes the normal of its last vertex,
// which is the outward normal of that face.
inline constexpr int kBrickVertexCount = 18;
extern const std::array<Float3, kBrickVertexCount> kBrickVertices;
extern const std::array<Float3, kBrickVertexCount> kBrickNormals;
extern const std::array<std::uint32_t, kBrickVertexCount> kBrickIndices;  // 0 .. 17

struct QuadStrip {
    int first;  // into kBrickIndices
    int count;
};
// Front/top/back/bottom band, the face x = -0.5, the face x = +0.5.
inline constexpr std::array<QuadStrip, 3> kBrickStrips{{{0, 10}, {10, 4}, {14, 4}}};

// Centre of the brick drawn for `cell` with offsets dx, dz in half bricks, computed
// in floats as the renderer does: (2.4 i + 1.2 dx, 2.4 j + 1.2, 2.4 k + 1.2 dz).
// The models use dx = dz = 1, the centre of the cell.
Float3 brickCentre(const GridCell& cell, float dx = 1.0f, float dz = 1.0f);

// Brick colours (r, g, b): yellow normally, blue when highlighted.
inline constexpr Float3 kBrickYellow{0.95f, 0.95f, 0.0f};
inline constexpr Float3 kBrickBlue{0.0f, 0.0f, 1.0f};
inline constexpr Float3 brickColour(bool highlight) { return highlight ? kBrickBlue : kBrickYellow; }

struct PixelPosition {
    int x = 0;
    int y = 0;
    friend constexpr bool operator==(const PixelPosition&, const PixelPosition&) = default;
};

// Size the reference positions were taken at, used when the calibration frame
// itself is not available.
inline constexpr int kDefaultCalibrationWidth = 320;
inline constexpr int kDefaultCalibrationHeight = 240;

// How a reference picture of calibrationWidth × calibrationHeight lies on a
// frame of frameWidth × frameHeight. Both have square pixels, and the camera of
// a frame of another shape sees the picture's view in the middle of a wider (or
// taller) one: the picture is scaled evenly until it just fits the frame, and
// centred. A non-positive calibration size is taken as the default size.
struct ReferenceFit {
    double scale = 1.0;    // frame pixels per picture pixel
    double offsetX = 0.0;  // where the picture's left edge lies on the frame
    double offsetY = 0.0;  // where its top edge lies, counted from the top
};
ReferenceFit referenceFit(int frameWidth, int frameHeight, int calibrationWidth, int calibrationHeight);

// The focal length of such a frame's camera relative to the one the picture's
// vertical field of view gives at the frame's height. A frame as wide as the
// picture or wider keeps the picture's vertical field of view (exactly 1); a
// taller one sees more above and below.
double referenceFocalScale(int frameWidth, int frameHeight, int calibrationWidth, int calibrationHeight);

// A reference position carried over to a frame of frameWidth × frameHeight by
// referenceFit (rounded to the nearest pixel). Still counted from the top edge.
PixelPosition scaledReferencePosition(const PixelPosition& reference, int frameWidth, int frameHeight,
                                      int calibrationWidth, int calibrationHeight);

}  // namespace ruins

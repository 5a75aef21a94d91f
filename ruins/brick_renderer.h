#pragma once

// Fixed-function OpenGL drawing of the brick models and the reconstructor's three
// overlays. Every function draws into the GL context current during a canvas's
// drawOverlay (vertex and normal arrays enabled, depth test on with
// less-or-equal, depth buffer holding only what the overlay draws) and restores
// what it saves. GUI thread only.

#include "pose/matrix4.h"
#include "pose/vector3.h"

class Canvas;
class QImage;

namespace ruins {

struct SceneModel;

inline constexpr double kNearPlane = 1.0;
inline constexpr double kFarPlane = 100.0;
inline constexpr float kRuinsLineWidth = 4.0f;
inline constexpr float kMatchingTransparency = 0.8f;

// One brick: cell (i, j, k), offsets dx, dz in half bricks, colour and alpha.
void drawBrick(float i, float j, float k, float dx, float dz, float red, float green, float blue, float alpha);

// The scene's real bricks (line width 4 while drawing, 1 afterwards) and its
// virtual bricks, in their drawing orders; alpha = 1 − transparency.
void drawRuinsModel(const SceneModel& scene, bool highlight, float transparency);
void drawVirtualModel(const SceneModel& scene, bool highlight, float transparency);

// Loads `view` as the modelview and a perspective of `fieldOfView` degrees,
// aspect width / height, near 1 and far 100 (times `depthScale`: a scene of
// larger bricks is seen from farther away) as the projection, its axis on the
// centre of the frame's pixel (width/2, height/2) as the pose's is, which is
// left as the current matrix mode.
void loadPoseView(const Matrix4& view, double fieldOfView, int width, int height, double depthScale = 1.0);
// The same from a pose; writes the view it loads to `viewMatrix`.
void applyPoseView(const Vector3& eye, const Vector3& lookAt, const Vector3& up, double fieldOfView, int width,
                   int height, Matrix4& viewMatrix);

// The blue wireframe of the real bricks, 4 pixels wide at alpha 0.2.
void drawMatchingOverlay(const SceneModel& scene);

// What the calibration guide shows over the frame.
struct CalibrationGuide {
    // RGBA8888 texels of the calibration picture, rows bottom-up (null image:
    // the picture is missing and a dark background with a notice stands in).
    const QImage* texels = nullptr;
    int calibrationWidth = 0;   // the picture's size, ≤ 0 when missing
    int calibrationHeight = 0;
};
inline constexpr const char* kMissingCalibrationNotice = "CalibrationFrame.png not found";

// The calibration picture fitted to the frame (width × height, see
// referenceFit) and the scene's reference positions on it, labelled "0", "1", ...
void drawCalibrationGuide(Canvas* canvas, const CalibrationGuide& guide, const SceneModel& scene, int width,
                          int height);

// Real bricks into the depth buffer only, then the lit yellow virtual bricks,
// hidden where a real brick stands in front of them.
void drawAugmentedModels(const SceneModel& scene);

}  // namespace ruins

#pragma once

// A software camera for the ruins (or any scene's bricks, after setBricks):
// renders the real bricks (the ruins' 33) as solid bricks on a finely textured
// ground plate, as a camera at a given pose would see them, and draws the
// virtual bricks over such a frame for a (possibly different) pose, hidden
// behind the real ones as the augmented scene hides them.
//
// Deterministic: a frame depends only on its inputs, and every value is computed
// with +, −, ×, ÷ and sqrt in a fixed order (no libm transcendental per pixel, no
// contraction into fused multiply-adds), so the bytes are the same on every
// IEEE-754 machine. No Qt, no OpenGL.
//
// Frames are packed three bytes per pixel, no padding, rows bottom-up: buffer row
// 0 is the bottom of the picture, as in the program's frame buffers.
//
// Units and frames: model units (2.4 per brick edge), ground plane z = 0.

#include "pose/vector3.h"
#include "scene/frame_camera.h"
#include "scene/ruins_model.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ruins {

enum class PixelOrder {
    RGB,  // the main window's colour buffer
    BGR,  // the capture mailbox's store
};

// A picture to stand the ruins on and to surround them with: it covers the
// table (the ground plane, kBackdropSpan model units per picture width, mirrored
// beyond) and four far walls in place of the sky. Packed R, G, B, rows top-down.
struct SceneBackdrop {
    static constexpr double kBackdropSpan = 60.0;
    static constexpr double kWallDistance = 150.0;

    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// How a frame is exposed beyond the camera itself: the cameras over the time the
// shutter is open (more than one blurs the motion between them), a gain on the
// light (1 as rendered), and sensor noise as renderRuins takes it.
struct SceneExposure {
    std::span<const FrameCamera> cameras;
    double gain = 1.0;
    double noiseSigma = 0.0;
    std::uint64_t noiseSeed = 0;
};

class RuinsSceneRenderer {
public:
    // Renders the ruins and their virtual bricks until setBricks.
    RuinsSceneRenderer();

    // The real bricks to render and the virtual bricks to draw from now on, as
    // grid cells of `edge` model units.
    void setBricks(double edge, std::span<const GridCell> realBricks, std::span<const GridCell> virtualBricks);

    // The picture behind the ruins from now on; null: the plate and the sky.
    void setBackdrop(std::shared_ptr<const SceneBackdrop> backdrop) { backdrop_ = std::move(backdrop); }

    // Renders the mean of the exposure's cameras (all of one size), scaled by its
    // gain, then adds its noise. One camera and gain 1 render as renderRuins.
    void renderExposure(const SceneExposure& exposure, std::uint8_t* pixels, PixelOrder order);

    // Renders the ruins seen by `camera` into `pixels` (width × height × 3 bytes).
    // noiseSigma > 0 adds sensor noise of about that standard deviation in 8-bit
    // levels to every channel; noiseSeed picks the pattern (give each frame its
    // own). Does nothing for a null buffer. Reuses its buffers: after the first
    // frame of a size it allocates nothing.
    void renderRuins(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order, double noiseSigma = 0.0,
                     std::uint64_t noiseSeed = 0);

    // Draws the virtual bricks (the ruins' 75), lit yellow as the augmented scene lights them,
    // over the frame in `pixels`: the ruins as seen by `camera` only fill the depth
    // buffer, so every part of a virtual brick behind a ruins brick leaves the
    // frame as it was; a virtual face that coincides with a ruins face still shows.
    void drawVirtualModel(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order);

    struct Face {
        Vector3 corners[4];  // a convex planar quad
        Vector3 normal;      // outward unit normal
        std::uint8_t rgb[3];
    };

private:
    enum class Pass { ColourAndDepth, DepthOnly, ColourIfNotHidden };

    void prepareBuffers(const FrameCamera& camera);
    void drawGround(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order);
    void rasterFace(const FrameCamera& camera, const Face& face, Pass pass, std::uint8_t* pixels, PixelOrder order);
    void prepareNoise(double sigma);
    void addNoise(const FrameCamera& camera, std::uint8_t* pixels, double sigma, std::uint64_t seed);
    void backdropColour(const Vector3& eye, const Vector3& ray, std::uint8_t rgb[3]) const;

    static constexpr std::size_t kNoiseTableSize = 65536;

    double nearDepth_ = 0.05;  // set with the bricks: see nearDepthFor()
    std::vector<Face> ruinsFaces_;
    std::vector<Face> virtualFaces_;
    std::vector<float> inverseDepth_;     // per pixel, 0 = nothing drawn
    std::vector<double> columnOffsets_;  // per column: ((x − width/2) / focalX) · side
    std::vector<std::int16_t> noiseTable_;
    std::vector<std::uint32_t> exposureSum_;  // per byte, while blurring
    std::shared_ptr<const SceneBackdrop> backdrop_;
    double noiseTableSigma_ = 0.0;
};

}  // namespace ruins

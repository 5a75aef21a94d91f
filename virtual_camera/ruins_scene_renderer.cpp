#include "virtual_camera/ruins_scene_renderer.h"

#include "scene/ruins_model.h"
#include "scene/scene_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <span>
#include <tuple>

// Fused multiply-adds would round differently from separate operations on
// machines that have them; GCC in ISO mode (-std=c++20) never contracts, clang
// needs telling.
#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

namespace ruins {

namespace {

// --- Scene appearance ------------------------------------------------------

// Sandstone bricks; each face direction has its own shade so that the edges and
// corners of the structure stand out to a corner detector.
constexpr double kBrickColour[3] = {222.0, 196.0, 150.0};
struct FaceShade {
    Vector3 normal;
    double shade;
};
constexpr std::array<FaceShade, 6> kRuinsShades{{
    {{0, 0, 1}, 1.00},
    {{0, -1, 0}, 0.60},
    {{1, 0, 0}, 0.68},
    {{-1, 0, 0}, 0.84},
    {{0, 1, 0}, 0.45},
    {{0, 0, -1}, 0.30},
}};

// The augmented scene's lighting: colour material × (global ambient 0.2 + the
// diffuse term of the directional light (5, 30, 10)). The brick's 2.4 scale
// shortens the normals by 1/2.4 on the way to eye space, and nothing normalises
// them again, so the diffuse term is n·L / 2.4. Bricks of another edge are lit
// as bright (the light is scaled with them), so every scene's bricks look alike.
constexpr double kVirtualColour[3] = {0.949999988079071, 0.949999988079071, 0.0};
constexpr double kGlobalAmbient = 0.2;
constexpr double kNormalScale = 1.0 / 2.4;
const Vector3 kLight{5.0, 30.0, 10.0};

// The ground plate: dark slate with a fine grain (cells of an eighth of a brick)
// and faint lines at every brick edge, far below a corner detector's threshold
// next to the bricks' edges.
constexpr int kPlateColour[3] = {40, 52, 46};
constexpr int kSkyColour[3] = {150, 170, 196};
constexpr double kGrainCell = 0.3;
constexpr int kGrainAmplitude = 5;   // levels either way
constexpr int kLineDarkening = 7;
constexpr double kLineWidth = 0.08;  // model units, at each multiple of the brick edge
// Below this many pixels per grain cell the grain would only alias into noise.
constexpr double kMinGrainPixels = 1.5;
// Points closer to the eye than this are clipped away: in model units for
// bricks of the ruins' size or larger, a share of the brick for smaller ones,
// so that a scene of tiny bricks is seen from close by too.
constexpr double kNearDepth = 0.05;

double nearDepthFor(double brickEdge)
{
    return brickEdge >= kBrickEdge ? kNearDepth : kNearDepth * (brickEdge / kBrickEdge);
}

std::uint8_t toByte(double value)
{
    const double rounded = std::floor(value + 0.5);
    return static_cast<std::uint8_t>(std::clamp(rounded, 0.0, 255.0));
}

std::uint8_t clampByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

std::uint64_t mix64(std::uint64_t z)
{
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// floor(v) for |v| < 2^62, without a libm call.
std::int64_t floorToInt(double v)
{
    const std::int64_t truncated = static_cast<std::int64_t>(v);
    return truncated - (v < double(truncated) ? 1 : 0);
}

// Brightness change of the plate at ground point (x, y): the grain of its cell
// and the faint line along every brick edge.
int plateTexture(double x, double y)
{
    constexpr double kFar = 1e15;  // beyond: no texture (and no integer overflow)
    if (!(std::fabs(x) < kFar && std::fabs(y) < kFar)) return 0;
    constexpr double kInverseCell = 1.0 / kGrainCell;
    constexpr double kInverseEdge = 1.0 / kBrickEdge;
    const std::int64_t cellX = floorToInt(x * kInverseCell);
    const std::int64_t cellY = floorToInt(y * kInverseCell);
    const std::uint64_t h = mix64(std::uint64_t(cellX) * 0x9E3779B1ull ^ std::uint64_t(cellY));
    int level = int(h % (2 * kGrainAmplitude + 1)) - kGrainAmplitude;
    const double edgesX = x * kInverseEdge;
    const double edgesY = y * kInverseEdge;
    const double lineX = edgesX - double(floorToInt(edgesX));
    const double lineY = edgesY - double(floorToInt(edgesY));
    constexpr double kHalfLine = 0.5 * kLineWidth / kBrickEdge;
    if (lineX < kHalfLine || lineX > 1.0 - kHalfLine || lineY < kHalfLine || lineY > 1.0 - kHalfLine)
        level -= kLineDarkening;
    return level;
}

using FaceList = std::vector<RuinsSceneRenderer::Face>;

// The six faces of the cube of grid cell (i, j, k), coloured by `colourOf`.
template <class ColourOf>
void appendBrickFaces(const GridCell& cell, double edge, ColourOf colourOf, FaceList& faces)
{
    const double lo[3] = {double(cell.i) * edge, double(cell.j) * edge, double(cell.k) * edge};
    const double hi[3] = {lo[0] + edge, lo[1] + edge, lo[2] + edge};
    for (int axis = 0; axis < 3; ++axis) {
        const int a = (axis + 1) % 3;
        const int b = (axis + 2) % 3;
        for (int sideSign = -1; sideSign <= 1; sideSign += 2) {
            RuinsSceneRenderer::Face face{};
            const double level = sideSign < 0 ? lo[axis] : hi[axis];
            const double ua[4] = {lo[a], hi[a], hi[a], lo[a]};
            const double ub[4] = {lo[b], lo[b], hi[b], hi[b]};
            for (int c = 0; c < 4; ++c) {
                face.corners[c][axis] = level;
                face.corners[c][a] = ua[c];
                face.corners[c][b] = ub[c];
            }
            face.normal[axis] = double(sideSign);
            colourOf(face.normal, face.rgb);
            faces.push_back(face);
        }
    }
}

// Each grid cell once: the models list some cells more than once.
template <class ColourOf>
FaceList facesOfCells(std::span<const GridCell> cells, double edge, ColourOf colourOf)
{
    std::set<std::tuple<int, int, int>> seen;
    FaceList faces;
    for (const GridCell& cell : cells)
        if (seen.insert({cell.i, cell.j, cell.k}).second) appendBrickFaces(cell, edge, colourOf, faces);
    return faces;
}

void ruinsFaceColour(const Vector3& normal, std::uint8_t rgb[3])
{
    double shade = 1.0;
    for (const FaceShade& s : kRuinsShades)
        if (dot(s.normal, normal) > 0.5) shade = s.shade;
    for (int c = 0; c < 3; ++c) rgb[c] = toByte(kBrickColour[c] * shade);
}

void virtualFaceColour(const Vector3& normal, std::uint8_t rgb[3])
{
    Vector3 light = kLight;
    light.normalize();
    const double diffuse = std::max(0.0, dot(normal, light)) * kNormalScale;
    for (int c = 0; c < 3; ++c) rgb[c] = toByte(255.0 * std::min(1.0, kVirtualColour[c] * (kGlobalAmbient + diffuse)));
}

void writePixel(std::uint8_t* p, const std::uint8_t rgb[3], PixelOrder order)
{
    if (order == PixelOrder::RGB) {
        p[0] = rgb[0];
        p[1] = rgb[1];
        p[2] = rgb[2];
    } else {
        p[0] = rgb[2];
        p[1] = rgb[1];
        p[2] = rgb[0];
    }
}

struct CameraVertex {
    double x, y, z;  // along side, up, forward
};

CameraVertex toCamera(const FrameCamera& camera, const Vector3& point)
{
    const Vector3 f = point - camera.eye;
    return {dot(camera.side, f), dot(camera.up, f), dot(camera.forward, f)};
}

// Sutherland–Hodgman against z ≥ nearDepth; a quad becomes at most a pentagon.
int clipToNear(const CameraVertex* in, int count, double nearDepth, CameraVertex* out)
{
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const CameraVertex& a = in[i];
        const CameraVertex& b = in[(i + 1) % count];
        const bool aIn = a.z >= nearDepth;
        const bool bIn = b.z >= nearDepth;
        if (aIn) out[n++] = a;
        if (aIn != bIn) {
            const double t = (nearDepth - a.z) / (b.z - a.z);
            out[n++] = {a.x + t * (b.x - a.x), a.y + t * (b.y - a.y), nearDepth};
        }
    }
    return n;
}

}  // namespace

RuinsSceneRenderer::RuinsSceneRenderer()
{
    const std::shared_ptr<const SceneModel> ruins = bundledRuinsScene();
    setBricks(ruins->scene.brickEdge, ruins->realBricks(), ruins->virtualBricks());
}

void RuinsSceneRenderer::setBricks(double edge, std::span<const GridCell> realBricks,
                                   std::span<const GridCell> virtualBricks)
{
    nearDepth_ = nearDepthFor(edge);
    ruinsFaces_ = facesOfCells(realBricks, edge, ruinsFaceColour);
    virtualFaces_ = facesOfCells(virtualBricks, edge, virtualFaceColour);
}

void RuinsSceneRenderer::prepareBuffers(const FrameCamera& camera)
{
    const std::size_t pixelCount = std::size_t(camera.width) * std::size_t(camera.height);
    inverseDepth_.resize(pixelCount);
    std::fill(inverseDepth_.begin(), inverseDepth_.end(), 0.0f);
    columnOffsets_.resize(std::size_t(camera.width) * 3);
    const double centreX = camera.width * 0.5;
    for (int x = 0; x < camera.width; ++x) {
        const double a = (x - centreX) / camera.focalX;
        columnOffsets_[3 * std::size_t(x) + 0] = a * camera.side.x;
        columnOffsets_[3 * std::size_t(x) + 1] = a * camera.side.y;
        columnOffsets_[3 * std::size_t(x) + 2] = a * camera.side.z;
    }
}

void RuinsSceneRenderer::renderRuins(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order,
                                     double noiseSigma, std::uint64_t noiseSeed)
{
    if (!pixels || camera.width < 1 || camera.height < 1 || camera.width > kMaxSceneSide ||
        camera.height > kMaxSceneSide)
        return;
    prepareBuffers(camera);
    drawGround(camera, pixels, order);
    // The bricks stand on the plate, so along any ray they come before the
    // ground: only the bricks need the depth test.
    for (const Face& face : ruinsFaces_) rasterFace(camera, face, Pass::ColourAndDepth, pixels, order);
    if (noiseSigma > 0.0 && std::isfinite(noiseSigma)) addNoise(camera, pixels, noiseSigma, noiseSeed);
}

void RuinsSceneRenderer::renderExposure(const SceneExposure& exposure, std::uint8_t* pixels, PixelOrder order)
{
    if (exposure.cameras.empty() || !pixels) return;
    const FrameCamera& last = exposure.cameras.back();
    if (exposure.cameras.size() == 1 && exposure.gain == 1.0) {
        renderRuins(last, pixels, order, exposure.noiseSigma, exposure.noiseSeed);
        return;
    }
    const std::size_t bytes = std::size_t(last.width) * std::size_t(last.height) * 3;
    exposureSum_.assign(bytes, 0);
    for (const FrameCamera& camera : exposure.cameras) {
        if (camera.width != last.width || camera.height != last.height) return;
        renderRuins(camera, pixels, order);
        for (std::size_t i = 0; i < bytes; ++i) exposureSum_[i] += pixels[i];
    }
    const double scale = exposure.gain / double(exposure.cameras.size());
    for (std::size_t i = 0; i < bytes; ++i) pixels[i] = clampByte(int(exposureSum_[i] * scale + 0.5));
    if (exposure.noiseSigma > 0.0 && std::isfinite(exposure.noiseSigma))
        addNoise(last, pixels, exposure.noiseSigma, exposure.noiseSeed);
}

namespace {

// Where the picture's centre lies on the table, in model units: under about
// the middle of the ruins.
constexpr double kTableCentre = 8.4;

// Mirrored repeat of a coordinate into 0 .. size − 1.
double mirrored(double coordinate, int size)
{
    const double period = 2.0 * size;
    double c = coordinate - period * std::floor(coordinate / period);
    if (c >= size) c = period - c - 1.0;
    return std::clamp(c, 0.0, size - 1.0);
}

void sampleBilinear(const SceneBackdrop& picture, double column, double row, std::uint8_t rgb[3])
{
    const double x = mirrored(column, picture.width);
    const double y = mirrored(row, picture.height);
    const int x0 = int(x), y0 = int(y);
    const int x1 = std::min(x0 + 1, picture.width - 1), y1 = std::min(y0 + 1, picture.height - 1);
    const double fx = x - x0, fy = y - y0;
    const auto at = [&](int px, int py, int c) {
        return double(picture.rgb[(std::size_t(py) * std::size_t(picture.width) + std::size_t(px)) * 3 + c]);
    };
    for (int c = 0; c < 3; ++c) {
        const double top = at(x0, y0, c) + fx * (at(x1, y0, c) - at(x0, y0, c));
        const double bottom = at(x0, y1, c) + fx * (at(x1, y1, c) - at(x0, y1, c));
        rgb[c] = clampByte(int(top + fy * (bottom - top) + 0.5));
    }
}

}  // namespace

void RuinsSceneRenderer::backdropColour(const Vector3& eye, const Vector3& ray, std::uint8_t rgb[3]) const
{
    const SceneBackdrop& picture = *backdrop_;
    const double pixelsPerUnit = picture.width / SceneBackdrop::kBackdropSpan;
    if (eye.z > 0.0 && ray.z < 0.0) {
        const double t = eye.z / -ray.z;
        const double x = eye.x + t * ray.x - kTableCentre;
        const double y = eye.y + t * ray.y - kTableCentre;
        sampleBilinear(picture, picture.width * 0.5 + x * pixelsPerUnit, picture.height * 0.5 - y * pixelsPerUnit,
                       rgb);
        return;
    }
    // A wall: the nearer of the two the ray heads for, along x or along y.
    const double wall = SceneBackdrop::kWallDistance;
    const double tx = ray.x != 0.0 ? ((ray.x > 0.0 ? wall : -wall) - eye.x) / ray.x : 1e300;
    const double ty = ray.y != 0.0 ? ((ray.y > 0.0 ? wall : -wall) - eye.y) / ray.y : 1e300;
    const double t = std::min(tx, ty);
    const double along = tx < ty ? eye.y + t * ray.y : eye.x + t * ray.x;
    const double up = eye.z + t * ray.z;
    sampleBilinear(picture, picture.width * 0.5 + along * pixelsPerUnit, picture.height * 0.5 - up * pixelsPerUnit,
                   rgb);
}

void RuinsSceneRenderer::drawVirtualModel(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order)
{
    if (!pixels || camera.width < 1 || camera.height < 1 || camera.width > kMaxSceneSide ||
        camera.height > kMaxSceneSide)
        return;
    prepareBuffers(camera);
    for (const Face& face : ruinsFaces_) rasterFace(camera, face, Pass::DepthOnly, pixels, order);
    for (const Face& face : virtualFaces_) rasterFace(camera, face, Pass::ColourIfNotHidden, pixels, order);
}

void RuinsSceneRenderer::drawGround(const FrameCamera& camera, std::uint8_t* pixels, PixelOrder order)
{
    const int width = camera.width;
    const double centreY = camera.height * 0.5;
    const double eyeHeight = camera.eye.z;
    std::uint8_t sky[3] = {std::uint8_t(kSkyColour[0]), std::uint8_t(kSkyColour[1]), std::uint8_t(kSkyColour[2])};
    for (int y = 0; y < camera.height; ++y) {
        const double b = (y - centreY) / camera.focalY;
        const Vector3 base{camera.forward.x + b * camera.up.x, camera.forward.y + b * camera.up.y,
                           camera.forward.z + b * camera.up.z};
        std::uint8_t* out = pixels + std::size_t(y) * std::size_t(width) * 3;
        const double* offset = columnOffsets_.data();
        for (int x = 0; x < width; ++x, out += 3, offset += 3) {
            const double rayZ = base.z + offset[2];
            // Rays level with or above the horizon, or a camera under the plate,
            // see the sky.
            if (backdrop_) {
                std::uint8_t seen[3];
                backdropColour(camera.eye, {base.x + offset[0], base.y + offset[1], rayZ}, seen);
                writePixel(out, seen, order);
                continue;
            }
            if (!(eyeHeight > 0.0 && rayZ < 0.0)) {
                writePixel(out, sky, order);
                continue;
            }
            // The ray's component along `forward` is 1, so t is also the depth.
            const double t = eyeHeight / -rayZ;
            int level = 0;
            if (kGrainCell * camera.focalY >= kMinGrainPixels * t) {
                const double gx = camera.eye.x + t * (base.x + offset[0]);
                const double gy = camera.eye.y + t * (base.y + offset[1]);
                level = plateTexture(gx, gy);
            }
            const std::uint8_t plate[3] = {clampByte(kPlateColour[0] + level), clampByte(kPlateColour[1] + level),
                                           clampByte(kPlateColour[2] + level)};
            writePixel(out, plate, order);
        }
    }
}

void RuinsSceneRenderer::rasterFace(const FrameCamera& camera, const Face& face, Pass pass, std::uint8_t* pixels,
                                    PixelOrder order)
{
    // Back faces of a closed brick are always hidden by its front faces.
    const Vector3 toEye = camera.eye - face.corners[0];
    const double planeDistance = -dot(face.normal, toEye);  // n·(P0 − eye), negative when facing the eye
    if (!(planeDistance < 0.0)) return;

    CameraVertex quad[4];
    for (int c = 0; c < 4; ++c) quad[c] = toCamera(camera, face.corners[c]);
    CameraVertex clipped[5];
    const int count = clipToNear(quad, 4, nearDepth_, clipped);
    if (count < 3) return;

    const double centreX = camera.width * 0.5;
    const double centreY = camera.height * 0.5;
    double sx[5], sy[5];
    double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
    for (int i = 0; i < count; ++i) {
        sx[i] = centreX + camera.focalX * (clipped[i].x / clipped[i].z);
        sy[i] = centreY + camera.focalY * (clipped[i].y / clipped[i].z);
        minX = std::min(minX, sx[i]);
        maxX = std::max(maxX, sx[i]);
        minY = std::min(minY, sy[i]);
        maxY = std::max(maxY, sy[i]);
    }
    if (!(std::isfinite(minX) && std::isfinite(maxX) && std::isfinite(minY) && std::isfinite(maxY))) return;
    const int x0 = int(std::max(0.0, std::ceil(minX)));
    const int x1 = int(std::min(double(camera.width - 1), std::floor(maxX)));
    const int y0 = int(std::max(0.0, std::ceil(minY)));
    const int y1 = int(std::min(double(camera.height - 1), std::floor(maxY)));
    if (x0 > x1 || y0 > y1) return;

    // Edge functions oriented so that the inside is ≥ 0 for every edge.
    double area = 0.0;
    for (int i = 0; i < count; ++i) {
        const int j = (i + 1) % count;
        area += sx[i] * sy[j] - sx[j] * sy[i];
    }
    if (!(std::fabs(area) > 1e-12)) return;
    const double orientation = area > 0.0 ? 1.0 : -1.0;
    double ea[5], eb[5], ec[5];
    for (int i = 0; i < count; ++i) {
        const int j = (i + 1) % count;
        const double dx = (sx[j] - sx[i]) * orientation;
        const double dy = (sy[j] - sy[i]) * orientation;
        ea[i] = -dy;
        eb[i] = dx;
        ec[i] = dy * sx[i] - dx * sy[i];
    }

    // 1/depth is affine over the picture for a planar face.
    const double nx = dot(face.normal, camera.side);
    const double ny = dot(face.normal, camera.up);
    const double nz = dot(face.normal, camera.forward);
    const double depthA = nx / (camera.focalX * planeDistance);
    const double depthB = ny / (camera.focalY * planeDistance);
    const double depthC = (nz - nx * centreX / camera.focalX - ny * centreY / camera.focalY) / planeDistance;

    const std::size_t width = std::size_t(camera.width);
    for (int y = y0; y <= y1; ++y) {
        float* depthRow = inverseDepth_.data() + std::size_t(y) * width;
        std::uint8_t* row = pixels + std::size_t(y) * width * 3;
        for (int x = x0; x <= x1; ++x) {
            bool inside = true;
            for (int i = 0; i < count && inside; ++i) inside = ea[i] * x + eb[i] * y + ec[i] >= 0.0;
            if (!inside) continue;
            const float inverse = float(depthA * x + depthB * y + depthC);
            float& stored = depthRow[x];
            // Less-or-equal depth test: a face that coincides with one already
            // drawn (same plane, so the same value) still shows.
            if (inverse < stored) continue;
            stored = inverse;
            if (pass != Pass::DepthOnly) writePixel(row + 3 * std::size_t(x), face.rgb, order);
        }
    }
}

void RuinsSceneRenderer::prepareNoise(double sigma)
{
    if (noiseTable_.size() == kNoiseTableSize && noiseTableSigma_ == sigma) return;
    // Each entry: the sum of four uniform 16-bit values, close to Gaussian and
    // needing no libm, scaled to sigma and rounded.
    constexpr double kSumMean = 4.0 * 32767.5;
    constexpr double kSumDeviation = 37837.22689;  // sqrt(4 (65536² − 1) / 12)
    const double scale = sigma / kSumDeviation;
    noiseTable_.resize(kNoiseTableSize);
    for (std::size_t i = 0; i < kNoiseTableSize; ++i) {
        const std::uint64_t h = mix64(i);
        const double sum = double(h & 0xFFFF) + double((h >> 16) & 0xFFFF) + double((h >> 32) & 0xFFFF) +
                           double(h >> 48);
        const double value = std::floor((sum - kSumMean) * scale + 0.5);
        noiseTable_[i] = std::int16_t(std::clamp(value, -255.0, 255.0));
    }
    noiseTableSigma_ = sigma;
}

void RuinsSceneRenderer::addNoise(const FrameCamera& camera, std::uint8_t* pixels, double sigma, std::uint64_t seed)
{
    prepareNoise(sigma);
    const std::size_t bytes = std::size_t(camera.width) * std::size_t(camera.height) * 3;
    // xorshift64*: each step gives four table indices.
    std::uint64_t state = mix64(seed) | 1u;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        if ((i & 3) == 0) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            bits = state * 0x2545F4914F6CDD1Dull;
        }
        const int noisy = int(pixels[i]) + noiseTable_[bits & (kNoiseTableSize - 1)];
        bits >>= 16;
        pixels[i] = clampByte(noisy);
    }
}

}  // namespace ruins

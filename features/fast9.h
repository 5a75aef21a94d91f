#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "features/corner_point.h"

// FAST-9 corner detection over an 8-bit grey image: one byte per pixel, rows one
// after another, row length = width. Pixel (x, y) is byte y * width + x.
//
// The segment test: with centre value c and threshold t, a circle pixel p is
// brighter if p > c + t and darker if p < c - t (strict, exact int arithmetic);
// a pixel is a corner when at least 9 pixels contiguous on the 16-pixel circle of
// radius 3 are all brighter, or at least 9 contiguous ones are all darker.
// A border of 3 pixels is never tested. Any threshold is accepted; from 256 up
// nothing is brighter or darker, so no pixel is a corner.
//
// All functions are re-entrant; they throw std::bad_alloc when memory runs out.

// Byte offsets from the centre to the 16 circle pixels, in circle order starting
// at (0, +3) and turning through (3, 0), (0, -3), (-3, 0); index 15 is next to 0.
using FastCircleOffsets = std::array<std::ptrdiff_t, 16>;
FastCircleOffsets fastCircleOffsets(int width);

// The corner list starts with room for this many corners and doubles when full.
inline constexpr std::size_t kFastInitialCapacity = 512;

// Segment test over the whole image. Corners come in raster order (ascending y,
// then ascending x). `count` receives their number. A null image, a height or
// width of 6 or less, or a negative size gives no corner.
std::vector<CornerPoint> fast9Detect(const unsigned char* image, int width, int height,
                                     int threshold, int* count);

// As above into a caller-owned list (cleared first, capacity kept), so a per-frame
// caller allocates nothing once the list has grown to fit.
void fast9Detect(const unsigned char* image, int width, int height, int threshold,
                 std::vector<CornerPoint>& corners);

// The segment test at one pixel; `centre` must have the whole circle inside the image.
bool fast9IsCorner(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold);

// Corner score: the larger of the summed excess of the brighter pixels over c + t
// and the summed shortfall of the darker pixels under c - t. Saturates at INT_MAX.
int fast9Score(const unsigned char* centre, const FastCircleOffsets& offsets, int threshold);

// Working memory of the suppression, kept by a per-frame caller between calls.
struct FastNonmaxWorkspace {
    std::vector<int> rowStart;  // first list position on each row, -1 if none
    std::vector<int> scores;
    std::vector<int> rowScores;  // scores of three corner rows by column, -1 where none
};

// Non-maximum suppression of corners in the raster order fast9Detect produces.
// Returns none when there are fewer than 5 corners, or when a corner lies outside
// the tested interior of the image (its score could not be computed). The first
// and the last corner of the list are never kept; a corner is dropped when a
// neighbour (left, right, or within one column in the row above or below) has a
// strictly greater score. The survivors keep raster order.
std::optional<std::vector<CornerPoint>> fastNonmaxSuppression(
    const unsigned char* image, int width, int height, const CornerPoint* corners,
    int cornerCount, int threshold);

// As above into caller-owned storage. Returns false for "none", leaving `kept`
// unchanged; otherwise `kept` is replaced by the survivors.
bool fastNonmaxSuppression(const unsigned char* image, int width, int height,
                           const CornerPoint* corners, int cornerCount, int threshold,
                           std::vector<CornerPoint>& kept, FastNonmaxWorkspace& workspace);

// The suppression rule on given scores (scores[i] belongs to corners[i]); every
// corner row must lie in [0, height). Returns false for fewer than 5 corners or a
// row outside the image, leaving `kept` unchanged.
bool fastNonmaxSuppressScored(const CornerPoint* corners, const int* scores, int cornerCount,
                              int height, std::vector<CornerPoint>& kept,
                              std::vector<int>& rowStart);

// The brick tables, model points and reference positions.

#include "scene/ruins_model.h"
#include "tests/support/ruins_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

using namespace ruins;

namespace {

int occurrences(std::span<const GridCell> cells, GridCell cell)
{
    return int(std::count(cells.begin(), cells.end(), cell));
}

}  // namespace

TEST(RuinsModel, RuinsDrawCellOriginThreeTimesInOrder)
{
    const auto cells = ruinsModelCells();
    EXPECT_EQ(occurrences(cells, {0, 0, 0}), 3);
    EXPECT_EQ(cells[0], (GridCell{0, 0, 0}));
    EXPECT_EQ(cells[9], (GridCell{0, 9, 0}));
    EXPECT_EQ(cells[10], (GridCell{0, 0, 0}));
    EXPECT_EQ(cells[15], (GridCell{0, 0, 5}));
    EXPECT_EQ(cells[16], (GridCell{0, 0, 0}));
    EXPECT_EQ(cells[22], (GridCell{6, 0, 0}));
    EXPECT_EQ(cells[23], (GridCell{0, 1, 1}));
    EXPECT_EQ(cells[32], (GridCell{4, 0, 1}));
}

TEST(RuinsModel, VirtualModelOrderAndRepeats)
{
    const auto cells = virtualModelCells();
    EXPECT_EQ(occurrences(cells, {1, 3, 0}), 2);
    EXPECT_EQ(occurrences(cells, {2, 3, 0}), 2);
    EXPECT_EQ(cells[0], (GridCell{0, 1, 5}));
    EXPECT_EQ(cells[2], (GridCell{0, 1, 3}));
    EXPECT_EQ(cells[3], (GridCell{0, 2, 5}));
    EXPECT_EQ(cells[17], (GridCell{1, 3, 0}));
    EXPECT_EQ(cells[18], (GridCell{2, 3, 0}));
    EXPECT_EQ(cells[47], (GridCell{1, 0, 2}));
    EXPECT_EQ(cells[50], (GridCell{1, 0, 5}));
    EXPECT_EQ(cells[46], (GridCell{3, 3, 1}));
    EXPECT_EQ(cells[51], (GridCell{2, 0, 5}));
    EXPECT_EQ(cells[74], (GridCell{6, 0, 1}));
    // Apart from the two repeats, no virtual brick stands where a ruins brick stands.
    const auto ruinsCells = ruinsModelCells();
    for (const GridCell& c : cells) EXPECT_EQ(occurrences(ruinsCells, c), 0) << c.i << c.j << c.k;
}

TEST(RuinsModel, BrickCentresAndExtent)
{
    const Float3 c = brickCentre({6, 0, 5});
    EXPECT_EQ(c.x, 15.6f);
    EXPECT_EQ(c.y, 1.2f);
    EXPECT_EQ(c.z, 13.2f);
    EXPECT_FLOAT_EQ(c.x - 0.5f * kBrickEdgeF, 14.4f);
    EXPECT_FLOAT_EQ(c.x + 0.5f * kBrickEdgeF, 16.8f);
}

TEST(RuinsModel, UnitBrickStripsCoverSixFacesWithOutwardNormals)
{
    // Each quad of a strip (vertices 2q .. 2q+3) lies in a face whose normal
    // is that of its last vertex and points away from the centre.
    std::set<std::tuple<int, int, int>> faces;
    for (const QuadStrip& strip : kBrickStrips) {
        for (int q = 0; q + 3 < strip.count; q += 2) {
            const Float3 n = kBrickNormals[kBrickIndices[strip.first + q + 3]];
            for (int v = 0; v < 4; ++v) {
                const Float3 p = kBrickVertices[kBrickIndices[strip.first + q + v]];
                EXPECT_FLOAT_EQ(p.x * n.x + p.y * n.y + p.z * n.z, 0.5f) << "strip at " << strip.first << " quad " << q;
            }
            faces.insert({int(n.x), int(n.y), int(n.z)});
        }
    }
    EXPECT_EQ(faces.size(), 6u);
}

TEST(RuinsModel, ModelPointsAreGridTimesBrickEdge)
{
    EXPECT_EQ(modelPointGrid()[0], (GridCell{0, 1, 6}));
    EXPECT_EQ(modelPointGrid()[38], (GridCell{4, 3, 1}));
    const Vector3 p = modelPoint(26);  // (4, 4, 0)
    EXPECT_EQ(p.x, 4 * 2.4);
    EXPECT_EQ(p.z, 0.0);
    EXPECT_EQ(modelPoints()[37].z, 6 * 2.4);
}

TEST(RuinsModel, ReferencePositionsFitTheFrame)
{
    EXPECT_EQ(referencePositions()[0], (PixelPosition{41, 135}));
    EXPECT_EQ(referencePositions()[36], (PixelPosition{227, 163}));
    for (int i = 0; i < kModelPointCount; ++i) {
        EXPECT_EQ(scaledReferencePosition(i, 320, 240, 320, 240), referencePositions()[i]);
        EXPECT_EQ(scaledReferencePosition(i, 320, 240, 0, 0), referencePositions()[i]) << "missing: 320 × 240";
    }
    EXPECT_EQ(scaledReferencePosition(0, 640, 480, 320, 240), (PixelPosition{82, 270}));
    EXPECT_EQ(scaledReferencePosition(0, 160, 120, 0, 0), (PixelPosition{21, 68}));  // 20.5, 67.5 rounded away
    // Other shapes: scaled evenly to fit and centred, never stretched.
    EXPECT_EQ(scaledReferencePosition(0, 1280, 720, 320, 240), (PixelPosition{283, 405}));  // 160 + 3 × 41
    EXPECT_EQ(scaledReferencePosition(0, 480, 480, 320, 240), (PixelPosition{62, 263}));    // 60 + 1.5 × 135
    EXPECT_EQ(scaledReferencePosition(1, 0, 0, 320, 240), (PixelPosition{0, 0}));
    const PixelPosition huge = scaledReferencePosition(36, 2147483647, 2147483647, 1, 1);
    EXPECT_EQ(huge.x, 2147483647) << "saturates";
}

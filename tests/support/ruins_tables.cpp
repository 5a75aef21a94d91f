#include "tests/support/ruins_tables.h"

namespace ruins {

namespace {

constexpr std::array<GridCell, kRuinsBrickCount> makeRuinsCells()
{
    std::array<GridCell, kRuinsBrickCount> cells{};
    int n = 0;
    for (int j = 0; j <= 9; ++j) cells[n++] = {0, j, 0};
    for (int k = 0; k <= 5; ++k) cells[n++] = {0, 0, k};
    for (int i = 0; i <= 6; ++i) cells[n++] = {i, 0, 0};
    for (const GridCell& c : {GridCell{0, 1, 1}, GridCell{0, 1, 2}, GridCell{0, 2, 1}, GridCell{1, 1, 0},
                              GridCell{1, 2, 0}, GridCell{2, 2, 0}, GridCell{3, 2, 0}, GridCell{3, 3, 0},
                              GridCell{1, 0, 1}, GridCell{4, 0, 1}})
        cells[n++] = c;
    return cells;
}

// Appends (i, j, k) for k running from `from` down (or up) to `to`, both included.
constexpr void appendColumn(std::array<GridCell, kVirtualBrickCount>& cells, int& n, int i, int j, int from, int to)
{
    const int step = from <= to ? 1 : -1;
    for (int k = from;; k += step) {
        cells[n++] = {i, j, k};
        if (k == to) break;
    }
}

constexpr std::array<GridCell, kVirtualBrickCount> makeVirtualCells()
{
    std::array<GridCell, kVirtualBrickCount> cells{};
    int n = 0;
    appendColumn(cells, n, 0, 1, 5, 3);
    appendColumn(cells, n, 0, 2, 5, 2);
    appendColumn(cells, n, 0, 3, 5, 1);
    appendColumn(cells, n, 0, 4, 5, 1);
    cells[n++] = {1, 3, 0};
    cells[n++] = {2, 3, 0};
    appendColumn(cells, n, 0, 5, 5, 1);
    for (int i = 1; i <= 3; ++i) cells[n++] = {i, 4, 0};
    for (int i = 1; i <= 3; ++i) cells[n++] = {i, 5, 0};
    appendColumn(cells, n, 1, 3, 5, 0);
    appendColumn(cells, n, 2, 3, 5, 0);
    appendColumn(cells, n, 3, 3, 5, 1);
    appendColumn(cells, n, 1, 0, 2, 5);
    appendColumn(cells, n, 2, 0, 5, 1);
    appendColumn(cells, n, 3, 0, 5, 1);
    appendColumn(cells, n, 4, 0, 5, 2);
    appendColumn(cells, n, 5, 0, 5, 1);
    appendColumn(cells, n, 6, 0, 5, 1);
    return n == kVirtualBrickCount ? cells : std::array<GridCell, kVirtualBrickCount>{};
}

constexpr std::array<GridCell, kRuinsBrickCount> kRuinsCells = makeRuinsCells();
constexpr std::array<GridCell, kVirtualBrickCount> kVirtualCells = makeVirtualCells();
static_assert(kVirtualCells[kVirtualBrickCount - 1] == GridCell{6, 0, 1}, "virtual model table is incomplete");

constexpr std::array<GridCell, kModelPointCount> kModelPointGrid{{
    {0, 1, 6}, {1, 1, 6}, {0, 0, 6}, {0, 1, 3}, {1, 1, 3}, {1, 0, 3}, {1, 1, 2}, {1, 0, 2},
    {1, 2, 2}, {0, 2, 2}, {0, 2, 3}, {1, 2, 3}, {2, 0, 2}, {2, 0, 1}, {2, 1, 1}, {2, 1, 2},
    {1, 1, 1}, {1, 2, 1}, {1, 3, 1}, {0, 3, 1}, {0, 3, 2}, {1, 3, 2}, {3, 1, 1}, {3, 3, 1},
    {3, 4, 1}, {4, 4, 1}, {4, 4, 0}, {4, 1, 2}, {5, 1, 2}, {5, 0, 2}, {5, 0, 1}, {5, 1, 1},
    {5, 1, 0}, {6, 1, 1}, {7, 0, 1}, {7, 1, 1}, {7, 1, 0}, {1, 0, 6}, {4, 3, 1},
}};

constexpr std::array<PixelPosition, kModelPointCount> kReferencePositions{{
    {41, 135},  {52, 144},  {42, 151},  {93, 116},  {104, 123}, {104, 139}, {118, 119}, {118, 133},
    {118, 102}, {109, 95},  {94, 100},  {104, 108}, {130, 142}, {144, 136}, {145, 122}, {131, 127},
    {134, 114}, {135, 99},  {135, 81},  {124, 74},  {110, 78},  {120, 85},  {158, 131}, {161, 97},
    {163, 80},  {176, 88},  {191, 83},  {156, 147}, {169, 156}, {168, 171}, {182, 163}, {183, 149},
    {197, 142}, {199, 159}, {212, 184}, {214, 170}, {227, 163}, {52, 158},  {175, 106},
}};

}  // namespace

std::span<const GridCell, kRuinsBrickCount> ruinsModelCells() { return kRuinsCells; }
std::span<const GridCell, kVirtualBrickCount> virtualModelCells() { return kVirtualCells; }

std::span<const GridCell, kModelPointCount> modelPointGrid() { return kModelPointGrid; }

Vector3 modelPoint(int index)
{
    const GridCell& g = kModelPointGrid[static_cast<std::size_t>(index)];
    return {double(g.i) * kBrickEdge, double(g.j) * kBrickEdge, double(g.k) * kBrickEdge};
}

std::array<Vector3, kModelPointCount> modelPoints()
{
    std::array<Vector3, kModelPointCount> points;
    for (int i = 0; i < kModelPointCount; ++i) points[static_cast<std::size_t>(i)] = modelPoint(i);
    return points;
}

std::span<const PixelPosition, kModelPointCount> referencePositions() { return kReferencePositions; }

PixelPosition scaledReferencePosition(int index, int frameWidth, int frameHeight, int calibrationWidth,
                                      int calibrationHeight)
{
    return scaledReferencePosition(kReferencePositions[static_cast<std::size_t>(index)], frameWidth, frameHeight,
                                   calibrationWidth, calibrationHeight);
}

std::optional<CameraPose> computeCalibrationPose()
{
    const std::array<Vector3, kModelPointCount> model = modelPoints();
    return computeReferencePose(model, referencePositions(), kDefaultCalibrationWidth, kDefaultCalibrationHeight);
}

}  // namespace ruins

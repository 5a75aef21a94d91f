// Scene files: the bundled ruins hold the built-in tables, hostile files are
// refused with the file, the field and the problem, and saving keeps a scene.

#include "scene/ruins_model.h"
#include "scene/scene.h"
#include "scene/scene_model.h"
#include "tests/support/ruins_tables.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

using namespace ruins;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const fs::path kSourceDir = CASTELLAN_SOURCE_DIR;
const fs::path kRuinsScene = kSourceDir / "data" / "ruins.json";
const fs::path kArchScene = kSourceDir / "tests" / "data" / "scenes" / "arch.json";

std::string readText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// A fresh folder holding a copy of the calibration frame, so spoilt scenes fail
// for what was spoilt and for nothing else.
class SceneFolder : public ::testing::Test {
protected:
    SceneFolder()
    {
        fs::create_directories(folder);
        fs::copy_file(kSourceDir / "data" / "CalibrationFrame.png", folder / "CalibrationFrame.png",
                      fs::copy_options::overwrite_existing);
    }
    ~SceneFolder() override { fs::remove_all(folder); }

    static inline int made = 0;
    const fs::path folder =
        fs::temp_directory_path() / ("castellan-scene-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
};

}  // namespace

TEST(Scene, BundledRuinsHoldTheBuiltInTables)
{
    const SceneLoad load = loadScene(kRuinsScene);
    ASSERT_TRUE(load.scene) << load.error;
    const Scene& scene = *load.scene;
    EXPECT_EQ(scene.name, "ruins");
    EXPECT_EQ(scene.brickEdge, kBrickEdge);
    EXPECT_EQ(scene.picture, "CalibrationFrame.png");
    EXPECT_FALSE(scene.fieldOfView);
    ASSERT_EQ(scene.points.size(), std::size_t(kModelPointCount));
    for (int i = 0; i < kModelPointCount; ++i) {
        const ScenePoint& point = scene.points[std::size_t(i)];
        ASSERT_TRUE(std::holds_alternative<GridCell>(point.corner)) << i;
        EXPECT_EQ(std::get<GridCell>(point.corner), modelPointGrid()[std::size_t(i)]) << i;
        EXPECT_EQ(point.reference, referencePositions()[std::size_t(i)]) << i;
        const Vector3 fromScene = modelPoint(scene, i);
        const Vector3 fromTable = modelPoint(i);
        EXPECT_TRUE(fromScene.x == fromTable.x && fromScene.y == fromTable.y && fromScene.z == fromTable.z) << i;
    }
    EXPECT_TRUE(std::ranges::equal(scene.realBricks, ruinsModelCells()));
    EXPECT_TRUE(std::ranges::equal(scene.virtualBricks, virtualModelCells()));
    EXPECT_EQ(bundledRuinsScene()->scene, scene) << "the program's built-in ruins are the file as it stands";
}

TEST(Scene, ArchIsAnotherStructureWithItsOwnEdgeAndFieldOfView)
{
    const SceneLoad load = loadScene(kArchScene);
    ASSERT_TRUE(load.scene) << load.error;
    EXPECT_GE(load.scene->points.size(), 20u);
    EXPECT_EQ(load.scene->brickEdge, 3.2);
    EXPECT_EQ(load.scene->fieldOfView, 40.0);
    const Vector3 last = modelPoint(*load.scene, int(load.scene->points.size()) - 1);
    EXPECT_EQ(last.x, 32.0);  // given in model units, not scaled by the edge
    EXPECT_EQ(modelPoint(*load.scene, 1).z, 3 * 3.2);
}

// Sharp blocks of one colour side by side show no line between them: of the
// ruins' points, those on a straight edge along a row or a stack of blocks
// (or where one meets the table) can never be seen as a corner. Rounded blocks
// leave a groove, so every point of theirs can.
TEST(Scene, PointsOnStraightEdgesAreNeverSeenAsCorners)
{
    const auto ruins = bundledRuinsScene();
    std::vector<int> cornerless;
    for (int i = 0; i < ruins->pointCount(); ++i)
        if (!ruins->seenAsCorner(i)) cornerless.push_back(i);
    EXPECT_EQ(cornerless, (std::vector<int>{5, 17, 22, 32, 33, 38}));
    Scene rounded = ruins->scene;
    rounded.edgeRadius = 0.2;
    std::string error;
    const auto model = prepareScene(rounded, kRuinsScene, error);
    ASSERT_TRUE(model) << error;
    for (int i = 0; i < model->pointCount(); ++i) EXPECT_TRUE(model->seenAsCorner(i)) << i;
}

// On rounded blocks a corner is seen r·(1 − 1/√3) inside the grid corner, along
// each axis in which the blocks there agree, but never above the table.
TEST(Scene, RoundedBlocksMoveTheirCornersInwards)
{
    SceneLoad load = loadScene(kArchScene);
    ASSERT_TRUE(load.scene) << load.error;
    std::string error;
    const auto sharp = prepareScene(*load.scene, kArchScene, error);
    load.scene->edgeRadius = 0.2;
    const auto rounded = prepareScene(*load.scene, kArchScene, error);
    ASSERT_TRUE(sharp && rounded) << error;
    const double in = 0.2 * (1.0 - 1.0 / std::sqrt(3.0));
    const auto moved = [&](int point) { return rounded->points[std::size_t(point)] - sharp->points[std::size_t(point)]; };
    // The first pillar's top (its block below, towards +x +y) and foot (its block
    // above), which stays on the table.
    const Vector3 top = moved(0), foot = moved(4);
    EXPECT_NEAR(top.x, in, 1e-12);
    EXPECT_NEAR(top.y, in, 1e-12);
    EXPECT_NEAR(top.z, -in, 1e-12);
    EXPECT_NEAR(foot.y, -in, 1e-12);
    EXPECT_EQ(foot.z, 0.0);
    // A point given in model units stays where it is.
    EXPECT_EQ(moved(27).x, 0.0);
    EXPECT_EQ(moved(27).z, 0.0);
}

TEST_F(SceneFolder, SavedThenLoadedIsTheSameSceneAndTheBundledFilesAreAsSaved)
{
    for (const fs::path& file : {kRuinsScene, kArchScene}) {
        const SceneLoad original = loadScene(file);
        ASSERT_TRUE(original.scene) << original.error;
        const fs::path copy = folder / file.filename();
        fs::copy_file(picturePath(*original.scene, file), folder / original.scene->picture,
                      fs::copy_options::overwrite_existing);
        ASSERT_EQ(saveScene(*original.scene, copy), "");
        const SceneLoad reloaded = loadScene(copy);
        ASSERT_TRUE(reloaded.scene) << reloaded.error;
        EXPECT_EQ(*reloaded.scene, *original.scene) << file;
        EXPECT_EQ(readText(copy), readText(file)) << file;
    }
}

TEST_F(SceneFolder, SavingWhereNoFileCanBeMadeSaysWhere)
{
    const Scene scene = *loadScene(kRuinsScene).scene;
    const fs::path nowhere = folder / "no-such-folder" / "scene.json";
    EXPECT_EQ(saveScene(scene, nowhere), nowhere.string() + ": cannot write the file");
}

namespace {

struct HostileScene {
    const char* name;
    std::string (*text)(json ruins);  // the bundled ruins, spoilt
    const char* field;                // empty when the file is no scene at all
    const char* problem;
};

std::ostream& operator<<(std::ostream& out, const HostileScene& c) { return out << c.name; }

std::string withRealBricks(json ruins, int count, const json& cell)
{
    ruins["realBricks"] = json::array();
    for (int i = 0; i < count; ++i) ruins["realBricks"].push_back(cell);
    return ruins.dump();
}

const HostileScene kHostileScenes[] = {
    {"NotJson", [](json) { return std::string("{\"name\": \"ruins\", "); }, "", "not JSON"},
    {"NaNLiteral", [](json r) { auto t = r.dump(); return t.replace(t.find("2.4"), 3, "NaN"); }, "", "not JSON"},
    {"DeeplyNested", [](json) { return std::string(100000, '['); }, "", "not JSON"},
    {"TopLevelList", [](json) { return std::string("[1, 2, 3]"); }, "", "not a scene"},
    {"MissingName", [](json r) { r.erase("name"); return r.dump(); }, "name", "missing"},
    {"EmptyName", [](json r) { r["name"] = ""; return r.dump(); }, "name", "non-empty text"},
    {"MissingVirtualBricks", [](json r) { r.erase("virtualBricks"); return r.dump(); }, "virtualBricks", "missing"},
    {"MissingReference", [](json r) { r["points"][4].erase("reference"); return r.dump(); }, "points[4].reference",
     "missing"},
    {"UnknownField", [](json r) { r["fov"] = 40; return r.dump(); }, "fov", "not a scene field"},
    {"GridAndModel", [](json r) { r["points"][2]["model"] = {0, 0, 0}; return r.dump(); }, "points[2]",
     "exactly one of"},
    {"PointsNotAList", [](json r) { r["points"] = 39; return r.dump(); }, "points", "must be a list"},
    {"EightPoints", [](json r) { r["points"].erase(r["points"].begin() + 8, r["points"].end()); return r.dump(); }, "points",
     "8 points, a pose needs at least 9"},
    {"CoplanarPoints",
     [](json r) {
         for (json& p : r["points"]) p["grid"][2] = 1;
         return r.dump();
     },
     "points", "one plane"},
    {"OnePointRepeated",
     [](json r) {
         for (json& p : r["points"]) p["grid"] = {2, 2, 2};
         return r.dump();
     },
     "points", "one plane"},
    {"ReferenceRightOfPicture", [](json r) { r["points"][7]["reference"] = {320, 12}; return r.dump(); },
     "points[7].reference", "(320, 12) lies outside the 320 x 240 picture"},
    {"ReferenceAbovePicture", [](json r) { r["points"][0]["reference"] = {5, -1}; return r.dump(); },
     "points[0].reference", "(5, -1) lies outside"},
    {"FractionalReference", [](json r) { r["points"][3]["reference"] = {5.5, 1}; return r.dump(); },
     "points[3].reference", "two integers"},
    {"MissingPicture", [](json r) { r["picture"] = "nowhere.png"; return r.dump(); }, "picture", "does not exist"},
    {"PictureIsAFolder", [](json r) { r["picture"] = "."; return r.dump(); }, "picture", "not a readable file"},
    {"PictureIsNoPng", [](json r) { r["picture"] = "scene.json"; return r.dump(); }, "picture", "not a PNG picture"},
    {"HundredThousandBricks", [](json r) { return withRealBricks(r, 100000, {0, 0, 0}); }, "realBricks",
     "100000 bricks, at most 10000 are allowed"},
    {"HundredThousandPoints",
     [](json r) {
         r["points"] = json::array();
         for (int i = 0; i < 100000; ++i) r["points"].push_back({{"grid", {i % 7, i % 5, i % 3}}, {"reference", {1, 1}}});
         return r.dump();
     },
     "points", "at most 100"},
    {"InfiniteBrickEdge", [](json r) { auto t = r.dump(); return t.replace(t.find("2.4"), 3, "1e999"); }, "",
     "number overflow"},
    {"ZeroBrickEdge", [](json r) { r["brickEdge"] = 0; return r.dump(); }, "brickEdge", "from 0.000001 to 1000"},
    {"HugeGridCell", [](json r) { r["virtualBricks"][3] = {0, 1e12, 0}; return r.dump(); }, "virtualBricks[3]",
     "three integers from -10000 to 10000"},
    {"BeyondSigned64", [](json r) { r["realBricks"][5] = {0, 18446744073709551615ull, 0}; return r.dump(); },
     "realBricks[5]", "three integers"},
    {"HugeModelPoint",
     [](json r) {
         r["points"][6].erase("grid");
         r["points"][6]["model"] = {0, 1e300, 0};
         return r.dump();
     },
     "points[6].model", "three numbers"},
    {"NullFieldOfView", [](json r) { r["fieldOfView"] = nullptr; return r.dump(); }, "fieldOfView", "degrees"},
    {"StraightAngleFieldOfView", [](json r) { r["fieldOfView"] = 180; return r.dump(); }, "fieldOfView",
     "from 1 to 179"},
    {"EdgeRadiusBeyondHalfTheEdge", [](json r) { r["edgeRadius"] = 2.0; return r.dump(); }, "edgeRadius",
     "half the brick edge"},
};

class HostileSceneFile : public SceneFolder, public ::testing::WithParamInterface<HostileScene> {};

}  // namespace

TEST_P(HostileSceneFile, IsRefusedNamingTheFileTheFieldAndTheProblem)
{
    const HostileScene& c = GetParam();
    const fs::path file = folder / "scene.json";
    writeText(file, c.text(json::parse(readText(kRuinsScene))));
    const SceneLoad load = loadScene(file);
    EXPECT_FALSE(load.scene);
    const std::string where = file.string() + ": ";
    EXPECT_EQ(load.error.rfind(where, 0), 0u) << load.error;
    if (*c.field) {
        EXPECT_NE(load.error.find(where + "field \"" + c.field + "\": "), std::string::npos) << load.error;
    }
    EXPECT_NE(load.error.find(c.problem), std::string::npos) << load.error;
}

INSTANTIATE_TEST_SUITE_P(Scene, HostileSceneFile, ::testing::ValuesIn(kHostileScenes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SceneFolder, MissingOrOversizedSceneFileIsRefused)
{
    const fs::path missing = folder / "missing.json";
    EXPECT_EQ(loadScene(missing).error, missing.string() + ": cannot read the file");
    const fs::path huge = folder / "huge.json";
    writeText(huge, "{");
    fs::resize_file(huge, kMaxSceneFileBytes + 1);
    EXPECT_EQ(loadScene(huge).error, huge.string() + ": larger than 16 MiB, not a scene");
}

// A scene whose picture is yet to be taken: points without positions are read
// only when the picture is not asked for.
TEST_F(SceneFolder, PointsWithoutReferencesAreReadOnlyWithoutThePicture)
{
    json root = json::parse(readText(kRuinsScene));
    for (json& point : root["points"]) point.erase("reference");
    const fs::path file = folder / "unplaced.json";
    writeText(file, root.dump());
    EXPECT_EQ(loadScene(file).error, file.string() + ": field \"points[0].reference\": missing");
    const SceneLoad load = loadScene(file, PictureCheck::Skipped);
    ASSERT_TRUE(load.scene) << load.error;
    EXPECT_EQ(load.scene->points.size(), 39u);
}

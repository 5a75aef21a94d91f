#include "scene/scene.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ruins {

using json = nlohmann::json;
namespace fs = std::filesystem;

bool operator==(const ScenePoint& a, const ScenePoint& b)
{
    if (a.reference != b.reference || a.corner.index() != b.corner.index()) return false;
    if (const auto* cell = std::get_if<GridCell>(&a.corner)) return *cell == std::get<GridCell>(b.corner);
    const Vector3& p = std::get<Vector3>(a.corner);
    const Vector3& q = std::get<Vector3>(b.corner);
    return p.x == q.x && p.y == q.y && p.z == q.z;
}

Vector3 modelPoint(const Scene& scene, int index)
{
    const ScenePoint& point = scene.points[static_cast<std::size_t>(index)];
    if (const auto* cell = std::get_if<GridCell>(&point.corner))
        return {double(cell->i) * scene.brickEdge, double(cell->j) * scene.brickEdge, double(cell->k) * scene.brickEdge};
    return std::get<Vector3>(point.corner);
}

std::vector<Vector3> modelPoints(const Scene& scene)
{
    std::vector<Vector3> points;
    points.reserve(scene.points.size());
    for (int i = 0; i < int(scene.points.size()); ++i) points.push_back(modelPoint(scene, i));
    return points;
}

bool pictureStaysInSceneFolder(const fs::path& picture)
{
    if (picture.has_root_path()) return false;
    for (const fs::path& part : picture)
        if (part == "..") return false;
    return true;
}

fs::path picturePath(const Scene& scene, const fs::path& sceneFile)
{
    return sceneFile.parent_path() / scene.picture;
}

std::optional<PictureSize> readPngSize(const fs::path& file)
{
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::array<unsigned char, 24> header{};
    if (!in.read(reinterpret_cast<char*>(header.data()), std::streamsize(header.size()))) return std::nullopt;
    // Signature, then the first chunk, which must be IHDR: width and height big-endian.
    constexpr std::array<unsigned char, 16> kStart{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                                   0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    if (!std::equal(kStart.begin(), kStart.end(), header.begin())) return std::nullopt;
    const auto bigEndian = [&](std::size_t at) {
        return std::uint32_t(header[at]) << 24 | std::uint32_t(header[at + 1]) << 16 |
               std::uint32_t(header[at + 2]) << 8 | std::uint32_t(header[at + 3]);
    };
    const std::uint32_t width = bigEndian(16);
    const std::uint32_t height = bigEndian(20);
    // PNG caps both sides at 2^31 - 1; zero is not a picture.
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu) return std::nullopt;
    return PictureSize{int(width), int(height)};
}

namespace {

// What is wrong and where; turned into the one-line message by loadScene.
struct FieldError {
    std::string field;
    std::string problem;
};

[[noreturn]] void fail(std::string field, std::string problem)
{
    throw FieldError{std::move(field), std::move(problem)};
}

std::string indexed(const std::string& list, std::size_t index)
{
    return list + "[" + std::to_string(index) + "]";
}

const json& member(const json& object, const std::string& key, const std::string& prefix = {})
{
    const auto found = object.find(key);
    if (found == object.end()) fail(prefix + key, "missing");
    return *found;
}

void refuseUnknownKeys(const json& object, std::initializer_list<const char*> known, const std::string& prefix)
{
    for (const auto& [key, value] : object.items())
        if (std::none_of(known.begin(), known.end(), [&](const char* name) { return key == name; }))
            fail(prefix + key, "not a scene field");
}

const json& list(const json& value, const std::string& field, std::size_t maxSize, const char* what)
{
    if (!value.is_array()) fail(field, "must be a list");
    if (value.size() > maxSize)
        fail(field, std::to_string(value.size()) + " " + what + ", at most " + std::to_string(maxSize) + " are allowed");
    return value;
}

double number(const json& value, const std::string& field, double min, double max, const std::string& range)
{
    // Written so that NaN, which fails every comparison, is refused too.
    if (!value.is_number() || !(value.get<double>() >= min && value.get<double>() <= max)) fail(field, "must be " + range);
    return value.get<double>();
}

int integer(const json& value, const std::string& field, int limit, const std::string& range)
{
    if (!value.is_number_integer()) fail(field, "must be " + range);
    // Unsigned JSON integers above INT64_MAX cannot be asked for as signed.
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(limit)) fail(field, "must be " + range);
    const std::int64_t v = value.get<std::int64_t>();
    if (v < -limit || v > limit) fail(field, "must be " + range);
    return int(v);
}

std::array<int, 3> threeIntegers(const json& value, const std::string& field, int limit)
{
    const std::string range = "three integers from " + std::to_string(-limit) + " to " + std::to_string(limit);
    if (!value.is_array() || value.size() != 3) fail(field, "must be " + range);
    return {integer(value[0], field, limit, range), integer(value[1], field, limit, range),
            integer(value[2], field, limit, range)};
}

GridCell gridCell(const json& value, const std::string& field)
{
    const auto [i, j, k] = threeIntegers(value, field, kMaxGridCoordinate);
    return {i, j, k};
}

Vector3 modelPosition(const json& value, const std::string& field)
{
    const std::string range = "three numbers from -1000000 to 1000000";
    if (!value.is_array() || value.size() != 3) fail(field, "must be " + range);
    return {number(value[0], field, -kMaxModelCoordinate, kMaxModelCoordinate, range),
            number(value[1], field, -kMaxModelCoordinate, kMaxModelCoordinate, range),
            number(value[2], field, -kMaxModelCoordinate, kMaxModelCoordinate, range)};
}

PixelPosition referencePosition(const json& value, const std::string& field)
{
    // Bounded here only against overflow; the picture's size bounds it later.
    constexpr int kLimit = 1 << 30;
    const std::string range = "two integers, column and row from the picture's top edge";
    if (!value.is_array() || value.size() != 2) fail(field, "must be " + range);
    return {integer(value[0], field, kLimit, range), integer(value[1], field, kLimit, range)};
}

ScenePoint scenePoint(const json& value, const std::string& field, PictureCheck pictureCheck)
{
    if (!value.is_object()) fail(field, "must be an object with \"grid\" or \"model\", and \"reference\"");
    refuseUnknownKeys(value, {"grid", "model", "reference"}, field + ".");
    const bool onGrid = value.contains("grid");
    if (onGrid == value.contains("model")) fail(field, "needs exactly one of \"grid\" and \"model\"");
    ScenePoint point;
    if (onGrid)
        point.corner = gridCell(value["grid"], field + ".grid");
    else
        point.corner = modelPosition(value["model"], field + ".model");
    // A scene whose picture is yet to be taken may leave its positions out.
    if (pictureCheck == PictureCheck::Required || value.contains("reference"))
        point.reference = referencePosition(member(value, "reference", field + "."), field + ".reference");
    return point;
}

std::vector<GridCell> bricks(const json& value, const std::string& field)
{
    std::vector<GridCell> cells;
    for (const json& cell : list(value, field, kMaxSceneBricks, "bricks"))
        cells.push_back(gridCell(cell, indexed(field, cells.size())));
    return cells;
}

Scene sceneFromJson(const json& root, PictureCheck pictureCheck)
{
    refuseUnknownKeys(root,
                      {"name", "brickEdge", "picture", "fieldOfView", "edgeRadius", "points", "realBricks",
                       "virtualBricks"},
                      "");
    Scene scene;
    const json& name = member(root, "name");
    if (!name.is_string() || name.get<std::string>().empty()) fail("name", "must be a non-empty text");
    scene.name = name.get<std::string>();
    scene.brickEdge = number(member(root, "brickEdge"), "brickEdge", kMinBrickEdge, kMaxBrickEdge,
                             "a number from 0.000001 to 1000");
    const json& picture = member(root, "picture");
    if (!picture.is_string() || picture.get<std::string>().empty()) fail("picture", "must be a file name");
    scene.picture = fs::path(picture.get<std::string>());
    // Capturing a reference picture writes this file: a scene may not point it
    // at a file elsewhere on the system.
    if (!pictureStaysInSceneFolder(scene.picture))
        fail("picture", "\"" + scene.picture.string() + "\" must name a file in the scene's folder or below it");
    if (root.contains("fieldOfView"))
        scene.fieldOfView = number(root["fieldOfView"], "fieldOfView", kMinFieldOfView, kMaxFieldOfView,
                                   "a number of degrees from 1 to 179");
    // Up to half an edge: a block rounded further would be a sphere.
    if (root.contains("edgeRadius"))
        scene.edgeRadius = number(root["edgeRadius"], "edgeRadius", 0.0, scene.brickEdge / 2.0,
                                  "a number from 0 to half the brick edge");
    for (const json& point : list(member(root, "points"), "points", kMaxScenePoints, "points"))
        scene.points.push_back(scenePoint(point, indexed("points", scene.points.size()), pictureCheck));
    scene.realBricks = bricks(member(root, "realBricks"), "realBricks");
    scene.virtualBricks = bricks(member(root, "virtualBricks"), "virtualBricks");
    return scene;
}

// Whether the points span space: some point lies off the line through the two
// farthest-apart candidates, and some point off the plane through those three.
bool pointsSpanSpace(const std::vector<Vector3>& points)
{
    const Vector3 origin = points.front();
    const auto farthest = [&](auto distance) {
        return *std::max_element(points.begin(), points.end(),
                                 [&](const Vector3& a, const Vector3& b) { return distance(a) < distance(b); });
    };
    Vector3 axis = farthest([&](const Vector3& p) { return dot(p - origin, p - origin); }) - origin;
    const double extent = axis.normalize();
    if (extent == 0.0) return false;
    const double tolerance = 1e-9 * extent;
    const auto offAxis = [&](const Vector3& p) {
        const Vector3 side = cross(p - origin, axis);
        return dot(side, side);
    };
    Vector3 normal = cross(axis, farthest(offAxis) - origin);
    if (normal.normalize() <= tolerance) return false;
    const auto offPlane = [&](const Vector3& p) { return std::abs(dot(p - origin, normal)); };
    return offPlane(farthest(offPlane)) > tolerance;
}

void checkPoints(const Scene& scene)
{
    if (int(scene.points.size()) < kMinScenePoints)
        fail("points", std::to_string(scene.points.size()) + " points, a pose needs at least " +
                           std::to_string(kMinScenePoints));
    if (!pointsSpanSpace(modelPoints(scene)))
        fail("points", "all points lie in one plane (or on one line); a pose needs points off it");
}

void checkPicture(const Scene& scene, const fs::path& sceneFile)
{
    const fs::path path = picturePath(scene, sceneFile);
    std::error_code error;
    if (!fs::exists(path, error)) fail("picture", "\"" + path.string() + "\" does not exist");
    std::ifstream probe(path, std::ios::binary);
    if (!fs::is_regular_file(path, error) || !probe) fail("picture", "\"" + path.string() + "\" is not a readable file");
    const std::optional<PictureSize> size = readPngSize(path);
    if (!size) fail("picture", "\"" + path.string() + "\" is not a PNG picture");
    for (std::size_t i = 0; i < scene.points.size(); ++i) {
        const PixelPosition& p = scene.points[i].reference;
        if (p.x < 0 || p.y < 0 || p.x >= size->width || p.y >= size->height)
            fail(indexed("points", i) + ".reference", "(" + std::to_string(p.x) + ", " + std::to_string(p.y) +
                                                          ") lies outside the " + std::to_string(size->width) +
                                                          " x " + std::to_string(size->height) + " picture");
    }
}

std::optional<std::string> readSceneText(const fs::path& file, std::string& problem)
{
    std::error_code error;
    const std::uintmax_t bytes = fs::file_size(file, error);
    if (error) {
        problem = "cannot read the file";
        return std::nullopt;
    }
    if (bytes > kMaxSceneFileBytes) {
        problem = "larger than 16 MiB, not a scene";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in && !in.eof()) {
        problem = "cannot read the file";
        return std::nullopt;
    }
    return text;
}

std::string formatCell(const GridCell& c)
{
    std::ostringstream text;
    text << '[' << c.i << ", " << c.j << ", " << c.k << ']';
    return text.str();
}

// Numbers as JSON writes them: the shortest text that reads back as the same double.
std::string formatNumber(double value) { return json(value).dump(); }

std::string formatPoint(const Scene& scene, std::size_t index)
{
    const ScenePoint& point = scene.points[index];
    std::string corner;
    if (const auto* cell = std::get_if<GridCell>(&point.corner)) {
        corner = "\"grid\": " + formatCell(*cell);
    } else {
        const Vector3& p = std::get<Vector3>(point.corner);
        corner = "\"model\": [" + formatNumber(p.x) + ", " + formatNumber(p.y) + ", " + formatNumber(p.z) + "]";
    }
    return "{" + corner + ", \"reference\": [" + std::to_string(point.reference.x) + ", " +
           std::to_string(point.reference.y) + "]}";
}

// A JSON list with one element per line, indented under its key.
template <typename Format>
void writeList(std::ostream& out, const char* key, std::size_t size, Format format, bool last)
{
    out << "  \"" << key << "\": [";
    for (std::size_t i = 0; i < size; ++i) out << (i ? ",\n    " : "\n    ") << format(i);
    out << (size ? "\n  ]" : "]") << (last ? "\n" : ",\n");
}

std::string sceneText(const Scene& scene)
{
    std::ostringstream out;
    out << "{\n";
    out << "  \"name\": " << json(scene.name).dump() << ",\n";
    out << "  \"brickEdge\": " << formatNumber(scene.brickEdge) << ",\n";
    out << "  \"picture\": " << json(scene.picture.generic_string()).dump() << ",\n";
    if (scene.fieldOfView) out << "  \"fieldOfView\": " << formatNumber(*scene.fieldOfView) << ",\n";
    if (scene.edgeRadius) out << "  \"edgeRadius\": " << formatNumber(*scene.edgeRadius) << ",\n";
    writeList(out, "points", scene.points.size(), [&](std::size_t i) { return formatPoint(scene, i); }, false);
    writeList(out, "realBricks", scene.realBricks.size(), [&](std::size_t i) { return formatCell(scene.realBricks[i]); },
              false);
    writeList(out, "virtualBricks", scene.virtualBricks.size(),
              [&](std::size_t i) { return formatCell(scene.virtualBricks[i]); }, true);
    out << "}\n";
    return out.str();
}

// The parser's own words without its "[json.exception.parse_error.101] " tag:
// where the text stops being JSON and why.
std::string parseProblem(const json::exception& error)
{
    const std::string what = error.what();
    const std::size_t tagEnd = what.find("] ");
    return tagEnd == std::string::npos ? what : what.substr(tagEnd + 2);
}

}  // namespace

SceneLoad loadScene(const fs::path& file, PictureCheck pictureCheck)
{
    std::string problem;
    const std::optional<std::string> text = readSceneText(file, problem);
    if (!text) return {std::nullopt, file.string() + ": " + problem};
    return parseScene(*text, file, pictureCheck);
}

SceneLoad parseScene(std::string_view text, const fs::path& file, PictureCheck pictureCheck)
{
    const std::string where = file.string() + ": ";
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& error) {
        return {std::nullopt, where + "not JSON: " + parseProblem(error)};
    }
    if (!root.is_object()) return {std::nullopt, where + "not a scene: a JSON object with the scene's fields is expected"};
    try {
        Scene scene = sceneFromJson(root, pictureCheck);
        checkPoints(scene);
        if (pictureCheck == PictureCheck::Required) checkPicture(scene, file);
        return {std::move(scene), {}};
    } catch (const FieldError& error) {
        return {std::nullopt, where + "field \"" + error.field + "\": " + error.problem};
    } catch (const std::exception& error) {
        return {std::nullopt, where + error.what()};
    }
}

std::string saveScene(const Scene& scene, const fs::path& file)
{
    fs::path partial = file;
    partial += ".partial";
    std::error_code error;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << sceneText(scene);
        out.close();
        if (!out) {
            fs::remove(partial, error);  // a cut copy is no use to anyone
            return file.string() + ": cannot write the file";
        }
    }
    fs::rename(partial, file, error);
    if (error) {
        fs::remove(partial, error);
        return file.string() + ": cannot write the file";
    }
    return {};
}

}  // namespace ruins

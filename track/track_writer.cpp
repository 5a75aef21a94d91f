#include "track/track_writer.h"

#include "track/pending_file.h"

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

namespace track {

namespace {

// Shortest text that reads back as the same double.
std::string number(double value)
{
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

// Appends every part in order; one growing string instead of temporaries.
template <typename... Parts>
void append(std::string& text, const Parts&... parts)
{
    (text.append(parts), ...);
}

bool finiteCamera(const PinholeCamera& camera)
{
    bool finite = std::isfinite(camera.fx) && std::isfinite(camera.fy) && std::isfinite(camera.cx) &&
                  std::isfinite(camera.cy) && camera.fx > 0.0 && camera.fy > 0.0;
    for (double value : camera.rotation) finite = finite && std::isfinite(value);
    for (double value : camera.translation) finite = finite && std::isfinite(value);
    return finite;
}

std::string writeFailure(const std::filesystem::path& file)
{
    return "cannot write " + file.string() + ": " + std::strerror(errno ? errno : EIO);
}

class JsonTrackWriter final : public TrackWriter {
public:
    JsonTrackWriter(std::unique_ptr<PendingFile> file, std::filesystem::path name)
        : file_(std::move(file)), name_(std::move(name)) {}

    bool begin(int width, int height, std::span<const Vector3> points)
    {
        std::string text;
        append(text, "{\n  \"width\": ", std::to_string(width), ",\n  \"height\": ", std::to_string(height),
               ",\n  \"points\": [");
        for (std::size_t i = 0; i < points.size(); ++i)
            append(text, i ? ",\n    " : "\n    ", "{\"id\": ", std::to_string(i + 1), ", \"xyz\": [",
                   number(points[i].x), ", ", number(points[i].y), ", ", number(points[i].z), "]}");
        text += "\n  ],\n  \"frames\": [";
        return put(text);
    }

    bool addFrame(long long index, const std::optional<PinholeCamera>& camera) override
    {
        if (!error_.empty()) return false;
        std::string text = first_ ? "\n    " : ",\n    ";
        first_ = false;
        append(text, "{\"frame\": ", std::to_string(index));
        if (camera && finiteCamera(*camera)) {
            const PinholeCamera& c = *camera;
            const auto& r = c.rotation;
            append(text, ", \"pose\": true, \"intrinsics\": {\"fx\": ", number(c.fx), ", \"fy\": ", number(c.fy),
                   ", \"cx\": ", number(c.cx), ", \"cy\": ", number(c.cy), ", \"width\": ", std::to_string(c.width),
                   ", \"height\": ", std::to_string(c.height), "}, \"R\": [");
            for (std::size_t row = 0; row < 3; ++row)
                append(text, row ? ", [" : "[", number(r[3 * row]), ", ", number(r[3 * row + 1]), ", ",
                       number(r[3 * row + 2]), "]");
            append(text, "], \"t\": [", number(c.translation[0]), ", ", number(c.translation[1]), ", ",
                   number(c.translation[2]), "]}");
        } else {
            text += ", \"pose\": false}";
        }
        return put(text);
    }

    bool finish() override
    {
        if (!error_.empty() || !put("\n  ]\n}\n")) return false;
        std::string reason;
        if (!file_->commit(reason)) return fail(reason);
        return true;
    }

private:
    bool put(const std::string& text)
    {
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), file_->stream()) == text.size()) return true;
        return fail(writeFailure(name_));
    }

    std::unique_ptr<PendingFile> file_;
    std::filesystem::path name_;
    bool first_ = true;
};

class ColmapModelWriter final : public TrackWriter {
public:
    ColmapModelWriter(std::array<std::unique_ptr<PendingFile>, 3> files, std::array<std::filesystem::path, 3> names,
                      std::span<const Vector3> points)
        : files_(std::move(files)), names_(std::move(names)), points_(points.begin(), points.end()), tracks_(points.size()) {}

    bool begin()
    {
        return put(kImages, "# Image list with two lines of data per image:\n"
                            "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
                            "#   POINTS2D[] as (X, Y, POINT3D_ID)\n");
    }

    bool addFrame(long long index, const std::optional<PinholeCamera>& camera) override
    {
        if (!error_.empty()) return false;
        if (!camera || !finiteCamera(*camera)) return true;  // only frames with a pose become images
        const PinholeCamera& c = *camera;
        const std::uint32_t imageId = ++images_;
        const std::array<double, 4> q = rotationQuaternion(c);
        std::string text = std::to_string(imageId);
        for (double value : q) append(text, " ", number(value));
        for (double value : c.translation) append(text, " ", number(value));
        append(text, " ", std::to_string(cameraId(c)), " ", framePictureName(index), "\n");
        std::uint32_t point2D = 0;
        std::string observations;
        for (std::size_t i = 0; i < points_.size(); ++i) {
            double column = 0.0, row = 0.0;
            if (!project(c, points_[i], column, row) || !inPicture(c, column, row)) continue;
            append(observations, point2D ? " " : "", number(column + 0.5), " ", number(row + 0.5), " ",
                   std::to_string(i + 1));
            tracks_[i].push_back({imageId, point2D++});
        }
        append(text, observations, "\n");
        return put(kImages, text);
    }

    bool finish() override
    {
        if (!error_.empty()) return false;
        if (!writeCameras() || !writePoints()) return false;
        std::string reason;
        for (auto& file : files_)
            if (!file->commit(reason)) return fail(reason);
        return true;
    }

private:
    enum File { kCameras, kImages, kPoints };
    using Intrinsics = std::tuple<int, int, double, double, double, double>;
    struct Observation {
        std::uint32_t image;
        std::uint32_t point2D;
    };

    static bool inPicture(const PinholeCamera& c, double column, double row)
    {
        return column >= -0.5 && row >= -0.5 && column < c.width - 0.5 && row < c.height - 0.5;
    }

    std::uint32_t cameraId(const PinholeCamera& c)
    {
        const Intrinsics key{c.width, c.height, c.fx, c.fy, c.cx, c.cy};
        const auto [found, added] = cameras_.try_emplace(key, std::uint32_t(cameras_.size() + 1));
        if (added) cameraOrder_.push_back(key);
        return found->second;
    }

    bool writeCameras()
    {
        std::string text = "# Camera list with one line of data per camera:\n"
                            "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[] as (fx, fy, cx, cy)\n";
        if (cameraOrder_.empty()) return put(kCameras, text);
        for (std::size_t i = 0; i < cameraOrder_.size(); ++i) {
            const auto& [width, height, fx, fy, cx, cy] = cameraOrder_[i];
            append(text, std::to_string(i + 1), " PINHOLE ", std::to_string(width), " ", std::to_string(height), " ",
                   number(fx), " ", number(fy), " ", number(cx + 0.5), " ", number(cy + 0.5), "\n");
            if (text.size() > (1u << 16) && !flush(kCameras, text)) return false;
        }
        return put(kCameras, text);
    }

    // Every model point, in view or not, so the model's points are all there;
    // COLMAP reads a point without a track as one no image sees.
    bool writePoints()
    {
        std::string text = "# 3D point list with one line of data per point:\n"
                           "#   POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)\n";
        for (std::size_t i = 0; i < points_.size(); ++i) {
            append(text, std::to_string(i + 1), " ", number(points_[i].x), " ", number(points_[i].y), " ",
                   number(points_[i].z), " 255 255 255 0");
            for (const Observation& seen : tracks_[i]) {
                append(text, " ", std::to_string(seen.image), " ", std::to_string(seen.point2D));
                if (text.size() > (1u << 16) && !flush(kPoints, text)) return false;
            }
            text += "\n";
        }
        return put(kPoints, text);
    }

    bool flush(File file, std::string& text)
    {
        const bool written = put(file, text);
        text.clear();
        return written;
    }

    bool put(File file, const std::string& text)
    {
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), files_[file]->stream()) == text.size()) return true;
        return fail(writeFailure(names_[file]));
    }

    std::array<std::unique_ptr<PendingFile>, 3> files_;
    std::array<std::filesystem::path, 3> names_;
    std::vector<Vector3> points_;
    std::vector<std::vector<Observation>> tracks_;  // per model point
    std::map<Intrinsics, std::uint32_t> cameras_;
    std::vector<Intrinsics> cameraOrder_;
    std::uint32_t images_ = 0;
};

bool validSize(int width, int height, std::string& error)
{
    if (width > 0 && height > 0) return true;
    error = "the frame size " + std::to_string(width) + " x " + std::to_string(height) + " has no pixels";
    return false;
}

}  // namespace

bool TrackWriter::fail(std::string reason)
{
    if (error_.empty()) error_ = std::move(reason);
    return false;
}

std::string framePictureName(long long index)
{
    char name[40];
    std::snprintf(name, sizeof name, "frame_%05lld.png", index);
    return name;
}

std::array<std::filesystem::path, 3> colmapModelFiles(const std::filesystem::path& dir)
{
    return {dir / "cameras.txt", dir / "images.txt", dir / "points3D.txt"};
}

std::unique_ptr<TrackWriter> openJsonTrack(const std::filesystem::path& file, int width, int height,
                                           std::span<const Vector3> points, std::string& error)
{
    if (!validSize(width, height, error)) return nullptr;
    std::unique_ptr<PendingFile> pending = PendingFile::create(file, error);
    if (!pending) return nullptr;
    auto writer = std::make_unique<JsonTrackWriter>(std::move(pending), file);
    if (!writer->begin(width, height, points)) {
        error = writer->error();
        return nullptr;
    }
    return writer;
}

std::unique_ptr<TrackWriter> openColmapModel(const std::filesystem::path& dir, int width, int height,
                                             std::span<const Vector3> points, std::string& error)
{
    if (!validSize(width, height, error)) return nullptr;
    std::error_code created;
    std::filesystem::create_directories(dir, created);
    if (created) {
        error = "cannot create the folder " + dir.string() + ": " + created.message();
        return nullptr;
    }
    const std::array<std::filesystem::path, 3> names = colmapModelFiles(dir);
    std::array<std::unique_ptr<PendingFile>, 3> files;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!(files[i] = PendingFile::create(names[i], error))) return nullptr;
    auto writer = std::make_unique<ColmapModelWriter>(std::move(files), names, points);
    if (!writer->begin()) {
        error = writer->error();
        return nullptr;
    }
    return writer;
}

}  // namespace track

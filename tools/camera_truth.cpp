#include "tools/camera_truth.h"

#include "capture/video_file_decoder.h"
#include "scene/ruins_model.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tools {

namespace {

constexpr const char* kHeader = "frame,eye_x,eye_y,eye_z,look_x,look_y,look_z,fov_deg";
constexpr const char* kUpColumns = ",up_x,up_y,up_z";
// A day of video at 60 frames per second; a larger frame number is a broken file,
// and the table is indexed by frame.
constexpr long long kMaxFrame = 24LL * 3600 * 60;
constexpr std::uintmax_t kMaxBytes = 256u << 20;

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    return fields;
}

std::string withoutCarriageReturn(std::string line)
{
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

std::optional<CameraTruth> CameraTruth::read(const std::filesystem::path& file, std::string& error)
{
    const std::string name = file.string();
    std::error_code sizeError;
    const std::uintmax_t bytes = std::filesystem::file_size(file, sizeError);
    std::ifstream in(file);
    if (sizeError || !in) {
        error = name + ": cannot be read";
        return std::nullopt;
    }
    if (bytes > kMaxBytes) {
        error = name + ": larger than " + std::to_string(kMaxBytes >> 20) + " MB";
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    line = withoutCarriageReturn(line);
    const bool hasUp = line == std::string(kHeader) + kUpColumns;
    if (!hasUp && line != kHeader) {
        error = name + ": line 1: the header must be " + kHeader + " (optionally followed by" + kUpColumns + ")";
        return std::nullopt;
    }
    const std::size_t columns = hasUp ? 11 : 8;
    CameraTruth truth;
    for (long long lineNumber = 2; std::getline(in, line); ++lineNumber) {
        line = withoutCarriageReturn(line);
        if (line.empty()) continue;
        const std::string where = name + ": line " + std::to_string(lineNumber) + ": ";
        const std::vector<std::string> fields = splitFields(line);
        std::vector<double> values(columns);
        bool numbers = fields.size() == columns;
        for (std::size_t c = 0; numbers && c < columns; ++c) numbers = parseNumber(fields[c], values[c]);
        if (!numbers) {
            error = where + "expected " + std::to_string(columns) + " numbers";
            return std::nullopt;
        }
        const double frame = values[0];
        if (!(frame >= 0.0 && frame <= double(kMaxFrame)) || frame != std::floor(frame)) {
            error = where + "the frame must be a whole number from 0 to " + std::to_string(kMaxFrame);
            return std::nullopt;
        }
        ruins::CameraPose pose;
        pose.eye = {values[1], values[2], values[3]};
        pose.lookAt = {values[4], values[5], values[6]};
        pose.up = hasUp ? Vector3{values[8], values[9], values[10]} : Vector3{0.0, 0.0, 1.0};
        pose.fieldOfView = values[7];
        if (!ruins::makeFrameCamera(pose, 2, 2)) {
            error = where + "not a camera (eye on the look-at point, up along the view, or a field of view "
                            "outside 0 to 180 degrees)";
            return std::nullopt;
        }
        const auto index = std::size_t(frame);
        if (index >= truth.poses_.size()) truth.poses_.resize(index + 1);
        truth.poses_[index] = pose;
    }
    return truth;
}

bool projectTrue(const TrueCamera& truth, const Vector3& point, double& column, double& row)
{
    if (!ruins::projectToFrame(truth.camera, point, column, row)) return false;
    column += truth.offsetX;
    row += truth.offsetY;
    return true;
}

std::optional<TrueCamera> CameraTruth::frame(long long index, int width, int height, int videoWidth,
                                             int videoHeight) const
{
    if (index < 0 || std::size_t(index) >= poses_.size() || !poses_[std::size_t(index)]) return std::nullopt;
    // The video's pictures are fitted into the frame as a reference picture is.
    const std::optional<ruins::FrameCamera> camera = ruins::makeFrameCamera(
        *poses_[std::size_t(index)], width, height, ruins::referenceFocalScale(width, height, videoWidth, videoHeight));
    if (!camera) return std::nullopt;
    TrueCamera truth{*camera};
    // Where the scaled picture puts the video's centre (column videoWidth / 2,
    // buffer row videoHeight / 2), against the frame's centre.
    const FittedArea area = fitPicture(videoWidth, videoHeight, width, height);
    if (videoWidth > 0 && videoHeight > 0) {
        const double scaleX = double(area.width) / videoWidth;
        const double scaleY = double(area.height) / videoHeight;
        truth.offsetX = area.x + (videoWidth * 0.5 + 0.5) * scaleX - 0.5 - width * 0.5;
        truth.offsetY = height * 0.5 - 0.5 - area.y - (videoHeight * 0.5 - 0.5) * scaleY;
    }
    return truth;
}

}  // namespace tools

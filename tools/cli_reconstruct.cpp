// castellan-cli reconstruct: the ruins reconstructor without a window, frame by
// frame as the program's frame cycle drives it, with the accuracy measured
// against the virtual camera's true pose.
//
// The run: "Automatic Initial Points" is checked before the first frame (the
// reference positions are put in use and the pose is estimated from them while
// the camera rests at the calibration pose), unchecked after kMatchingFrames
// frames (the points are then followed by the detector); on a video, after its
// first frame. Frames are made by
// index, never by the clock, so every run is reproducible.
#include "capture/video_file_source.h"
#include "cycle/frame_cycle.h"
#include "cycle/frame_processor.h"
#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "reconstruction/ruins_reconstruction.h"
#include "record/video_recorder.h"
#include "scene/calibration_frame.h"
#include "scene/ruins_model.h"
#include "scene/scene_model.h"
#include "tools/camera_truth.h"
#include "tools/cli_command.h"
#include "track/pinhole_camera.h"
#include "track/track_writer.h"
#include "virtual_camera/ruins_scene_renderer.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr const char* kPrefix = "castellan-cli reconstruct";
// The action stays checked for one second of the two the camera rests, so the
// following starts while the camera still stands at the calibration pose.
constexpr std::int64_t kMatchingFrames = ruins::kVirtualCameraRestFrames / 2;
// A video's camera cannot be asked to hold still: its first frame is taken as
// the reference view, and the following starts on the next.
constexpr std::int64_t kVideoMatchingFrames = 1;
constexpr int kMinSide = 16;
constexpr int kMaxSide = 4096;
constexpr long long kMaxFrames = 10000000;
constexpr double kMaxNoise = 100.0;
constexpr double kMaxSpeed = 1000.0;
constexpr std::uint64_t kNoiseSeed = 1;
// Fewer model points in view than this cannot give a pose.
constexpr int kMinPointsForAPose = ruins::RuinsReconstruction::kMinValidPoints;

struct Options {
    std::string source = "virtual";
    long long frames = 300;
    int width = 320;
    int height = 240;
    bool fast = false;
    std::optional<int> threshold;
    bool kalman = false;
    std::string outputDir;
    bool replaceFrames = false;  // earlier frames in outputDir are removed instead of refused
    ruins::Following following = ruins::Following::Model;
    ruins::VirtualCameraPath path;
    ruins::VirtualCameraLook look;
    std::string record;  // video file of the augmented frames
    std::string truth;   // the true camera of a video's frames (CSV)
    std::string track;   // the camera of every frame for other tools (JSON)
    std::string colmap;  // the same as a COLMAP text model, into this folder
    ruins::FieldOfViewMode fieldOfView = ruins::FieldOfViewMode::Auto;
    double fixedFieldOfView = 0.0;  // degrees, with Fixed
    bool searchAnywhere = false;    // --init anywhere: the structure is searched for, not taken from the reference
    long long startFrame = 0;       // the run begins this many frames into the source
    std::shared_ptr<const ruins::SceneModel> scene = ruins::bundledRuinsScene();
    std::vector<std::string> inputs;  // every file read: none may be written
};

bool parseInteger(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

// One line on standard error; false so callers can `return fail(...)` from a parser.
bool fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kPrefix, message.c_str());
    return false;
}

// Whether `path` names an existing file that is also `other` (by device and
// inode, whatever the spelling) or the standard output.
bool sameFile(const std::string& path, const std::string& other) {
    std::error_code error;
    return std::filesystem::equivalent(path, other, error);
}

bool isStandardOutput(const std::string& path) {
    struct stat file {}, output {};
    return ::stat(path.c_str(), &file) == 0 && ::fstat(STDOUT_FILENO, &output) == 0 && S_ISREG(file.st_mode) &&
           file.st_dev == output.st_dev && file.st_ino == output.st_ino;
}

// Writing over an input would destroy it before it is read; over the standard
// output, mix into the CSV.
bool outputSparesInputs(const std::string& option, const std::string& output, const Options& options) {
    for (const std::string& input : options.inputs)
        if (sameFile(output, input))
            return fail(option + " " + output + " is the input " + input + "; choose another file");
    if (isStandardOutput(output))
        return fail(option + " " + output + " is the standard output; choose another file");
    return true;
}

// Every file the run writes spares the inputs and the other outputs.
bool outputsSpareInputs(const Options& options) {
    std::vector<std::pair<std::string, std::string>> outputs;  // option, file
    if (!options.record.empty()) outputs.emplace_back("--record", options.record);
    if (!options.track.empty()) outputs.emplace_back("--track", options.track);
    if (!options.colmap.empty())
        for (const std::filesystem::path& file : track::colmapModelFiles(options.colmap))
            outputs.emplace_back("--colmap", file.string());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (!outputSparesInputs(outputs[i].first, outputs[i].second, options)) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (outputs[i].second == outputs[j].second || sameFile(outputs[i].second, outputs[j].second))
                return fail(outputs[i].first + " " + outputs[i].second + " is also the file of " + outputs[j].first +
                            "; choose another file");
    }
    return true;
}

bool parseOptions(const std::vector<std::string>& args, Options& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const bool hasValue = i + 1 < args.size();
        auto value = [&]() -> const std::string& { return args[++i]; };
        if (option == "--kalman") {
            options.kalman = true;
        } else if (option == "--blur") {
            options.look.blur = true;
        } else if (option == "--drift") {
            options.look.exposureDrift = true;
        } else if (option == "--replace-frames") {
            options.replaceFrames = true;
        } else if (option == "--record") {
            if (!hasValue || args[i + 1].empty()) return fail("--record needs a file name");
            options.record = value();
        } else if (option == "--track") {
            if (!hasValue || args[i + 1].empty()) return fail("--track needs a file name");
            options.track = value();
        } else if (option == "--colmap") {
            if (!hasValue || args[i + 1].empty()) return fail("--colmap needs a folder");
            options.colmap = value();
        } else if (option == "--source" || option == "--frames" || option == "--size" || option == "--detector" ||
                   option == "--threshold" || option == "--noise" || option == "--output-dir" ||
                   option == "--following" || option == "--background" || option == "--speed" ||
                   option == "--path" || option == "--scene" || option == "--truth" || option == "--fov" ||
                   option == "--init" || option == "--start-frame") {
            if (!hasValue) return fail(option + " needs a value");
            const std::string& text = value();
            if (option == "--source") {
                if (text.empty()) return fail("--source needs 'virtual' or a video file");
                options.source = text;
                if (text != "virtual") options.inputs.push_back(text);
            } else if (option == "--frames") {
                if (!parseInteger(text, options.frames) || options.frames < 0 || options.frames > kMaxFrames)
                    return fail("--frames must be a whole number from 0 to " + std::to_string(kMaxFrames));
            } else if (option == "--size") {
                if (!parseFrameSize(text, kMinSide, kMaxSide, options.width, options.height))
                    return fail("--size must be WxH with each side from " + std::to_string(kMinSide) + " to " +
                                std::to_string(kMaxSide) + " pixels, e.g. 640x480");
            } else if (option == "--detector") {
                if (text != "klt" && text != "fast") return fail("--detector must be klt or fast");
                options.fast = text == "fast";
            } else if (option == "--threshold") {
                long long t = 0;
                if (!parseInteger(text, t) || t < 1 || t > 200)
                    return fail("--threshold must be a whole number from 1 to 200");
                options.threshold = int(t);
            } else if (option == "--fov") {
                if (!ruins::parseFieldOfViewMode(text, options.fieldOfView, options.fixedFieldOfView))
                    return fail("--fov must be free, auto or a number of degrees from 1 to 179");
            } else if (option == "--init") {
                if (text != "anywhere" && text != "reference") return fail("--init must be anywhere or reference");
                options.searchAnywhere = text == "anywhere";
            } else if (option == "--start-frame") {
                if (!parseInteger(text, options.startFrame) || options.startFrame < 0 || options.startFrame > kMaxFrames)
                    return fail("--start-frame must be a whole number from 0 to " + std::to_string(kMaxFrames));
            } else if (option == "--truth") {
                if (text.empty()) return fail("--truth needs a CSV file");
                options.truth = text;
                options.inputs.push_back(text);
            } else if (option == "--following") {
                if (text != "nearest" && text != "model") return fail("--following must be nearest or model");
                options.following = text == "model" ? ruins::Following::Model : ruins::Following::Nearest;
            } else if (option == "--background") {
                std::string error;
                options.look.backdrop = ruins::loadSceneBackdrop(text, error);
                if (!options.look.backdrop) return fail(error);
                options.inputs.push_back(text);
            } else if (option == "--speed") {
                if (!parseNumber(text, options.path.speed) || options.path.speed <= 0.0 ||
                    options.path.speed > kMaxSpeed)
                    return fail("--speed must be a number above 0 and at most " + std::to_string(int(kMaxSpeed)));
            } else if (option == "--path") {
                if (text != "swing" && text != "jumps" && text != "around")
                    return fail("--path must be swing, jumps or around");
                options.path.jumps = text != "swing";
                options.path.returnTurn = text == "around" ? ruins::VirtualCameraPath::kAroundTurnDegrees : 0.0;
            } else if (option == "--scene") {
                std::string error;
                options.scene = ruins::openScene(text, error);
                if (!options.scene) return fail(error);
                options.inputs.push_back(text);
                options.inputs.push_back(options.scene->picture.string());
            } else if (option == "--noise") {
                if (!parseNumber(text, options.look.noiseSigma) || options.look.noiseSigma < 0.0 ||
                    options.look.noiseSigma > kMaxNoise)
                    return fail("--noise must be a number from 0 to 100 (8-bit levels)");
            } else {
                if (text.empty()) return fail("--output-dir needs a directory");
                options.outputDir = text;
            }
        } else {
            return fail("unknown option '" + option + "'");
        }
    }
    if (!outputsSpareInputs(options)) return false;
    // The virtual camera rests where the scene's reference picture was taken.
    options.path.rest = options.scene->referencePose;
    options.path.restPictureWidth = options.scene->pictureSize.width;
    options.path.restPictureHeight = options.scene->pictureSize.height;
    return true;
}

// Where frames come from and what the truth is, if known.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Fills width × height packed R, G, B, rows bottom-up; false at the end.
    virtual bool frame(std::int64_t index, std::uint8_t* rgb) = 0;
    // The true camera of frame `index`, when the source knows it.
    virtual std::optional<tools::TrueCamera> truth(std::int64_t index) const = 0;
    // Why the last frame() failed.
    virtual std::string error() const = 0;
    // Passes over the first `count` frames (a source read in order reads them).
    virtual bool skip(std::int64_t count, std::uint8_t* rgb) {
        (void)count;
        (void)rgb;
        return true;
    }
};

class VirtualSource final : public FrameSource {
public:
    VirtualSource(int width, int height, const ruins::SceneModel& scene, const ruins::VirtualCameraPath& path,
                  const ruins::VirtualCameraLook& look)
        : width_(width), height_(height), path_(path), look_(look) {
        renderer_.setBricks(scene.scene.brickEdge, scene.realBricks(), scene.virtualBricks());
    }
    bool frame(std::int64_t index, std::uint8_t* rgb) override {
        return ruins::renderVirtualRuinsFrame(renderer_, index, width_, height_, rgb, ruins::PixelOrder::RGB, path_,
                                              look_, kNoiseSeed);
    }
    std::optional<tools::TrueCamera> truth(std::int64_t index) const override {
        const std::optional<ruins::FrameCamera> camera = ruins::virtualCameraFrame(index, width_, height_, path_);
        if (!camera) return std::nullopt;
        return tools::TrueCamera{*camera};
    }
    std::string error() const override { return "the virtual camera cannot render the frame"; }

private:
    ruins::RuinsSceneRenderer renderer_;
    int width_;
    int height_;
    ruins::VirtualCameraPath path_;
    ruins::VirtualCameraLook look_;
};

// Frames of a video file, decoded one after another (index order) and fitted
// to the frame size; the file starts again at its end. The truth is known when
// a truth file was given.
class VideoSource final : public FrameSource {
public:
    VideoSource(std::unique_ptr<VideoFileDecoder> decoder, int width, int height,
                std::optional<tools::CameraTruth> truth)
        : decoder_(std::move(decoder)), width_(width), height_(height), truth_(std::move(truth)) {}
    bool frame(std::int64_t, std::uint8_t* rgb) override {
        VideoPicture picture;
        if (!decoder_->nextPicture(width_, height_, picture)) {
            error_ = decoder_->error();
            return false;
        }
        if (picture.width != width_ || picture.height != height_) {
            error_ = "the decoder gave a picture of another size";
            return false;
        }
        // Top-down B, G, R with a stride into bottom-up R, G, B.
        for (int row = 0; row < height_; ++row) {
            const std::uint8_t* in = picture.bgr + std::size_t(height_ - 1 - row) * picture.stride;
            std::uint8_t* out = rgb + std::size_t(row) * width_ * 3;
            for (int x = 0; x < width_; ++x) {
                out[3 * x] = in[3 * x + 2];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x];
            }
        }
        return true;
    }
    bool skip(std::int64_t count, std::uint8_t* rgb) override {
        for (std::int64_t i = 0; i < count; ++i)
            if (!frame(i, rgb)) return false;
        return true;
    }
    std::optional<tools::TrueCamera> truth(std::int64_t index) const override {
        if (!truth_) return std::nullopt;
        return truth_->frame(index, width_, height_, decoder_->width(), decoder_->height());
    }
    std::string error() const override { return error_; }

private:
    std::unique_ptr<VideoFileDecoder> decoder_;
    int width_;
    int height_;
    std::optional<tools::CameraTruth> truth_;
    std::string error_;
};

// What one frame produced.
struct FrameResult {
    bool poseValid = false;
    int validPoints = 0;
    ruins::CameraPose pose;  // the reported pose (filtered with --kalman)
    bool hasLookAt = false;  // the viewing ray meets the ground
    std::optional<double> reprojectionError;
    std::optional<double> eyeError;
};

int validPointCount(const ruins::TrackedPoints& points) {
    int n = 0;
    for (int i = 0; i < std::clamp(points.count, 0, ruins::TrackedPoints::kCapacity); ++i) n += points.valid[i] ? 1 : 0;
    return n;
}

// Where the viewing ray from `eye` through `towards` meets the ground, if it does.
std::optional<Vector3> groundPoint(const Vector3& eye, const Vector3& towards) {
    if (towards.z == 0.0) return towards;
    const Vector3 direction = towards - eye;
    if (!(direction.z < 0.0) || !(eye.z > 0.0)) return std::nullopt;
    const double t = eye.z / -direction.z;
    return Vector3{eye.x + t * direction.x, eye.y + t * direction.y, 0.0};
}

// RMS distance in pixels between the model points as the two cameras see them.
std::optional<double> reprojectionError(std::span<const Vector3> points, const ruins::FrameCamera& estimated,
                                        const tools::TrueCamera& truth) {
    double sum = 0.0;
    int n = 0;
    for (const Vector3& point : points) {
        double ex, ey, tx, ty;
        if (!ruins::projectToFrame(estimated, point, ex, ey) || !tools::projectTrue(truth, point, tx, ty))
            return std::nullopt;  // a model point behind the estimated camera: no meaningful error
        sum += (ex - tx) * (ex - tx) + (ey - ty) * (ey - ty);
        ++n;
    }
    return std::sqrt(sum / n);
}

// How many model points lie inside the frame of `camera` (hidden or not).
int modelPointsInView(std::span<const Vector3> points, const tools::TrueCamera& truth) {
    int n = 0;
    for (const Vector3& point : points) {
        double x, y;
        if (tools::projectTrue(truth, point, x, y) && x >= 0.0 && y >= 0.0 && x < truth.camera.width &&
            y < truth.camera.height)
            ++n;
    }
    return n;
}

void printOptional(const std::optional<double>& value, const char* format) {
    std::printf(",");
    if (value) std::printf(format, *value);
}

void printRow(std::int64_t index, const FrameResult& r) {
    std::printf("%lld,%d,%d", static_cast<long long>(index), r.poseValid ? 1 : 0, r.validPoints);
    if (r.poseValid) {
        std::printf(",%.6f,%.6f,%.6f", r.pose.eye.x, r.pose.eye.y, r.pose.eye.z);
        if (r.hasLookAt)
            std::printf(",%.6f,%.6f", r.pose.lookAt.x, r.pose.lookAt.y);
        else
            std::printf(",,");
        std::printf(",%.6f", r.pose.fieldOfView);
    } else {
        std::printf(",,,,,,");
    }
    printOptional(r.reprojectionError, "%.4f");
    printOptional(r.eyeError, "%.4f");
    if (r.poseValid)
        std::printf(",%.6f,%.6f,%.6f", r.pose.up.x, r.pose.up.y, r.pose.up.z);
    else
        std::printf(",,,");
    std::printf("\n");
}

bool sameTerminal(std::FILE* a, std::FILE* b) {
    struct stat sa {}, sb {};
    return isatty(fileno(a)) && fstat(fileno(a), &sa) == 0 && fstat(fileno(b), &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

class ProgressBar {
public:
    // Only where it cannot mix into the records: stderr a terminal, stdout not that terminal.
    explicit ProgressBar(long long total)
        : total_(total), shown_(total > 0 && isatty(fileno(stderr)) && !sameTerminal(stdout, stderr)) {}
    void update(long long done) {
        if (!shown_) return;
        const int width = 40;
        const int filled = int(done * width / total_);
        if (filled == lastFilled_ && done != total_) return;
        lastFilled_ = filled;
        std::fprintf(stderr, "\r[%s%s] %lld/%lld", std::string(std::size_t(filled), '#').c_str(),
                     std::string(std::size_t(width - filled), '.').c_str(), done, total_);
        std::fflush(stderr);
    }
    ~ProgressBar() {
        if (shown_) std::fprintf(stderr, "\r%s\r", std::string(60, ' ').c_str());
    }

private:
    long long total_;
    bool shown_;
    int lastFilled_ = -1;
};

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    // Nearest rank.
    const std::size_t rank = std::size_t(std::ceil(fraction * double(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Empty on success, else why the picture cannot be written.
QString saveFrame(const std::string& dir, std::int64_t index, const std::uint8_t* rgb, int width, int height) {
    QImage picture(width, height, QImage::Format_RGB888);
    if (picture.isNull()) return QStringLiteral("out of memory");
    for (int y = 0; y < height; ++y)
        std::memcpy(picture.scanLine(height - 1 - y), rgb + std::size_t(y) * width * 3, std::size_t(width) * 3);
    return ruins::writePngFile(picture, (std::filesystem::path(dir) / track::framePictureName(index)).string());
}

// The bundled ruins' reference positions are those of the bundled picture's
// size; a CalibrationFrame.png of another size in the working folder would
// silently change the results, so it is named and left out.
void warnOfAnotherCalibrationFrame(const ruins::PictureSize& bundled) {
    const QString path = ruins::calibrationFramePath();
    if (QFileInfo(path).isAbsolute()) return;  // no picture of the user's: the bundled one
    const QSize size = QImageReader(path).size();
    if (!size.isValid() || (size.width() == bundled.width && size.height() == bundled.height)) return;
    std::fprintf(stderr, "%s: warning: %s is %d x %d, not the bundled %d x %d; its size is not used\n", kPrefix,
                 qPrintable(path), size.width(), size.height(), bundled.width, bundled.height);
}

track::PinholeCamera pinholeCamera(const ruins::FrameCamera& camera) {
    return track::pinholeFrom({camera.width, camera.height, camera.focalX, camera.focalY, camera.eye, camera.side,
                               camera.up, camera.forward});
}

// The reconstruction as the frame cycle drives it: the window's reconstructor
// without its panel, tool bar and mouse (no clicks are ever held).
class HeadlessReconstructor final : public FrameProcessor {
public:
    HeadlessReconstructor(ruins::RuinsReconstruction& reconstruction, CornerDetector& detector)
        : reconstruction_(reconstruction), detector_(detector) {}
    void setImageSize(int width, int height) override { reconstruction_.setImageSize(width, height); }
    int process(const unsigned char* input, unsigned char* output) override {
        reconstruction_.frameStep(input, output, &detector_, ruins::GrabberSnapshot{});
        return 0;
    }
    void setColourFrame(const unsigned char* rgb) override { reconstruction_.setColourFrame(rgb); }

private:
    ruins::RuinsReconstruction& reconstruction_;
    CornerDetector& detector_;
};

class Run {
public:
    Run(const Options& options, FrameSource& source)
        : options_(options), source_(source), reconstruction_(poseState_) {
        reconstruction_.setScene(options.scene);
        overlay_.setBricks(options.scene->scene.brickEdge, options.scene->realBricks(), options.scene->virtualBricks());
        restPoints_.resize(std::size_t(reconstruction_.pointCount()));
        const int capacity = reconstruction_.detectorCapacity();
        if (options.fast)
            detector_ = std::make_unique<FASTCornerDetector>(capacity);
        else
            detector_ = std::make_unique<KLTCornerDetector>(capacity);
        if (options.threshold) detector_->setThreshold(*options.threshold);
        reconstruction_.setUseKalman(options.kalman);
        reconstruction_.setFollowing(options.following);
        reconstruction_.setFieldOfViewMode(options.fieldOfView, options.fixedFieldOfView);
        headless_ = std::make_unique<HeadlessReconstructor>(reconstruction_, *detector_);
        cycle_.setProcessor(headless_.get());
    }

    int execute() {
        if (!cycle_.setFrameSize(options_.width, options_.height)) {
            fail("not enough memory for the frames");
            return 1;
        }
        std::printf(
            "frame,pose_valid,valid_points,eye_x,eye_y,eye_z,look_x,look_y,fov_deg,reproj_err_px,eye_err,up_x,up_y,up_z\n");
        // "Automatic Initial Points" checked: the reference positions, carried
        // from the calibration picture to the frame, are put in use.
        const ruins::SceneModel& scene = *options_.scene;
        if (scene.bundled()) warnOfAnotherCalibrationFrame(scene.pictureSize);
        reconstruction_.restartFollowing(detector_.get());
        if (options_.searchAnywhere)
            reconstruction_.beginSearch();
        else
            reconstruction_.beginAutomaticSelection(scene.pictureSize.width, scene.pictureSize.height);
        if (options_.startFrame > 0 && !source_.skip(options_.startFrame, cycle_.colorBuffer())) {
            fail("the source ended before --start-frame " + std::to_string(options_.startFrame) + ": " +
                 source_.error());
            return 1;
        }

        if (!options_.record.empty() && !openRecorder()) return 1;
        if (!openTracks()) return 1;
        ProgressBar progress(options_.frames);
        const auto runStart = Clock::now();
        long long done = 0;
        bool whole = true;
        for (std::int64_t run = 0; run < options_.frames && whole; ++run) {
            whole = runFrame(run);
            if (whole) progress.update(++done);
        }
        // What was recorded before a failure still plays: the file is closed properly.
        if (recorder_ && !recorder_->finish() && whole) {
            fail("cannot finish " + options_.record + ": " + recorder_->error());
            whole = false;
        }
        for (std::size_t i = 0; i < tracks_.size() && whole; ++i)
            if (!tracks_[i]->finish()) whole = fail(tracks_[i]->error());
        if (!whole) return 1;
        const double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - runStart).count();
        printSummary(done, totalMs);
        return 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    // One frame from the source to its row, picture and recording; false, with
    // the reason said, when any of them fails.
    bool runFrame(std::int64_t run) {
        const std::int64_t index = options_.startFrame + run;  // the source's own frame number
        if (!source_.frame(index, cycle_.colorBuffer()))
            return fail("the source failed at frame " + std::to_string(index) + ": " + source_.error());
        if (run == matchingFrames() && reconstruction_.endMatching())
            reconstruction_.restartFollowing(detector_.get());  // the action unchecked
        const FrameResult result = step(index);
        errno = 0;
        printRow(index, result);
        if (std::ferror(stdout))
            return fail("cannot write the standard output at frame " + std::to_string(index) + ": " +
                        (errno ? std::strerror(errno) : "write error"));
        if (!options_.outputDir.empty() && !writePicture(index, result)) return false;
        if (recorder_ && !recordPicture(index, result)) return false;
        return writeTracks(index, result);
    }

    std::int64_t matchingFrames() const {
        return options_.source == "virtual" ? kMatchingFrames : kVideoMatchingFrames;
    }

    // One turn of the frame cycle, as the main window runs it.
    FrameResult step(std::int64_t index) {
        const auto start = Clock::now();
        cycle_.runColorFrame();
        const ruins::PreparedView& view = reconstruction_.preparedView();
        reconstructionMs_ += std::chrono::duration<double, std::milli>(Clock::now() - start).count();

        FrameResult result;
        result.validPoints = validPointCount(reconstruction_.trackedPoints());
        result.poseValid = reconstruction_.poseValid() && view.prepared && view.drawable;
        const std::optional<tools::TrueCamera> truth = source_.truth(index);
        const bool moving = index >= ruins::kVirtualCameraRestFrames;
        const bool shouldHavePose =
            moving && truth && modelPointsInView(reconstruction_.modelPoints(), *truth) >= kMinPointsForAPose;
        movingFramesInView_ += shouldHavePose ? 1 : 0;
        if (!result.poseValid) return result;
        if (firstPoseFrame_ < 0) firstPoseFrame_ = index;
        movingFramesWithPose_ += shouldHavePose ? 1 : 0;
        framesWithFieldOfViewHeld_ += reconstruction_.fieldOfViewHeld() ? 1 : 0;
        posesWithoutRuins_ += moving && truth && !shouldHavePose ? 1 : 0;
        ++framesWithPose_;
        result.pose = {view.pose.eye, view.pose.lookAt, view.pose.up, view.fieldOfView};
        if (const std::optional<Vector3> ground = groundPoint(view.pose.eye, view.pose.lookAt)) {
            result.pose.lookAt = *ground;
            result.hasLookAt = true;
        }
        estimated_ = ruins::makeFrameCamera({view.pose.eye, view.pose.lookAt, view.pose.up, view.fieldOfView},
                                            options_.width, options_.height);
        if (truth && estimated_) {
            result.reprojectionError = reprojectionError(reconstruction_.modelPoints(), *estimated_, *truth);
            const Vector3 d = view.pose.eye - truth->camera.eye;
            result.eyeError = std::sqrt(dot(d, d));
            if (result.reprojectionError) recordError(index, *result.reprojectionError);
        }
        if (estimated_ && index > matchingFrames() && index <= ruins::kVirtualCameraRestFrames)
            recordRestMovement(*estimated_);
        return result;
    }

    void recordError(std::int64_t index, double error) {
        errors_.push_back(error);
        if (index < ruins::kVirtualCameraRestFrames) return;
        movingErrors_.push_back(error);
        if (error > worstError_) {
            worstError_ = error;
            worstFrame_ = index;
        }
    }

    // How far the drawn model points move from one frame to the next while the
    // camera stands still.
    void recordRestMovement(const ruins::FrameCamera& estimated) {
        const std::span<const Vector3> points = reconstruction_.modelPoints();
        for (std::size_t i = 0; i < points.size(); ++i) {
            double x = 0.0, y = 0.0;
            ruins::projectToFrame(estimated, points[i], x, y);
            if (hasRestPoints_) {
                restMovementSquares_ +=
                    (x - restPoints_[i][0]) * (x - restPoints_[i][0]) + (y - restPoints_[i][1]) * (y - restPoints_[i][1]);
                ++restMovements_;
            }
            restPoints_[i] = {x, y};
        }
        hasRestPoints_ = true;
    }

    bool writePicture(std::int64_t index, const FrameResult& result) {
        // The virtual bricks in register, as the right canvas shows them.
        if (result.poseValid && estimated_) overlay_.drawVirtualModel(*estimated_, cycle_.colorBuffer(), ruins::PixelOrder::RGB);
        const QString error = saveFrame(options_.outputDir, index, cycle_.colorBuffer(), options_.width, options_.height);
        if (error.isEmpty()) return true;
        return fail("cannot write frame " + std::to_string(index) + " to " + options_.outputDir + ": " +
                    error.toStdString());
    }

    bool openRecorder() {
        std::string error;
        recorder_ = VideoRecorder::open(options_.record, options_.width, options_.height, error);
        return recorder_ || fail("cannot record to " + options_.record + ": " + error);
    }

    bool openTracks() {
        const std::span<const Vector3> points = reconstruction_.modelPoints();
        std::string error;
        if (!options_.track.empty()) {
            auto writer = track::openJsonTrack(options_.track, options_.width, options_.height, points, error);
            if (!writer) return fail(error);
            tracks_.push_back(std::move(writer));
        }
        if (!options_.colmap.empty()) {
            auto writer = track::openColmapModel(options_.colmap, options_.width, options_.height, points, error);
            if (!writer) return fail(error);
            tracks_.push_back(std::move(writer));
        }
        return true;
    }

    // The shown camera of the frame, the one the bricks were drawn with.
    bool writeTracks(std::int64_t index, const FrameResult& result) {
        std::optional<track::PinholeCamera> camera;
        if (result.poseValid && estimated_) camera = pinholeCamera(*estimated_);
        for (const auto& writer : tracks_)
            if (!writer->addFrame(index, camera)) return fail(writer->error());
        return true;
    }

    // The frame as writePicture draws it, at the virtual camera's 30 frames a second.
    bool recordPicture(std::int64_t index, const FrameResult& result) {
        if (options_.outputDir.empty() && result.poseValid && estimated_)
            overlay_.drawVirtualModel(*estimated_, cycle_.colorBuffer(), ruins::PixelOrder::RGB);
        const std::ptrdiff_t stride = std::ptrdiff_t(options_.width) * 3;
        const std::uint8_t* top = cycle_.colorBuffer() + stride * (options_.height - 1);
        if (recorder_->write({top, -stride, options_.width, options_.height, PixelLayout::Rgb24}, index * 1000 / 30))
            return true;
        return fail("cannot record frame " + std::to_string(index) + " to " + options_.record + ": " +
                    recorder_->error());
    }

    void printSummary(long long frames, double totalMs) {
        std::printf("# frames=%lld pose_share=", frames);
        if (frames > 0)
            std::printf("%.4f", double(framesWithPose_) / double(frames));
        else
            std::printf("n/a");
        if (errors_.empty())
            std::printf(" reproj_median_px=n/a reproj_p95_px=n/a");
        else
            std::printf(" reproj_median_px=%.4f reproj_p95_px=%.4f", median(errors_), percentile(errors_, 0.95));
        printMovingSummary();
        if (options_.searchAnywhere) std::printf(" first_pose_frame=%lld", static_cast<long long>(firstPoseFrame_));
        if (framesWithPose_ > 0)
            std::printf(" fov_held_share=%.4f", double(framesWithFieldOfViewHeld_) / double(framesWithPose_));
        if (frames > 0)
            std::printf(" ms_per_frame=%.3f total_ms_per_frame=%.3f\n", reconstructionMs_ / double(frames),
                        totalMs / double(frames));
        else
            std::printf(" ms_per_frame=n/a total_ms_per_frame=n/a\n");
    }

    // Against the truth, when it is known: for the frames after the camera's
    // rest, the share with a pose among those with enough model points in view,
    // the error figures and the worst frame, the poses shown without enough of
    // the ruins in view; and how much the drawn points moved while it rested.
    void printMovingSummary() {
        if (movingFramesInView_ > 0)
            std::printf(" moving_share=%.4f", double(movingFramesWithPose_) / double(movingFramesInView_));
        if (!movingErrors_.empty())
            std::printf(" moving_median_px=%.4f moving_p95_px=%.4f moving_max_px=%.4f max_frame=%lld",
                        median(movingErrors_), percentile(movingErrors_, 0.95), worstError_,
                        static_cast<long long>(worstFrame_));
        if (movingFramesInView_ > 0) std::printf(" poses_without_ruins=%lld", posesWithoutRuins_);
        if (restMovements_ > 0)
            std::printf(" rest_jitter_px=%.4f", std::sqrt(restMovementSquares_ / double(restMovements_)));
    }

    const Options& options_;
    FrameSource& source_;
    ruins::RuinsPoseState poseState_;
    ruins::RuinsReconstruction reconstruction_;
    std::unique_ptr<CornerDetector> detector_;
    std::unique_ptr<HeadlessReconstructor> headless_;
    FrameCycle cycle_;
    ruins::RuinsSceneRenderer overlay_;
    std::optional<ruins::FrameCamera> estimated_;
    std::unique_ptr<VideoRecorder> recorder_;
    std::vector<std::unique_ptr<track::TrackWriter>> tracks_;  // --track, --colmap
    std::vector<double> errors_;
    std::vector<double> movingErrors_;
    double worstError_ = 0.0;
    std::int64_t worstFrame_ = -1;
    long long movingFramesInView_ = 0;
    long long movingFramesWithPose_ = 0;
    long long posesWithoutRuins_ = 0;  // shown while too few model points were in view
    std::vector<std::array<double, 2>> restPoints_;
    bool hasRestPoints_ = false;
    double restMovementSquares_ = 0.0;
    long long restMovements_ = 0;
    long long framesWithPose_ = 0;
    std::int64_t firstPoseFrame_ = -1;  // -1: none yet
    long long framesWithFieldOfViewHeld_ = 0;
    double reconstructionMs_ = 0.0;
};

// The folder of --output-dir made ready: created when missing; earlier frames
// are refused, so two runs never mix, unless they are to be replaced.
bool prepareOutputDir(const std::string& dir, bool replaceFrames, const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) return fail("cannot create the directory " + dir + ": " + error.message());
    std::vector<fs::path> earlier;
    for (fs::directory_iterator entry(dir, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind("frame_", 0) == 0 && entry->path().extension() == ".png") earlier.push_back(entry->path());
    }
    if (error) return fail("cannot read the directory " + dir + ": " + error.message());
    if (earlier.empty()) return true;
    if (!replaceFrames)
        return fail(dir + " already holds frames of an earlier run (" + earlier.front().filename().string() +
                    ", ...); choose another folder or add --replace-frames");
    for (const fs::path& frame : earlier)
        for (const std::string& input : inputs)
            if (sameFile(frame.string(), input))
                return fail("--replace-frames would remove the input " + input + "; choose another folder");
    for (const fs::path& frame : earlier)
        if (!fs::remove(frame, error)) return fail("cannot remove " + frame.string() + ": " + error.message());
    return true;
}

int runReconstruct(const std::vector<std::string>& args) {
    Options options;
    if (!parseOptions(args, options)) return 1;
    std::unique_ptr<FrameSource> source;
    if (options.source == "virtual") {
        source = std::make_unique<VirtualSource>(options.width, options.height, *options.scene, options.path,
                                                 options.look);
    } else {
        std::string error;
        auto decoder = VideoFileDecoder::openFile(options.source, error);
        if (!decoder) {
            fail(error);
            return 1;
        }
        std::optional<tools::CameraTruth> truth;
        if (!options.truth.empty() && !(truth = tools::CameraTruth::read(options.truth, error))) {
            fail(error);
            return 1;
        }
        source = std::make_unique<VideoSource>(std::move(decoder), options.width, options.height, std::move(truth));
    }
    if (!options.outputDir.empty() && !prepareOutputDir(options.outputDir, options.replaceFrames, options.inputs)) return 1;
    Run run(options, *source);
    return run.execute();  // the caller flushes standard output and checks it
}

const CliCommand reconstructCommand(
    "reconstruct",
    "--source virtual|FILE [--frames N] [--size WxH] [--detector klt|fast] [--threshold T] [--kalman] "
    "[--noise SIGMA] [--following nearest|model] [--fov free|auto|DEG] [--init reference|anywhere] "
    "[--start-frame N] [--scene FILE] [--output-dir DIR] "
    "[--replace-frames] [--record OUT.mp4] [--track TRACK.json] [--colmap DIR]\n"
    "    virtual scene: [--background FILE] [--blur] [--drift] [--speed K] [--path swing|jumps|around]\n"
    "    video file: [--truth CAMERAS.csv]",
    "Run the ruins reconstructor (or a scene's, with --scene) headless (automatic initial points, or with --init anywhere the structure searched for in every frame; then following) and print a CSV line per "
    "frame and a '#' summary; with the virtual source (or a video's --truth), the error against the true pose; --track and --colmap write the camera of every frame for other tools.",
    runReconstruct);

}  // namespace

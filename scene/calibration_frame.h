#pragma once

#include <QImage>
#include <QString>

#include <string>

namespace ruins {

// Where the calibration frame is read from: "CalibrationFrame.png" in the
// working directory when there is one, else the bundled picture (installed in
// ../share/castellan beside the program, or the source tree's data/).
QString calibrationFramePath();

// Whether calibrationFramePath() falls back to the bundled picture (default
// yes). Tests of the missing-picture path turn it off.
void offerBundledCalibrationFrame(bool offered);

// The calibration frame as read from calibrationFramePath() (null when missing
// or unreadable), and its texels ready for a GL texture: RGBA8888, rows
// bottom-up, no side above kMaxTextureSide (larger pictures are shrunk; the
// positions still refer to the picture's own size).
struct CalibrationFrame {
    static constexpr int kMaxTextureSide = 2048;

    QImage picture;
    QImage texels;

    bool isNull() const { return picture.isNull(); }
    int width() const { return picture.isNull() ? 0 : picture.width(); }
    int height() const { return picture.isNull() ? 0 : picture.height(); }
};

CalibrationFrame loadCalibrationFrame(const QString& path = calibrationFramePath());

// Writes `picture` as PNG to `path`: through a temporary file beside it that
// replaces the old file only once every byte is down, so a full disk or any
// other failure leaves the old file as it was. A device or pipe (not a plain
// file) is written directly. Empty on success, else the system's reason.
// Every picture the programs write goes through here.
QString writePngFile(const QImage& picture, const QString& path);
// The same for a file name as the system gives it (bytes, not always UTF-8).
QString writePngFile(const QImage& picture, const std::string& path);

}  // namespace ruins

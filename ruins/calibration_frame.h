#pragma once

#include <QImage>
#include <QString>

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

}  // namespace ruins

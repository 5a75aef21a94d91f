#include "ruins/calibration_frame.h"

namespace ruins {

QString calibrationFramePath() { return QStringLiteral("CalibrationFrame.png"); }

CalibrationFrame loadCalibrationFrame(const QString& path)
{
    CalibrationFrame frame;
    if (!frame.picture.load(path) || frame.picture.isNull()) {
        frame.picture = QImage();
        return frame;
    }
    QImage texels = frame.picture;
    if (texels.width() > CalibrationFrame::kMaxTextureSide || texels.height() > CalibrationFrame::kMaxTextureSide)
        texels = texels.scaled(CalibrationFrame::kMaxTextureSide, CalibrationFrame::kMaxTextureSide, Qt::KeepAspectRatio,
                               Qt::SmoothTransformation);
    // GL's first texel row is the bottom of the quad.
    frame.texels = texels.convertToFormat(QImage::Format_RGBA8888).mirrored(false, true);
    return frame;
}

}  // namespace ruins

#pragma once

#include <QWidget>

#include <memory>

class CornerDetector;
class RuinsReconstructorProcessor;

namespace Ui {
class RuinsReconstructorPropertiesWidget;
}

// The reconstructor's panel: opens a scene and captures its reference picture,
// chooses the corner detector that follows the points (FAST or KLT) and how the
// points are followed (guided by the model, or to the nearest corner), switches
// the Kalman filtering of the pose, sets the detector's threshold and makes it
// start afresh. It acts on the processor directly; the processor owns both
// detectors. GUI thread only.
class RuinsReconstructorPropertiesWidget : public QWidget {
    Q_OBJECT

public:
    RuinsReconstructorPropertiesWidget(RuinsReconstructorProcessor* processor, QWidget* parent = nullptr,
                                       Qt::WindowFlags flags = Qt::Tool);
    ~RuinsReconstructorPropertiesWidget() override;

    CornerDetector* fastDetector() const;
    CornerDetector* kltDetector() const;

private slots:
    void on_threshold_valueChanged(int value);
    void on_radioFAST_toggled(bool checked);
    void on_radioKLT_toggled(bool checked);
    void on_btnRefresh_pressed();
    void on_checkUseCalman_clicked(bool checked);
    void on_followingComboBox_activated(int index);
    void on_btnOpenScene_clicked();
    void on_btnCaptureReference_clicked();
    void showCaptureOutcome(const QString& message, bool written);

private:
    // Asks before a capture replaces the picture the scene file names; yes when there is none.
    bool mayReplacePictureOf(const QString& sceneFile);
    void showScene();

    std::unique_ptr<Ui::RuinsReconstructorPropertiesWidget> ui_;
    RuinsReconstructorProcessor* processor_;
};

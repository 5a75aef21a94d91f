#pragma once

#include "canvas/canvas_point_grabber.h"
#include "processors/processor.h"
#include "ruins/calibration_frame.h"
#include "ruins/ruins_model.h"
#include "ruins/ruins_reconstruction.h"

#include <QObject>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class CornerDetector;
class QAction;
class QMenu;
class RuinsReconstructorPropertiesWidget;

// The processor behind "Ruins Reconstructor": the user picks the 39 initial
// points by hand on the left canvas, or aligns the camera with the ruins model
// drawn from the reference positions; from then on the points are followed
// with a corner detector, the camera pose is estimated every frame and the
// virtual bricks are drawn over the right canvas in register with the real ones.
//
// This class is the Qt and GL shell; the decisions live in
// ruins::RuinsReconstruction. GUI thread only.
class RuinsReconstructorProcessor : public QObject, public Processor {
    Q_OBJECT

public:
    static constexpr int kDetectorCapacity = 78;
    static constexpr const char* kMatchingText = "MATCH VIRTUAL AND REAL MODELS";
    static constexpr const char* kTrackingLostText = "TRACKING LOST";

    // `leftCanvas` (borrowed) is where the initial points are clicked.
    explicit RuinsReconstructorProcessor(Canvas* leftCanvas, QObject* parent = nullptr);
    ~RuinsReconstructorProcessor() override;

    void setImageSize(int width, int height) override;
    int process(const unsigned char* input, unsigned char* output) override;
    QWidget* propertiesWidget(QWidget* parent) override;
    void installActions(QWidget* toolBar) override;
    void drawOverlay(Canvas* canvas) override;

    // The detector that follows the points. The properties panel switches it;
    // a detector handed to adoptDetector is kept alive as long as the processor.
    CornerDetector* detector() const { return detector_; }
    void setDetector(CornerDetector* detector) { detector_ = detector; }
    CornerDetector* adoptDetector(std::unique_ptr<CornerDetector> detector);

    bool useKalman() const { return reconstruction_.useKalman(); }
    void setUseKalman(bool on) { reconstruction_.setUseKalman(on); }

    const ruins::RuinsReconstruction& reconstruction() const { return reconstruction_; }
    ruins::RuinsReconstruction& reconstruction() { return reconstruction_; }
    const CanvasPointGrabber& grabber() const { return grabber_; }
    CanvasPointGrabber& grabber() { return grabber_; }
    QAction* startInitialPointsSelectionAction() const { return actionStartInitialPointsSelection_; }
    QMenu* initialPointsMenu() const { return initialPointsMenu_.get(); }
    const ruins::CalibrationFrame& calibrationFrame() const { return calibrationFrame_; }

    // How a choice is taken from the initial points menu; by default the menu
    // runs modally at the mouse cursor. Returns the chosen entry or null.
    using MenuChooser = std::function<QAction*(QMenu&)>;
    void setInitialPointsMenuChooser(MenuChooser chooser);

    // Where the matching-mode text goes: (⌊0.1 width⌋, ⌊0.9 height⌋) from the top-left.
    // "TRACKING LOST" goes there too.
    static ruins::PixelPosition matchingTextPosition(int width, int height);
    // The following status line (inliers, residual, field of view): (⌊0.02 width⌋,
    // ⌊0.08 height⌋) from the top-left.
    static ruins::PixelPosition statusTextPosition(int width, int height);

public slots:
    void on_actionStartInitialPointsSelection_toggled(bool checked);

private:
    void startSelection();
    void stopSelection();
    void restartFollowing();
    ruins::GrabberSnapshot grabberSnapshot();
    void drawLeftOverlay(Canvas* canvas);
    void drawRightOverlay(Canvas* canvas);
    void drawFollowingStatus(Canvas* canvas);

    QAction* actionStartInitialPointsSelection_ = nullptr;  // child of this
    std::unique_ptr<QMenu> initialPointsMenu_;
    QPointer<RuinsReconstructorPropertiesWidget> propertiesWidget_;
    CanvasPointGrabber grabber_;
    CornerDetector* detector_ = nullptr;
    std::vector<std::unique_ptr<CornerDetector>> ownedDetectors_;
    ruins::CalibrationFrame calibrationFrame_;
    ruins::RuinsReconstruction reconstruction_;
    MenuChooser menuChooser_;
    std::array<ruins::PixelPosition, CanvasPointGrabber::kCapacity> clickScratch_{};
};

#pragma once

#include "canvas/canvas_point_grabber.h"
#include "processors/processor.h"
#include "reconstruction/ruins_reconstruction.h"
#include "scene/calibration_frame.h"
#include "scene/ruins_model.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class CornerDetector;
class QAction;
class QMenu;
class RuinsReconstructorPropertiesWidget;

// The processor behind "Ruins Reconstructor": the user picks the scene's initial
// points (39 for the ruins) by hand on the left canvas, or aligns the camera with
// the real bricks drawn from the reference positions; from then on the points are
// followed with a corner detector, the camera pose is estimated every frame and
// the virtual bricks are drawn over the right canvas in register with the real
// ones. The scene (points, bricks, reference picture) is the scene in use when
// the processor is made, or one opened later.
//
// This class is the Qt and GL shell; the decisions live in
// ruins::RuinsReconstruction. GUI thread only.
class RuinsReconstructorProcessor : public QObject, public Processor {
    Q_OBJECT

public:
    static constexpr const char* kMatchingText = "MATCH VIRTUAL AND REAL MODELS";
    static constexpr const char* kTrackingLostText = "TRACKING LOST";
    static constexpr const char* kSearchingText = "SEARCHING";

    // `leftCanvas` (borrowed) is where the initial points are clicked.
    explicit RuinsReconstructorProcessor(Canvas* leftCanvas, QObject* parent = nullptr);
    ~RuinsReconstructorProcessor() override;

    void setImageSize(int width, int height) override;
    int process(const unsigned char* input, unsigned char* output) override;
    void setColourFrame(const unsigned char* rgb) override { reconstruction_.setColourFrame(rgb); }
    QWidget* propertiesWidget(QWidget* parent) override;
    void installActions(QWidget* toolBar) override;
    void drawOverlay(Canvas* canvas) override;

    // The detector that follows the points. The properties panel switches it;
    // a detector handed to adoptDetector is kept alive as long as the processor.
    CornerDetector* detector() const { return detector_; }
    void setDetector(CornerDetector* detector) { detector_ = detector; }
    CornerDetector* adoptDetector(std::unique_ptr<CornerDetector> detector);
    // The processor's own FAST or KLT detector, sized for the scene's points
    // (made on first use, kept while the scene stays).
    CornerDetector* detectorOfKind(bool tracker);
    int detectorCapacity() const { return reconstruction_.detectorCapacity(); }

    // The scene followed from now on: selection stopped, no points in use,
    // detectors and reference picture the scene's.
    void setScene(std::shared_ptr<const ruins::SceneModel> scene);
    const ruins::SceneModel& scene() const { return reconstruction_.scene(); }
    // Reads `file` and follows it, making it the program's scene in use (the
    // virtual camera's too); on failure returns the message and keeps the scene.
    QString openScene(const QString& file);

    // Making a scene's reference picture: takes the left canvas's frame as the
    // picture of the scene in `sceneFile` (read without its picture; its points
    // may leave out their reference positions), then collects one click per
    // model point in their order. When the last point is clicked (or the
    // selection is stopped with all of them), the picture and the clicks as
    // reference positions are written and the scene is followed; with fewer
    // clicks nothing is written. Returns a message when it cannot start.
    QString captureReferencePicture(const QString& sceneFile);
    bool capturingReference() const { return !referenceCapture_.file.empty(); }

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
    // "SEARCHING": (⌊0.1 width⌋, ⌊0.82 height⌋) from the top-left, above "TRACKING LOST".
    static ruins::PixelPosition searchingTextPosition(int width, int height);
    // The following status line (inliers, residual, field of view): (⌊0.02 width⌋,
    // ⌊0.08 height⌋) from the top-left.
    static ruins::PixelPosition statusTextPosition(int width, int height);

signals:
    // A reference capture ended: `message` says where the scene went or why not.
    void referenceCaptureFinished(const QString& message, bool written);

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
    void loadView(const ruins::PreparedView& view) const;
    void loadSceneCalibrationFrame();
    void replaceDetectorsForScene();
    void showSelectionActive(bool active);
    void noteReferenceClick();
    void finishReferenceCapture();

    struct ReferenceCapture {
        std::filesystem::path file;  // empty: no capture running
        ruins::Scene scene;
        QImage picture;
    };

    QPointer<Canvas> leftCanvas_;
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
    ReferenceCapture referenceCapture_;
};

#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>

#include <memory>
#include <optional>
#include <vector>

#include "capture/capture_device.h"
#include "cycle/frame_cycle.h"
#include "ui_main_window.h"

class Canvas;
class Processor;
class ProxyProcessor;
class QComboBox;
class QLabel;
class QTimer;
class VideoRecorder;
namespace track {
class TrackWriter;
struct PinholeCamera;
}  // namespace track

// The status bar's frame-rate text for `frames` processed frames in `elapsedMs` milliseconds.
QString frameRateText(int frames, qint64 elapsedMs);

// The text of the "About" box: program, version, Qt and OpenGL in use, the
// capture backends compiled in, and the keyboard shortcuts.
QString aboutText(const QString& openGL);

// The program's single window. Owns the frame cycle (and through it the three
// frame buffers), the processors, the two canvases (through its form) and every
// action. The capture thread announces a ready frame with one queued call; the
// window then runs it through the cycle (source -> colorBuffer -> grayBuffer ->
// current processor -> processedBuffer) and both canvases draw what the
// processor prepared. The GUI thread never waits for a frame. GUI thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Read access for the command line, tests and the frame cycle.
    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    int pixelCount() const { return int(cycle_.pixelCount()); }
    const unsigned char* colorBuffer() const { return cycle_.colorBuffer(); }
    const unsigned char* grayBuffer() const { return cycle_.grayBuffer(); }
    const unsigned char* processedBuffer() const { return cycle_.processedBuffer(); }
    const FrameCycle& frameCycle() const { return cycle_; }
    Processor* currentProcessor() const { return currentProcessor_; }
    const std::vector<Processor*>& processors() const { return processors_; }
    const QImage& loadedImage() const { return loadedImage_; }
    Canvas* leftCanvas() const { return ui.leftCanvas; }
    Canvas* rightCanvas() const { return ui.rightCanvas; }
    QLabel* frameRateLabel() const { return frameRateLabel_; }
    const Ui::MainWindowClass& form() const { return ui; }

    // Opens an image file as "Open an image file" does after its dialog.
    // Returns false (after the "Error" box) when the file cannot be loaded.
    bool openImageFile(const QString& path);

    // Looks for a capture device once, after the window is shown; warns when
    // there is none, unless the user chose an image to look at instead.
    void initCaptureDevice(bool warnWhenNone = true);
    CaptureDevice* captureDevice() const { return captureDevice_.get(); }
    // Whether live frames are being taken as the device announces them.
    bool capturing() const { return capturing_; }
    // Whether "Record" is writing the right canvas to a video file.
    bool recording() const { return recorder_ != nullptr; }
    // Frames written since "Record" was last checked.
    long long framesRecorded() const { return framesRecorded_; }
    // The files the program reads (videos, pictures, the scene): a recording
    // and its track never replace them.
    void setInputFiles(const QStringList& files) { inputFiles_ = files; }
    // The start-up choice of device: `wanted` is a number in the device table
    // or part of a device's name (empty: none given). It is used for the next
    // connection only, without asking; `connect` connects at once (to the first
    // device when none was named). A name that matches nothing is refused with a
    // warning and nothing is connected.
    void chooseDeviceAtStart(const QString& wanted, bool connect);
    // Pauses capture once the next live frame is shown, so that a recipe can
    // start from a still first frame without racing the camera.
    void pauseAfterNextFrame() { pauseAfterNextFrame_ = true; }

private slots:
    void on_actionOpenImage_triggered();
    void on_actionSaveImage_triggered();
    void on_actionToggleConnection_toggled(bool on);
    void on_actionDeviceOptions_triggered();
    void on_actionToggleCapture_toggled(bool on);
    void on_actionDisplayInColor_toggled(bool on);
    void on_actionOpenProcessorProperties_triggered();
    void on_processorCombo_currentIndexChanged(int index);
    void on_actionReprocess_triggered();
    void on_actionRecord_toggled(bool on);
    void on_actionSaveAugmentedView_triggered();

private:
    void setupImageBuffers();
    void showBuffersOnCanvases();
    void fitWindowToFrame();
    void repaintCanvases();
    void processCurrentFrame();
    bool connectChosenDevice();
    int chooseDevice();
    static int findDevice(const QString& wanted);
    void startCapturing();
    void stopCapturing();
    void takeNewestFrame();
    // The size of the frames the connected device delivers now (empty: none).
    QSize deviceFrameSize() const;
    void reprocessPausedFrame();
    void syncCaptureActionToDevice();
    void updateCaptureStatus();
    void installKeyboardShortcuts();
    void showAbout();
    // The message, the file and, when known, why it failed.
    void showFileError(const QString& message, const QString& path, const QString& reason = {});
    void showSource(const QString& name);
    void startRecording();
    void recordShownFrame();
    QString finishRecording();
    void stopRecordingAfterError(const QString& reason);
    // Why `path` may not be written (an input lies there), or nothing.
    QString inputAt(const QString& path) const;
    std::unique_ptr<track::TrackWriter> openTrack(const QString& videoPath, QString& error);
    // The camera the right view shows this frame, for the recorded video's pictures.
    std::optional<track::PinholeCamera> shownCamera() const;
    QString openGLDescription();

    Ui::MainWindowClass ui;
    FrameCycle cycle_;
    bool capturing_ = false;
    QTimer* statusTimer_ = nullptr;  // frame rate and stream errors while capturing
    long long framesAtRateStart_ = 0;
    QElapsedTimer frameRateClock_;
    QLabel* frameRateLabel_ = nullptr;
    QImage loadedImage_;
    int imageWidth_ = 0;
    int imageHeight_ = 0;
    int widthBeyondFrames_ = 0;  // added so that the tool bars fit
    Processor* currentProcessor_ = nullptr;
    QComboBox* processorCombo_ = nullptr;
    std::vector<std::unique_ptr<Processor>> ownedProcessors_;
    std::vector<Processor*> processors_;
    std::unique_ptr<ProxyProcessor> proxy_;
    CaptureDevicePtr captureDevice_;
    int preferredDevice_ = -1;
    bool streamErrorShown_ = false;
    bool pauseAfterNextFrame_ = false;
    std::unique_ptr<VideoRecorder> recorder_;  // while "Record" is checked
    QString recordingPath_;
    std::vector<unsigned char> recordedPixels_;  // the right canvas, reused every frame
    QElapsedTimer recordingClock_;
    // The shown camera of every recorded frame, while the ruins reconstructor records.
    std::unique_ptr<track::TrackWriter> track_;
    long long framesRecorded_ = 0;
    QStringList inputFiles_;
};

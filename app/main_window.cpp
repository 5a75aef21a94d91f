#include "app/main_window.h"

#include "app/frame_io.h"
#include "app/panel_key_guard.h"
#include "app/user_dialogs.h"
#include "app/virtual_cameras.h"
#include "canvas/canvas.h"
#include "capture/video_file_source.h"
#include "capture/window_placement.h"
#include "processors/fast_tracker_processor.h"
#include "processors/klt_tracker_processor.h"
#include "processors/processor.h"
#include "processors/proxy_processor.h"
#include "record/video_recorder.h"
#include "ruins/ruins_reconstructor_processor.h"
#include "scene/calibration_frame.h"
#include "scene/frame_camera.h"
#include "track/pinhole_camera.h"
#include "track/track_writer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <new>
#include <utility>

namespace {
const char* const kProcessorNames[] = {"Kanade-Lucas-Tomasi Tracker", "FAST Tracker", "Ruins Reconstructor"};
const QString kFrameRateInitialText = QStringLiteral("   Frame Rate: 0 Hz   ");
constexpr int kDefaultWidth = 320;
constexpr int kDefaultHeight = 240;
constexpr double kMaxScreenShare = 0.95;
constexpr int kFrameRateIntervalMs = 1000;
// Room a window manager's title bar takes beside the title (icon and buttons).
constexpr int kTitleBarButtonsWidth = 96;

// The name the save dialog would have completed: ".png" only where the file
// name has no suffix at all, so "x.PNG" stays "x.PNG".
QString withPngSuffixIfNone(const QString& path) {
    return QFileInfo(path).fileName().contains(QLatin1Char('.')) ? path : path + QStringLiteral(".png");
}
}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    // The combo must exist, named, before the form connects slots by name; its
    // entries go in first so that no slot runs for them.
    processorCombo_ = new QComboBox(this);
    for (const char* name : kProcessorNames) processorCombo_->addItem(QString::fromLatin1(name));
    processorCombo_->setObjectName(QStringLiteral("processorCombo"));

    ui.setupUi(this);
    resize(size().expandedTo(minimumSizeHint()));

    ui.mainToolBar->addWidget(new QLabel(QStringLiteral("  Processor: "), ui.mainToolBar));
    processorCombo_->setParent(ui.mainToolBar);
    ui.mainToolBar->addWidget(processorCombo_);
    ui.mainToolBar->addAction(ui.actionOpenProcessorProperties);
    ui.mainToolBar->addAction(ui.actionReprocess);

    ownedProcessors_.push_back(std::make_unique<KLTTrackerProcessor>());
    ownedProcessors_.push_back(std::make_unique<FASTTrackerProcessor>());
    // The reconstructor collects mouse-picked points on the left canvas.
    ownedProcessors_.push_back(std::make_unique<RuinsReconstructorProcessor>(ui.leftCanvas));
    for (auto& processor : ownedProcessors_) processors_.push_back(processor.get());

    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(kFrameRateIntervalMs);
    connect(statusTimer_, &QTimer::timeout, this, &MainWindow::updateCaptureStatus);

    frameRateLabel_ = new QLabel(kFrameRateInitialText, ui.statusBar);
    ui.statusBar->addPermanentWidget(frameRateLabel_, 0);

    ui.leftCanvas->setCanvasId(0);
    ui.rightCanvas->setCanvasId(1);
    proxy_ = std::make_unique<ProxyProcessor>(ui.rightCanvas);
    ui.leftCanvas->setOverlay(proxy_.get());

    processorCombo_->setCurrentIndex(1);
    addAction(ui.actionSaveAugmentedView);  // in no tool bar; its key must still work
    connect(ui.processorToolBar, &QToolBar::actionTriggered, this, &MainWindow::reprocessPausedFrame);
    installKeyboardShortcuts();
    qApp->installEventFilter(new PanelKeyGuard(this));
}

void MainWindow::installKeyboardShortcuts() {
    for (int i = 0; i < int(processors_.size()); ++i) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + i)), this);
        connect(shortcut, &QShortcut::activated, this, [this, i] { processorCombo_->setCurrentIndex(i); });
    }
    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &MainWindow::showAbout);
}

QString MainWindow::openGLDescription() {
    if (!ui.leftCanvas->isValid()) return tr("not initialised yet");
    ui.leftCanvas->makeCurrent();
    const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    const QString text = QStringLiteral("%1 (%2)").arg(QString::fromLatin1(version ? version : "?"),
                                                       QString::fromLatin1(renderer ? renderer : "?"));
    ui.leftCanvas->doneCurrent();
    return text;
}

void MainWindow::showAbout() {
    UserDialogs::current().about(this, tr("About Castellan"), aboutText(openGLDescription()));
}

QString aboutText(const QString& openGL) {
    static const char* const kKeys[][2] = {
        {"Ctrl+O", "open an image"},      {"Ctrl+S", "save the grey frame"},
        {"Ctrl+Shift+S", "save the right view as shown"}, {"Ctrl+R", "record the right view"},
        {"Ctrl+K", "connect or disconnect"}, {"Space", "live on/off"},
        {"F5", "reprocess"},              {"C", "display in colour"},
        {"Ctrl+P", "processor properties"}, {"Ctrl+1, 2, 3", "KLT tracker, FAST tracker, ruins reconstructor"},
        {"F1", "this box"}};
    QString keys;
    for (const auto& key : kKeys)
        keys += QStringLiteral("<tr><td><b>%1</b>&nbsp;&nbsp;</td><td>%2</td></tr>").arg(QLatin1String(key[0]), QLatin1String(key[1]));
    return QStringLiteral("<h3>Castellan %1</h3>"
                          "<p>A workbench for augmented reality on live video.</p>"
                          "<p>Qt %2<br>OpenGL %3<br>Capture: %4</p>"
                          "<p><b>Keyboard</b></p><table>%5</table>")
        .arg(QStringLiteral(CASTELLAN_VERSION), QString::fromLatin1(qVersion()), openGL.toHtmlEscaped(),
             compiledCaptureBackends().join(QStringLiteral(", ")), keys);
}

MainWindow::~MainWindow() {
    stopCapturing();
    finishRecording();  // closed while recording: the video and its track are completed
    // After this no capture thread can post to the window any more.
    setFrameReadyNotifier(captureDevice_.get(), nullptr);
    // Canvases may paint while the window is torn down; they must not reach
    // processors or buffers that are already gone.
    ui.leftCanvas->setOverlay(nullptr);
    ui.rightCanvas->setOverlay(nullptr);
    ui.leftCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
    ui.rightCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
}

void MainWindow::setupImageBuffers() {
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    const bool hasSource = !loadedImage_.isNull() || ui.actionToggleConnection->isChecked();
    if (!loadedImage_.isNull()) {
        width = loadedImage_.width();
        height = loadedImage_.height();
    } else if (hasSource) {
        getImageSize(captureDevice_.get(), width, height);
        if (width <= 0 || height <= 0) {
            UserDialogs::current().critical(this, tr("Error"), tr("Invalid image size reported for the capture device!"));
            width = height = 0;
        }
    }
    if (hasSource && width > 0 && height > 0 && cycle_.setFrameSize(width, height)) {
        imageWidth_ = width;
        imageHeight_ = height;
        showBuffersOnCanvases();
        ui.rightCanvas->updateGL();
    } else {
        cycle_.setFrameSize(0, 0);
        imageWidth_ = kDefaultWidth;
        imageHeight_ = kDefaultHeight;
        ui.leftCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
        ui.rightCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
    }
    if (currentProcessor_) currentProcessor_->setImageSize(imageWidth_, imageHeight_);
    fitWindowToFrame();
}

void MainWindow::showBuffersOnCanvases() {
    ui.leftCanvas->setImage(imageWidth_, imageHeight_, GL_LUMINANCE, cycle_.grayBuffer());
    on_actionDisplayInColor_toggled(ui.actionDisplayInColor->isChecked());
}

void MainWindow::fitWindowToFrame() {
    // Each canvas should show the frame at one screen pixel per frame pixel.
    int newWidth = width() - widthBeyondFrames_ + 2 * (imageWidth_ - ui.leftCanvas->width());
    int newHeight = height() + (imageHeight_ - ui.leftCanvas->height());
    QSize canvasSize(imageWidth_, imageHeight_);
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        const int limit = int(screen->geometry().width() * kMaxScreenShare);
        if (newWidth > limit) {
            const float scale = float(limit) / float(newWidth);
            newWidth = int(newWidth * scale);
            newHeight = int(newHeight * scale);
            canvasSize = QSize(int(imageWidth_ * scale), int(imageHeight_ * scale));
        }
    }
    // Fixed sizes: left to the layout, an odd spare pixel made one canvas a
    // pixel narrower than the frame.
    ui.leftCanvas->setFixedSize(canvasSize);
    ui.rightCanvas->setFixedSize(canvasSize);
    // The tool bars must fit as well: a narrower window hides their last
    // buttons behind an overflow arrow.
    const int toolBarsWidth = ui.mainToolBar->sizeHint().width() + ui.processorToolBar->sizeHint().width();
    widthBeyondFrames_ = std::max(0, toolBarsWidth - newWidth);
    resize(newWidth + widthBeyondFrames_, newHeight);
    keepOnScreen(*this);
}

void MainWindow::repaintCanvases() {
    ui.leftCanvas->updateGL();
    ui.rightCanvas->updateGL();
}

void MainWindow::processCurrentFrame() {
    cycle_.rerun();
    repaintCanvases();
}

void MainWindow::on_actionOpenImage_triggered() {
    const QString path = UserDialogs::current().openFileName(this, tr("Open Image File"),
                                                             QStringLiteral("Images (*.png *.jpg *.gif)"));
    if (path.isEmpty()) return;
    openImageFile(path);
}

bool MainWindow::openImageFile(const QString& path) {
    // Read into a temporary so that a bad file leaves the current frame, its
    // buffers and the processor untouched.
    QString reason;
    QImage image = readImageFile(path, &reason);
    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    std::unique_ptr<unsigned char[]> probe(image.isNull() ? nullptr : new (std::nothrow) unsigned char[4 * count]);
    if (!probe) {
        showFileError(tr("Could not load the specified file! Unsupported format?"), path,
                      image.isNull() ? reason : tr("too large"));
        return false;
    }
    probe.reset();

    loadedImage_ = std::move(image);
    setupImageBuffers();
    if (!cycle_.hasBuffers()) return false;
    fillFrameBuffers(loadedImage_, cycle_.colorBuffer(), cycle_.grayBuffer());
    cycle_.runColorFrame();
    repaintCanvases();
    showSource(QFileInfo(path).fileName());
    return true;
}

void MainWindow::on_actionSaveImage_triggered() {
    // Without a frame there is nothing to save; don't ask for a file name.
    if (!cycle_.hasBuffers()) return;
    QString path = UserDialogs::current().saveFileName(this, tr("Choose a filename to save the Image under"),
                                                       QStringLiteral("PNG Portable Network Graphics (*.png)"),
                                                       QStringLiteral("png"));
    if (path.isEmpty()) return;
    path = withPngSuffixIfNone(path);
    const QImage image = greyFrameToImage(cycle_.grayBuffer(), imageWidth_, imageHeight_);
    // A save that silently fails would let the user believe the frame is kept.
    if (const QString error = ruins::writePngFile(image, path); !error.isEmpty())
        showFileError(tr("Could not save the image file!"), path, error);
}

void MainWindow::showFileError(const QString& message, const QString& path, const QString& reason) {
    QString text = message + QLatin1Char('\n') + QDir::toNativeSeparators(path);
    if (!reason.isEmpty()) text += QLatin1Char('\n') + reason;
    UserDialogs::current().critical(this, tr("Error"), text);
}

void MainWindow::on_actionDisplayInColor_toggled(bool on) {
    if (on)
        ui.rightCanvas->setImage(imageWidth_, imageHeight_, GL_RGB, cycle_.colorBuffer());
    else
        ui.rightCanvas->setImage(imageWidth_, imageHeight_, GL_LUMINANCE, cycle_.processedBuffer());
    ui.rightCanvas->updateGL();
}

void MainWindow::on_actionOpenProcessorProperties_triggered() {
    QWidget* panel = currentProcessor_->propertiesWidget(this);
    if (!panel) {
        UserDialogs::current().warning(this, tr("Not Available"),
                                       tr("The current processor does not have a Properties Widget."));
        return;
    }
    // Wide enough that a window manager's title bar shows the whole title.
    const int titleWidth = panel->fontMetrics().horizontalAdvance(panel->windowTitle()) + kTitleBarButtonsWidth;
    panel->resize(std::max(panel->width(), titleWidth), panel->height());
    panel->show();
    placeBesideWindow(*panel, *this);
}

void MainWindow::on_processorCombo_currentIndexChanged(int index) {
    if (index < 0 || index >= int(processors_.size())) return;
    Processor* processor = processors_[index];
    ui.processorToolBar->clear();
    processor->installActions(ui.processorToolBar);
    cycle_.setProcessor(processor);  // told the frame size when there is a frame
    ui.rightCanvas->setOverlay(processor);
    if (cycle_.hasBuffers()) {
        cycle_.rerun();
        ui.rightCanvas->updateGL();
    }
    currentProcessor_ = processor;
}

void MainWindow::on_actionReprocess_triggered() {
    if (cycle_.hasBuffers()) processCurrentFrame();
}

// ---- Capture control and the frame cycle ----------------------------------

void MainWindow::initCaptureDevice(bool warnWhenNone) {
    captureDevice_.reset(createCaptureDevice());
    if (!captureDevice_) {
        if (warnWhenNone) UserDialogs::current().warning(this, tr("Warning"), tr("No Capture Device available!"));
        ui.actionToggleConnection->setEnabled(false);
        return;
    }
    // Called on the capture thread: one queued call per batch of frames, so the
    // GUI never waits and never falls behind by more than the newest frame.
    setFrameReadyNotifier(captureDevice_.get(), [this] {
        QMetaObject::invokeMethod(this, [this] { takeNewestFrame(); }, Qt::QueuedConnection);
    });
}

void MainWindow::on_actionToggleConnection_toggled(bool on) {
    if (!on) {
        // Unchecking the capture action stops live capture through its slot; the
        // explicit stop covers a device that went live behind the action's back.
        ui.actionToggleCapture->setChecked(false);
        ui.actionRecord->setChecked(false);  // finishes the file
        stopCapturing();
        if (setLive(captureDevice_.get(), -1) == 1) setLive(captureDevice_.get(), 0);
        ui.actionToggleCapture->setEnabled(false);
        disconnectDevice(captureDevice_.get());
        ui.actionOpenImage->setEnabled(true);
        ui.actionDeviceOptions->setEnabled(false);
        return;
    }
    loadedImage_ = QImage();
    if (!connectChosenDevice()) return;
    setImageSize(captureDevice_.get(), kDefaultWidth, kDefaultHeight);
    setupImageBuffers();
    ui.actionOpenImage->setEnabled(false);
    ui.actionDeviceOptions->setEnabled(true);
    ui.actionToggleCapture->setEnabled(true);
    ui.actionToggleCapture->setChecked(true);
}

void MainWindow::chooseDeviceAtStart(const QString& wanted, bool connect) {
    if (!captureDevice_) return;  // already warned that there is none
    const int index = wanted.isEmpty() ? 0 : findDevice(wanted);
    if (index < 0) {
        UserDialogs::current().warning(this, tr("Warning"), tr("No capture device matches \"%1\".").arg(wanted));
        return;
    }
    if (!wanted.isEmpty() || connect) preferredDevice_ = index;
    if (connect) ui.actionToggleConnection->setChecked(true);
}

// The device table entry that `wanted` names: its number, or part of its name
// (case-insensitive). -1 when nothing matches.
int MainWindow::findDevice(const QString& wanted) {
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber);
    const int count = captureDeviceCount();
    if (isNumber) return number >= 0 && number < count ? number : -1;
    for (int i = 0; i < count; ++i)
        if (QString::fromUtf8(captureDeviceDescription(i)).contains(wanted, Qt::CaseInsensitive)) return i;
    return -1;
}

int MainWindow::chooseDevice() {
    const int count = captureDeviceCount();
    // The start-up choice holds for one connection; later ones ask again.
    const int preferred = std::exchange(preferredDevice_, -1);
    if (preferred >= 0 && preferred < count) return preferred;
    if (count < 2) return 0;
    QStringList descriptions;
    for (int i = 0; i < count; ++i) descriptions << QString::fromUtf8(captureDeviceDescription(i));
    return UserDialogs::current().chooseItem(this, tr("Capture Device Selection"),
                                             tr("Select the capture device you wish to connect to:"), descriptions);
}

bool MainWindow::connectChosenDevice() {
    const int index = chooseDevice();
    if (index < 0) return false;  // cancelled: the action stays checked, nothing connected
    if (!connectDevice(captureDevice_.get(), index)) {
        // A video file says why it cannot be played; the box has room for all of it.
        QString text = tr("Could not connect to the capture device!");
        const std::string reason = lastOpenError(captureDevice_.get());
        if (!reason.empty()) text += QLatin1Char('\n') + QString::fromStdString(reason);
        UserDialogs::current().critical(this, tr("Error"), text);
        return false;
    }
    streamErrorShown_ = false;
    // The table's text is "N - name".
    showSource(QString::fromUtf8(captureDeviceDescription(index)).section(QStringLiteral(" - "), 1));
    return true;
}

void MainWindow::showSource(const QString& name) {
    setWindowTitle(tr("%1 - Castellan").arg(name));
}

void MainWindow::on_actionDeviceOptions_triggered() {
    const int count = dialogCount(captureDevice_.get());
    if (count <= 0) return;
    int index = 0;
    if (count >= 2) {
        QStringList entries;
        for (int i = 0; i < count; ++i) entries << QString::fromUtf8(dialogDescription(captureDevice_.get(), i));
        index = UserDialogs::current().popupMenu(this, entries);
        if (index < 0) return;
    }
    const bool wasLive = setLive(captureDevice_.get(), -1) == 1;
    if (wasLive) {
        stopCapturing();
        setLive(captureDevice_.get(), 0);
    }
    const bool applied = showDialog(captureDevice_.get(), index, this);  // placed beside the window
    // Whatever the dialog did, even when it failed half-way, the buffers must
    // match the size the device now delivers.
    if (deviceFrameSize() != QSize(cycle_.width(), cycle_.height())) setupImageBuffers();
    if (applied) {
        if (wasLive && setLive(captureDevice_.get(), 1) != 1)
            UserDialogs::current().critical(this, tr("Error"), tr("Could not change live state!"));
    } else {
        UserDialogs::current().critical(this, tr("Error"), tr("Could not set configuration."));
    }
    syncCaptureActionToDevice();
}

void MainWindow::on_actionToggleCapture_toggled(bool) {
    // The slot flips the device's own state; afterwards the action and the
    // timer are brought in line with what the device actually does.
    const bool live = setLive(captureDevice_.get(), -1) == 1;
    if (setLive(captureDevice_.get(), live ? 0 : 1) != 1)
        UserDialogs::current().critical(this, tr("Error"), tr("Could not change live state!"));
    syncCaptureActionToDevice();
}

void MainWindow::syncCaptureActionToDevice() {
    const bool live = setLive(captureDevice_.get(), -1) == 1;
    if (live && !capturing_) startCapturing();
    if (!live) stopCapturing();
    const QSignalBlocker blocker(ui.actionToggleCapture);
    ui.actionToggleCapture->setChecked(live);
}

void MainWindow::startCapturing() {
    capturing_ = true;
    framesAtRateStart_ = cycle_.framesRun();
    frameRateClock_.start();
    statusTimer_->start();
    // A frame announced while not capturing was left in the mailbox, and the
    // mailbox announces nothing more until it is fetched.
    takeNewestFrame();
}

void MainWindow::stopCapturing() {
    capturing_ = false;
    if (statusTimer_) statusTimer_->stop();
    if (frameRateLabel_) frameRateLabel_->setText(kFrameRateInitialText);
}

QSize MainWindow::deviceFrameSize() const {
    int width = 0;
    int height = 0;
    getImageSize(captureDevice_.get(), width, height);
    return {width, height};
}

void MainWindow::takeNewestFrame() {
    if (!capturing_) return;
    FrameCycle::Fetch result = cycle_.takeFrame(captureDevice_.get(), 0);
    if (result == FrameCycle::Fetch::SizeChanged) {
        // The device changed its size mid-stream: new buffers, then the frame.
        if (deviceFrameSize().isEmpty()) return;
        setupImageBuffers();
        result = cycle_.takeFrame(captureDevice_.get(), 0);
    }
    if (result == FrameCycle::Fetch::NewFrame) {
        repaintCanvases();
        recordShownFrame();
        if (std::exchange(pauseAfterNextFrame_, false)) ui.actionToggleCapture->setChecked(false);
    }
}

// A processor's own button (new features, initial points) changes what its
// next frame shows; on a paused frame or a still image that frame is this one.
void MainWindow::reprocessPausedFrame() {
    if (!capturing_ && cycle_.hasBuffers()) processCurrentFrame();
}

void MainWindow::updateCaptureStatus() {
    const long long frames = cycle_.framesRun();
    frameRateLabel_->setText(frameRateText(int(frames - framesAtRateStart_), frameRateClock_.restart()));
    framesAtRateStart_ = frames;
    if (!streamErrorShown_) {
        const std::string error = captureStreamError(captureDevice_.get());
        if (!error.empty()) {
            streamErrorShown_ = true;
            statusBar()->showMessage(tr("Capture stopped: %1").arg(QString::fromStdString(error)));
        }
    }
}

QString frameRateText(int frames, qint64 elapsedMs) {
    const double rate = elapsedMs > 0 ? 1000.0 / double(elapsedMs) * frames : 0.0;
    return QStringLiteral("   Frame Rate: %1 Hz   ").arg(rate, 0, 'f', 2);
}

// ---- Recording what the right canvas shows ---------------------------------

void MainWindow::on_actionSaveAugmentedView_triggered() {
    if (!cycle_.hasBuffers()) return;
    const QString path = UserDialogs::current().saveFileName(this, tr("Save the augmented view"),
                                                             QStringLiteral("PNG Portable Network Graphics (*.png)"),
                                                             QStringLiteral("png"));
    if (path.isEmpty()) return;
    const QString named = withPngSuffixIfNone(path);
    // The canvas as shown, overlay included, in device pixels.
    if (const QString error = ruins::writePngFile(ui.rightCanvas->grabFramebuffer(), named); !error.isEmpty())
        showFileError(tr("Could not save the image file!"), named, error);
}

void MainWindow::on_actionRecord_toggled(bool on) {
    if (on) {
        startRecording();
        return;
    }
    const QString error = finishRecording();
    if (!error.isEmpty()) showFileError(tr("Could not finish the video file!") + QLatin1Char('\n') + error, recordingPath_);
}

namespace {

// The camera track written beside a recording: NAME.track.json for NAME.mp4.
QString trackPathFor(const QString& videoPath) {
    QString name = videoPath;
    if (name.endsWith(QStringLiteral(".mp4"), Qt::CaseInsensitive)) name.chop(4);
    return name + QStringLiteral(".track.json");
}

}  // namespace

QString MainWindow::inputAt(const QString& path) const {
    const QFileInfo output(path);
    for (const QString& input : inputFiles_) {
        const QFileInfo read(input);
        if (output.exists() && read.exists() && output.canonicalFilePath() == read.canonicalFilePath())
            return tr("%1 is the input %2; choose another file").arg(QDir::toNativeSeparators(path),
                                                                    QDir::toNativeSeparators(input));
    }
    return QString();
}

// The track of the ruins reconstructor's camera; none for the other processors.
std::unique_ptr<track::TrackWriter> MainWindow::openTrack(const QString& videoPath, QString& error) {
    if (!dynamic_cast<RuinsReconstructorProcessor*>(currentProcessor_)) return nullptr;
    const QString path = trackPathFor(videoPath);
    error = inputAt(path);
    if (!error.isEmpty()) return nullptr;
    std::string reason;
    auto* ruins = static_cast<RuinsReconstructorProcessor*>(currentProcessor_);
    auto writer = track::openJsonTrack(QFile::encodeName(path).toStdString(), recorder_->videoWidth(),
                                       recorder_->videoHeight(), ruins->reconstruction().modelPoints(), reason);
    if (!writer) error = QString::fromStdString(reason);
    return writer;
}

void MainWindow::startRecording() {
    const QString path = UserDialogs::current().saveFileName(this, tr("Record the right view to"),
                                                             QStringLiteral("MP4 Video (*.mp4)"), QStringLiteral("mp4"));
    QString error = path.isEmpty() ? QString() : inputAt(path);
    if (!path.isEmpty() && error.isEmpty()) {
        // Frames must keep the size the canvas shows now, in device pixels.
        const QSize size = ui.rightCanvas->readShownPixels(recordedPixels_);
        std::string reason;
        recorder_ = VideoRecorder::open(QFile::encodeName(path).toStdString(), size.width(), size.height(), reason);
        error = QString::fromStdString(reason);
        if (recorder_) track_ = openTrack(path, error);
        if (recorder_ && !error.isEmpty()) recorder_.reset();  // no video without its track
    }
    if (recorder_) {
        recordingPath_ = path;
        framesRecorded_ = 0;
        recordingClock_.start();
        statusBar()->showMessage(tr("Recording to %1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(false);
    if (!path.isEmpty()) showFileError(tr("Could not record the video!") + QLatin1Char('\n') + error, path);
}

std::optional<track::PinholeCamera> MainWindow::shownCamera() const {
    const auto* ruins = dynamic_cast<const RuinsReconstructorProcessor*>(currentProcessor_);
    if (!ruins || !recorder_) return std::nullopt;
    const ruins::RuinsReconstruction& reconstruction = ruins->reconstruction();
    const ruins::PreparedView& view = reconstruction.preparedView();
    if (!reconstruction.poseValid() || !view.prepared || !view.drawable) return std::nullopt;
    const std::optional<ruins::FrameCamera> camera = ruins::makeFrameCamera(
        {view.pose.eye, view.pose.lookAt, view.pose.up, view.fieldOfView}, imageWidth_, imageHeight_);
    if (!camera) return std::nullopt;
    const track::PinholeCamera frame = track::pinholeFrom({camera->width, camera->height, camera->focalX,
                                                           camera->focalY, camera->eye, camera->side, camera->up,
                                                           camera->forward});
    // The canvas stretches the frame over itself, the recorder the canvas over the video.
    return track::stretchedTo(frame, recorder_->videoWidth(), recorder_->videoHeight());
}

// Frames are stamped with the time they were shown, so the video plays at the
// pace the camera delivered.
void MainWindow::recordShownFrame() {
    if (!recorder_) return;
    const QSize size = ui.rightCanvas->readShownPixels(recordedPixels_);
    if (size.isEmpty()) return;  // not on screen
    const std::ptrdiff_t stride = std::ptrdiff_t(size.width()) * 4;
    const std::uint8_t* top = recordedPixels_.data() + stride * (size.height() - 1);
    if (!recorder_->write({top, -stride, size.width(), size.height(), PixelLayout::Rgba32}, recordingClock_.elapsed())) {
        stopRecordingAfterError(QString::fromStdString(recorder_->error()));
        return;
    }
    if (track_ && !track_->addFrame(framesRecorded_, shownCamera()))
        stopRecordingAfterError(QString::fromStdString(track_->error()));
    ++framesRecorded_;
}

// Closes the file; returns why that failed, or nothing.
QString MainWindow::finishRecording() {
    if (!recorder_) return QString();
    const bool finished = recorder_->finish();
    QString error = finished ? QString() : QString::fromStdString(recorder_->error());
    // The track is put in place only whole; a track cut short is left out.
    if (track_ && !track_->finish() && error.isEmpty()) error = QString::fromStdString(track_->error());
    track_.reset();
    statusBar()->showMessage(tr("Recorded %1 frames to %2").arg(recorder_->framesWritten())
                                 .arg(QDir::toNativeSeparators(recordingPath_)));
    recorder_.reset();
    return error;
}

// Capture goes on; the file keeps the frames written before.
void MainWindow::stopRecordingAfterError(const QString& reason) {
    finishRecording();
    {
        const QSignalBlocker blocker(ui.actionRecord);
        ui.actionRecord->setChecked(false);
    }
    showFileError(tr("Recording stopped: %1").arg(reason), recordingPath_);
}

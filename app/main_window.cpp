#include "app/main_window.h"

#include "app/frame_io.h"
#include "app/user_dialogs.h"
#include "app/virtual_cameras.h"
#include "canvas/canvas.h"
#include "capture/video_file_source.h"
#include "processors/fast_tracker_processor.h"
#include "processors/klt_tracker_processor.h"
#include "processors/processor.h"
#include "processors/proxy_processor.h"
#include "ruins/ruins_reconstructor_processor.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTimerEvent>

#include <new>

namespace {
const char* const kProcessorNames[] = {"Kanade-Lucas-Tomasi Tracker", "FAST Tracker", "Ruins Reconstructor"};
const QString kFrameRateInitialText = QStringLiteral("   Frame Rate: 0 Hz   ");
constexpr int kDefaultWidth = 320;
constexpr int kDefaultHeight = 240;
constexpr double kMaxScreenShare = 0.95;
constexpr int kFetchTimeoutMs = 1000;
constexpr int kFrameRateIntervalMs = 1000;
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

    frameRateLabel_ = new QLabel(kFrameRateInitialText, ui.statusBar);
    ui.statusBar->addPermanentWidget(frameRateLabel_, 0);

    ui.leftCanvas->setCanvasId(0);
    ui.rightCanvas->setCanvasId(1);
    proxy_ = std::make_unique<ProxyProcessor>(ui.rightCanvas);
    ui.leftCanvas->setOverlay(proxy_.get());

    processorCombo_->setCurrentIndex(1);
    installKeyboardShortcuts();
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
    stopFrameTimer();
    // Canvases may paint while the window is torn down; they must not reach
    // processors or buffers that are already gone.
    ui.leftCanvas->setOverlay(nullptr);
    ui.rightCanvas->setOverlay(nullptr);
    ui.leftCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
    ui.rightCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
}

bool MainWindow::allocateBuffers(int width, int height) {
    colorBuffer_.reset();
    grayBuffer_.reset();
    processedBuffer_.reset();
    const std::size_t count = std::size_t(width) * std::size_t(height);
    if (count == 0) return true;
    colorBuffer_.reset(new (std::nothrow) unsigned char[3 * count]);
    grayBuffer_.reset(new (std::nothrow) unsigned char[count]);
    processedBuffer_.reset(new (std::nothrow) unsigned char[count]);
    if (colorBuffer_ && grayBuffer_ && processedBuffer_) return true;
    colorBuffer_.reset();
    grayBuffer_.reset();
    processedBuffer_.reset();
    return false;
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
    if (hasSource && width > 0 && height > 0 && allocateBuffers(width, height)) {
        imageWidth_ = width;
        imageHeight_ = height;
        pixelCount_ = width * height;
        showBuffersOnCanvases();
        ui.rightCanvas->updateGL();
    } else {
        allocateBuffers(0, 0);
        imageWidth_ = kDefaultWidth;
        imageHeight_ = kDefaultHeight;
        pixelCount_ = 0;
        ui.leftCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
        ui.rightCanvas->setImage(kDefaultWidth, kDefaultHeight, 0, nullptr);
    }
    if (currentProcessor_) currentProcessor_->setImageSize(imageWidth_, imageHeight_);
    fitWindowToFrame();
}

void MainWindow::showBuffersOnCanvases() {
    ui.leftCanvas->setImage(imageWidth_, imageHeight_, GL_LUMINANCE, grayBuffer_.get());
    on_actionDisplayInColor_toggled(ui.actionDisplayInColor->isChecked());
}

void MainWindow::fitWindowToFrame() {
    // Each canvas should show the frame at one screen pixel per frame pixel.
    int newWidth = width() + 2 * (imageWidth_ - ui.leftCanvas->width());
    int newHeight = height() + (imageHeight_ - ui.leftCanvas->height());
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        const int limit = int(screen->geometry().width() * kMaxScreenShare);
        if (newWidth > limit) {
            const float scale = float(limit) / float(newWidth);
            newWidth = int(newWidth * scale);
            newHeight = int(newHeight * scale);
        }
    }
    resize(newWidth, newHeight);
}

void MainWindow::processCurrentFrame() {
    currentProcessor_->process(grayBuffer_.get(), processedBuffer_.get());
    ui.leftCanvas->updateGL();
    ui.rightCanvas->updateGL();
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
    QImage image = readImageFile(path);
    if (image.isNull()) {
        UserDialogs::current().critical(this, tr("Error"), tr("Could not load the specified file! Unsupported format?"));
        return false;
    }
    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    std::unique_ptr<unsigned char[]> probe(new (std::nothrow) unsigned char[4 * count]);
    if (!probe) {
        UserDialogs::current().critical(this, tr("Error"), tr("Could not load the specified file! Unsupported format?"));
        return false;
    }
    probe.reset();

    loadedImage_ = std::move(image);
    setupImageBuffers();
    if (pixelCount_ == 0) return false;
    fillFrameBuffers(loadedImage_, colorBuffer_.get(), grayBuffer_.get());
    processCurrentFrame();
    return true;
}

void MainWindow::on_actionSaveImage_triggered() {
    // Without a frame there is nothing to save; don't ask for a file name.
    if (pixelCount_ == 0 || !grayBuffer_) return;
    QString path = UserDialogs::current().saveFileName(this, tr("Choose a filename to save the Image under"),
                                                       QStringLiteral("PNG Portable Network Graphics (*.png)"));
    if (path.isEmpty()) return;
    if (!path.endsWith(QStringLiteral(".png"))) path += QStringLiteral(".png");
    const QImage image = greyFrameToImage(grayBuffer_.get(), imageWidth_, imageHeight_);
    // A save that silently fails would let the user believe the frame is kept.
    if (image.isNull() || !image.save(path, "PNG"))
        UserDialogs::current().critical(this, tr("Error"), tr("Could not save the image file!"));
}

void MainWindow::on_actionDisplayInColor_toggled(bool on) {
    if (on)
        ui.rightCanvas->setImage(imageWidth_, imageHeight_, GL_RGB, colorBuffer_.get());
    else
        ui.rightCanvas->setImage(imageWidth_, imageHeight_, GL_LUMINANCE, processedBuffer_.get());
    ui.rightCanvas->updateGL();
}

void MainWindow::on_actionOpenProcessorProperties_triggered() {
    QWidget* panel = currentProcessor_->propertiesWidget(this);
    if (!panel) {
        UserDialogs::current().warning(this, tr("Not Available"),
                                       tr("The current processor does not have a Properties Widget."));
        return;
    }
    const QRect frame = frameGeometry();
    panel->move(frame.right(), frame.top());
    panel->show();
}

void MainWindow::on_processorCombo_currentIndexChanged(int index) {
    if (index < 0 || index >= int(processors_.size())) return;
    Processor* processor = processors_[index];
    ui.processorToolBar->clear();
    processor->installActions(ui.processorToolBar);
    if (pixelCount_ != 0) processor->setImageSize(imageWidth_, imageHeight_);
    ui.rightCanvas->setOverlay(processor);
    if (pixelCount_ != 0) {
        processor->process(grayBuffer_.get(), processedBuffer_.get());
        ui.rightCanvas->updateGL();
    }
    currentProcessor_ = processor;
}

void MainWindow::on_actionReprocess_triggered() {
    if (pixelCount_ != 0) processCurrentFrame();
}

// ---- Capture control and the frame cycle ----------------------------------

void MainWindow::initCaptureDevice() {
    captureDevice_.reset(createCaptureDevice());
    if (!captureDevice_) {
        UserDialogs::current().warning(this, tr("Warning"), tr("No Capture Device available!"));
        ui.actionToggleConnection->setEnabled(false);
    }
}

void MainWindow::on_actionToggleConnection_toggled(bool on) {
    if (!on) {
        // Unchecking the capture action stops live capture through its slot; the
        // explicit stop covers a device that went live behind the action's back.
        ui.actionToggleCapture->setChecked(false);
        stopFrameTimer();
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

int MainWindow::chooseDevice() {
    const int count = captureDeviceCount();
    if (preferredDevice_ >= 0 && preferredDevice_ < count) return preferredDevice_;
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
        UserDialogs::current().critical(this, tr("Error"), tr("Could not connect to the capture device!"));
        // A video file says why it cannot be played.
        const std::string reason = lastVideoOpenError();
        if (!reason.empty()) statusBar()->showMessage(QString::fromStdString(reason));
        return false;
    }
    streamErrorShown_ = false;
    return true;
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
    // The stream stops while the dialog is open, and so do the ticks: each would
    // otherwise wait a second for a frame that cannot come.
    const bool wasLive = setLive(captureDevice_.get(), -1) == 1;
    if (wasLive) {
        stopFrameTimer();
        setLive(captureDevice_.get(), 0);
    }
    if (showDialog(captureDevice_.get(), index, nullptr)) {
        setupImageBuffers();
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
    if (live && timerId_ == 0) startFrameTimer();
    if (!live) stopFrameTimer();
    const QSignalBlocker blocker(ui.actionToggleCapture);
    ui.actionToggleCapture->setChecked(live);
}

void MainWindow::startFrameTimer() {
    stopFrameTimer();  // never two timers
    frameCount_ = 0;
    frameRateClock_.start();
    timerId_ = startTimer(0);
}

void MainWindow::stopFrameTimer() {
    if (timerId_ != 0) killTimer(timerId_);
    timerId_ = 0;
}

void MainWindow::timerEvent(QTimerEvent*) {
    // Without a new frame in time the previous one is processed again.
    fetchFrame(captureDevice_.get(), colorBuffer_.get(), 3 * std::size_t(pixelCount_), FrameLayout::PackedRGB, kFetchTimeoutMs);
    if (pixelCount_ > 0) convertToGrey(colorBuffer_.get(), grayBuffer_.get(), std::size_t(pixelCount_));
    processCurrentFrame();
    updateFrameRate();

    if (!streamErrorShown_) {
        const std::string error = captureStreamError(captureDevice_.get());
        if (!error.empty()) {
            streamErrorShown_ = true;
            statusBar()->showMessage(tr("Capture stopped: %1").arg(QString::fromStdString(error)));
        }
    }
}

void MainWindow::updateFrameRate() {
    ++frameCount_;
    if (frameRateClock_.elapsed() < kFrameRateIntervalMs) return;
    frameRateLabel_->setText(frameRateText(frameCount_, frameRateClock_.restart()));
    frameCount_ = 0;
}

QString frameRateText(int frames, qint64 elapsedMs) {
    const double rate = 1000.0 / double(elapsedMs) * frames;
    return QStringLiteral("   Frame Rate: %1 Hz   ").arg(rate, 0, 'f', 2);
}

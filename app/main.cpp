#include "app/main_window.h"
#include "app/virtual_cameras.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QComboBox>
#include <QScreen>
#include <QSurfaceFormat>

namespace {

struct Options {
    bool virtualCamera = false;
    bool connect = false;
    int device = -1;
    int processor = -1;
    QString image;
};

Options parseOptions(const QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Castellan: augmented reality on live video."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption virtualCamera(QStringLiteral("virtual-camera"),
                                           QStringLiteral("Offer the built-in virtual cameras after the real devices."));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("Connect to a capture device at start and go live."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Device table entry to connect to, without asking."),
                                    QStringLiteral("N"));
    const QCommandLineOption processor(QStringLiteral("processor"),
                                       QStringLiteral("Processor at start: 0 KLT, 1 FAST (default), 2 ruins."),
                                       QStringLiteral("N"));
    const QCommandLineOption image(QStringLiteral("image"), QStringLiteral("Open this image file at start."),
                                   QStringLiteral("FILE"));
    parser.addOptions({virtualCamera, connect, device, processor, image});
    parser.process(app);

    Options options;
    options.virtualCamera = parser.isSet(virtualCamera);
    options.connect = parser.isSet(connect);
    options.device = parser.isSet(device) ? parser.value(device).toInt() : -1;
    options.processor = parser.isSet(processor) ? parser.value(processor).toInt() : -1;
    options.image = parser.value(image);
    return options;
}

void centreOnScreen(QWidget& window) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = window.geometry();
    const QPoint screenCentre((screen.left() + screen.right()) / 2, (screen.top() + screen.bottom()) / 2);
    const QPoint windowCentre((frame.left() + frame.right()) / 2, (frame.top() + frame.bottom()) / 2);
    window.move(window.pos() + screenCentre - windowCentre);
}

}  // namespace

int main(int argc, char* argv[]) {
    // The canvases draw with fixed-function OpenGL, which needs a compatibility context.
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("castellan"));
    QApplication::setApplicationVersion(QStringLiteral(CASTELLAN_VERSION));
    Q_INIT_RESOURCE(icons);
    const Options options = parseOptions(app);
    if (options.virtualCamera) registerVirtualCameras();

    MainWindow window;
    centreOnScreen(window);
    window.show();
    window.initCaptureDevice();

    if (options.processor >= 0) window.findChild<QComboBox*>(QStringLiteral("processorCombo"))->setCurrentIndex(options.processor);
    if (!options.image.isEmpty()) window.openImageFile(options.image);
    if (options.connect && window.captureDevice()) {
        window.setPreferredDevice(options.device >= 0 ? options.device : 0);
        window.form().actionToggleConnection->setChecked(true);
    } else if (options.device >= 0) {
        window.setPreferredDevice(options.device);
    }

    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return app.exec();
}

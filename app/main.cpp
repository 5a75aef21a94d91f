#include "app/main_window.h"
#include "app/virtual_cameras.h"
#include "capture/capture_device.h"
#include "capture/capture_dialogs.h"
#include "capture/video_file_source.h"
#include "reconstruction/ruins_reconstruction.h"
#include "scene/scene_model.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QIcon>
#include <QComboBox>
#include <QScreen>
#include <QSurfaceFormat>

#include <csignal>
#include <cstdlib>

namespace {

struct Options {
    bool virtualCamera = false;
    bool connect = false;
    bool paused = false;
    QString device;
    int processor = -1;
    QString image;
    QStringList videos;
    QString background;
    QString scene;
    ruins::FieldOfViewMode fieldOfView = ruins::FieldOfViewMode::Auto;
    double fixedFieldOfView = 0.0;
};

Options parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Castellan: augmented reality on live video."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption virtualCamera(QStringLiteral("virtual-camera"),
                                           QStringLiteral("Offer the built-in virtual cameras after the real devices."));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("Connect to a capture device at start and go live."));
    const QCommandLineOption paused(QStringLiteral("paused"),
                                    QStringLiteral("With --connect: pause on the first frame."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Device to connect to without asking: its number in the "
                                                   "device table, or part of its name."),
                                    QStringLiteral("N|NAME"));
    const QCommandLineOption processor(QStringLiteral("processor"),
                                       QStringLiteral("Processor at start: 0 KLT, 1 FAST (default), 2 ruins."),
                                       QStringLiteral("N"));
    const QCommandLineOption image(QStringLiteral("image"), QStringLiteral("Open this image file at start."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption video(QStringLiteral("video"),
                                   QStringLiteral("Offer this video file as a capture device (repeatable)."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption background(QStringLiteral("background"),
                                        QStringLiteral("Picture the virtual ruins camera shows as table and backdrop."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption scene(QStringLiteral("scene"),
                                   QStringLiteral("Scene file the ruins reconstructor and the virtual ruins camera "
                                                  "use instead of the ruins."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption fieldOfView(QStringLiteral("fov"),
                                         QStringLiteral("How the ruins reconstructor finds the camera's field of view "
                                                        "when the scene does not give it: free (every frame), auto "
                                                        "(held once settled, the default) or a number of degrees."),
                                         QStringLiteral("free|auto|DEG"));
    parser.addOptions({virtualCamera, video, connect, paused, device, processor, image, background, scene, fieldOfView});
    parser.process(app);

    Options options;
    options.virtualCamera = parser.isSet(virtualCamera);
    options.connect = parser.isSet(connect);
    options.paused = parser.isSet(paused);
    options.device = parser.value(device);
    if (parser.isSet(processor)) {
        bool isNumber = false;
        options.processor = parser.value(processor).toInt(&isNumber);
        if (!isNumber || options.processor < 0 || options.processor > 2) {
            qCritical("castellan: --processor takes 0, 1 or 2, not \"%s\"", qPrintable(parser.value(processor)));
            std::exit(1);
        }
    }
    options.image = parser.value(image);
    options.videos = parser.values(video);
    options.background = parser.value(background);
    options.scene = parser.value(scene);
    if (parser.isSet(fieldOfView) &&
        !ruins::parseFieldOfViewMode(parser.value(fieldOfView).toStdString(), options.fieldOfView,
                                     options.fixedFieldOfView)) {
        qCritical("castellan: --fov takes free, auto or a number of degrees from 1 to 179, not \"%s\"",
                  qPrintable(parser.value(fieldOfView)));
        std::exit(1);
    }
    return options;
}

// --help and --version only print text, so they must work without a display.
bool onlyPrintsText(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version") return true;
    }
    return false;
}

void nameApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("castellan"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CASTELLAN_VERSION));
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
    // A recording that meets a file-size limit or a closed pipe reports the
    // failed write and is closed properly instead of the program being killed.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (onlyPrintsText(argc, argv)) {
        QCoreApplication app(argc, argv);
        nameApplication();
        parseOptions(app);  // prints and exits
        return 0;
    }

    // The canvases draw with fixed-function OpenGL, which needs a compatibility context.
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);

    QApplication app(argc, argv);
    nameApplication();
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.castellan.Castellan"));
    Q_INIT_RESOURCE(icons);
    installCaptureDialogs();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/castellan.png")));
    const Options options = parseOptions(app);
    if (!options.scene.isEmpty()) {
        std::string error;
        auto scene = ruins::openScene(QFile::encodeName(options.scene).toStdString(), error);
        if (!scene) {
            qCritical("castellan: %s", error.c_str());
            return 2;
        }
        ruins::useScene(std::move(scene));
    }
    ruins::setDefaultFieldOfViewMode(options.fieldOfView, options.fixedFieldOfView);
    if (options.virtualCamera) registerVirtualCameras();
    if (!options.background.isEmpty()) {
        std::string error;
        const std::string background = QFile::encodeName(options.background).toStdString();
        ruins::setDefaultVirtualRuinsBackdrop(ruins::loadSceneBackdrop(background, error));
        if (!error.empty()) qWarning("%s", error.c_str());
    }
    for (const QString& video : options.videos) registerVideoFileDevice(QFile::encodeName(video).toStdString());

    MainWindow window;
    window.setInputFiles(options.videos + QStringList{options.image, options.background, options.scene});
    centreOnScreen(window);
    window.show();
    window.initCaptureDevice(options.image.isEmpty());

    if (options.processor >= 0) window.findChild<QComboBox*>(QStringLiteral("processorCombo"))->setCurrentIndex(options.processor);
    if (!options.image.isEmpty()) window.openImageFile(options.image);
    if (options.paused) window.pauseAfterNextFrame();
    window.chooseDeviceAtStart(options.device, options.connect);

    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return app.exec();
}

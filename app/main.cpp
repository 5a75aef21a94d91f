#include "app/main_window.h"

#include <QApplication>
#include <QScreen>
#include <QSurfaceFormat>

int main(int argc, char* argv[]) {
    // The canvases draw with fixed-function OpenGL, which needs a compatibility context.
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(icons);

    MainWindow window;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = window.geometry();
    const QPoint screenCentre((screen.left() + screen.right()) / 2, (screen.top() + screen.bottom()) / 2);
    const QPoint windowCentre((frame.left() + frame.right()) / 2, (frame.top() + frame.bottom()) / 2);
    window.move(window.pos() + screenCentre - windowCentre);
    window.show();

    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return app.exec();
}

// GoogleTest main for rooms whose objects need a QApplication (actions, widgets,
// GL canvases). Runs under the test command's X server.
#include <QApplication>
#include <QSurfaceFormat>
#include <gtest/gtest.h>

#include "keep_gl_driver.h"

int main(int argc, char** argv) {
    keepGLDriverLoaded();
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(icons);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    checkLeaksNow();
    return status;
}

#pragma once

#include <QApplication>
#include <QSurfaceFormat>
#include <QTest>

#include "keep_gl_driver.h"

// Like QTEST_MAIN, with the program's OpenGL context format and its icons.
#define CASTELLAN_QTEST_MAIN(TestClass)                                     \
    int main(int argc, char** argv) {                                       \
        keepGLDriverLoaded();                                               \
        QSurfaceFormat format;                                              \
        format.setProfile(QSurfaceFormat::CompatibilityProfile);            \
        format.setDepthBufferSize(24);                                      \
        QSurfaceFormat::setDefaultFormat(format);                           \
        QApplication app(argc, argv);                                       \
        Q_INIT_RESOURCE(icons);                                             \
        TestClass test;                                                     \
        const int status = QTest::qExec(&test, argc, argv);                 \
        checkLeaksNow();                                                    \
        return status;                                                      \
    }

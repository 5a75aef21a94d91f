// The main window's still-image path, saving, colour display, processor choice
// and properties, driven through its slots as a user would.
#include "app/main_window.h"
#include "canvas/canvas.h"
#include "processors/processor.h"
#include "../support/qtest_main.h"
#include "../support/scripted_dialogs.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QFile>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QWidgetAction>

namespace {

QImage gradientImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb((x * 7) & 255, (y * 5) & 255, (x + y) & 255));
    return image;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeImage(const QTemporaryDir& dir, const QString& name, const QImage& image) {
    const QString path = dir.filePath(name);
    image.save(path);
    return path;
}

// Draws one label through the canvas on each canvas it is asked to draw on.
class LabelOverlay : public Processor {
public:
    void setImageSize(int, int) override {}
    int process(const unsigned char*, unsigned char*) override { return 0; }
    QWidget* propertiesWidget(QWidget*) override { return nullptr; }
    void installActions(QWidget*) override {}
    void drawOverlay(Canvas* canvas) override { canvas->drawText(10, 20, QStringLiteral("label 7")); }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    static QAction* action(MainWindow& w, const char* name) { return w.findChild<QAction*>(name); }
    static QComboBox* combo(MainWindow& w) { return w.findChild<QComboBox*>("processorCombo"); }

private slots:
    void startUpState() {
        ScriptedDialogs dialogs;
        MainWindow w;
        QCOMPARE(w.objectName(), QStringLiteral("MainWindowClass"));
        QComboBox* c = combo(w);
        QVERIFY(c);
        QCOMPARE(c->count(), 3);
        QCOMPARE(c->itemText(0), QStringLiteral("Kanade-Lucas-Tomasi Tracker"));
        QCOMPARE(c->itemText(1), QStringLiteral("FAST Tracker"));
        QCOMPARE(c->itemText(2), QStringLiteral("Ruins Reconstructor"));
        QCOMPARE(c->currentIndex(), 1);
        QCOMPARE(w.currentProcessor(), w.processors().at(1));
        QCOMPARE(w.rightCanvas()->overlay(), static_cast<CanvasOverlay*>(w.processors().at(1)));
        QCOMPARE(w.pixelCount(), 0);
        QCOMPARE(w.leftCanvas()->canvasId(), 0);
        QCOMPARE(w.rightCanvas()->canvasId(), 1);
        QCOMPARE(w.frameRateLabel()->text(), QStringLiteral("   Frame Rate: 0 Hz   "));
        QVERIFY(w.width() >= 645);
    }

    void actionsAsSpecified() {
        ScriptedDialogs dialogs;
        MainWindow w;
        struct Expected {
            const char* name;
            const char* text;
            bool checkable;
            bool enabled;
        };
        const Expected expected[] = {
            {"actionToggleConnection", "Connect to a capture device...", true, true},
            {"actionToggleCapture", "Toggle Capture (Play/Pause)", true, false},
            {"actionDeviceOptions", "Device Options...", false, false},
            {"actionOpenImage", "Open an image file", false, true},
            {"actionOpenProcessorProperties", "Open Processor Properties Dialog...", false, true},
            {"actionSaveImage", "Save Image...", false, true},
            {"actionReprocess", "Reprocess", false, true},
            {"actionDisplayInColor", "Display In Color", true, true},
        };
        for (const Expected& e : expected) {
            QAction* a = action(w, e.name);
            QVERIFY2(a, e.name);
            QCOMPARE(a->text(), QString::fromLatin1(e.text));
            QCOMPARE(a->isCheckable(), e.checkable);
            QCOMPARE(a->isEnabled(), e.enabled);
            QVERIFY(!a->isChecked());
            QVERIFY2(!a->icon().isNull(), e.name);
        }
        QCOMPARE(action(w, "actionDisplayInColor")->toolTip(),
                 QStringLiteral("Whether to Display the Captured (Color) Image or the Processed Image"));

        // Main tool bar, left to right.
        const QList<QAction*> items = w.form().mainToolBar->actions();
        QStringList names;
        for (QAction* a : items) {
            if (a->isSeparator()) names << "|";
            else if (!qobject_cast<QWidgetAction*>(a)) names << a->objectName();
            else if (auto* label = qobject_cast<QLabel*>(w.form().mainToolBar->widgetForAction(a)))
                names << label->text();
            else names << w.form().mainToolBar->widgetForAction(a)->objectName();
        }
        const QStringList expectedOrder = {"actionOpenImage", "actionSaveImage", "|", "actionToggleConnection",
                                           "actionDeviceOptions", "|", "actionToggleCapture", "actionRecord", "|",
                                           "actionDisplayInColor", "|", "  Processor: ", "processorCombo",
                                           "actionOpenProcessorProperties", "actionReprocess"};
        QCOMPARE(names, expectedOrder);
    }

    void openImageFillsBuffersBottomUpAndProcesses() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        const QImage picture = gradientImage(64, 48);
        dialogs.fileAnswers.push_back(writeImage(dir, "gradient.png", picture));
        const int leftPaints = w.leftCanvas()->paintCount();
        const int rightPaints = w.rightCanvas()->paintCount();
        action(w, "actionOpenImage")->trigger();
        QCOMPARE(dialogs.asked.value(0), QStringLiteral("Open Image File"));
        QVERIFY(dialogs.messages.empty());
        QCOMPARE(w.imageWidth(), 64);
        QCOMPARE(w.imageHeight(), 48);
        QCOMPARE(w.pixelCount(), 64 * 48);
        // Buffer row 0 is the picture's bottom row.
        const QRgb bottomLeft = picture.pixel(0, 47);
        QCOMPARE(int(w.colorBuffer()[0]), qRed(bottomLeft));
        QCOMPARE(int(w.grayBuffer()[64 * 47 + 5]), 0 + int(0.2999 * qRed(picture.pixel(5, 0)) +
                                                           0.587 * qGreen(picture.pixel(5, 0)) +
                                                           0.114 * qBlue(picture.pixel(5, 0))));
        // The FAST tracker passes its input through; both canvases repainted.
        QCOMPARE(std::memcmp(w.grayBuffer(), w.processedBuffer(), 64 * 48), 0);
        QVERIFY(w.leftCanvas()->paintCount() > leftPaints);
        QVERIFY(w.rightCanvas()->paintCount() > rightPaints);
        QCOMPARE(w.leftCanvas()->pixels(), w.grayBuffer());
        QCOMPARE(w.rightCanvas()->pixels(), w.processedBuffer());
        QCOMPARE(int(w.leftCanvas()->pixelFormat()), GL_LUMINANCE);
    }

    void badFilesShowErrorAndChangeNothing() {
        ScriptedDialogs dialogs;
        MainWindow w;
        dialogs.fileAnswers.push_back(writeImage(dir, "first.png", gradientImage(40, 30)));
        action(w, "actionOpenImage")->trigger();
        const unsigned char* grey = w.grayBuffer();
        const QByteArray before(reinterpret_cast<const char*>(grey), 40 * 30);

        const QString empty = dir.filePath("empty.gif");
        QFile(empty).open(QIODevice::WriteOnly);
        const QString text = dir.filePath("text.png");
        {
            QFile f(text);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not an image at all");
        }
        for (const QString& bad : {empty, text, dir.path(), dir.filePath("missing.jpg")}) {
            dialogs.messages.clear();
            dialogs.fileAnswers.push_back(bad);
            action(w, "actionOpenImage")->trigger();
            QCOMPARE(int(dialogs.messages.size()), 1);
            QCOMPARE(dialogs.messages[0].kind, QStringLiteral("critical"));
            QCOMPARE(dialogs.messages[0].title, QStringLiteral("Error"));
            QCOMPARE(dialogs.messages[0].text.section('\n', 0, 1), "Could not load the specified file! Unsupported format?\n" + bad);
            QCOMPARE(w.imageWidth(), 40);
            QCOMPARE(w.grayBuffer(), grey);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(w.grayBuffer()), 40 * 30), before);
            QVERIFY(!w.loadedImage().isNull());
        }
    }

    void unreadableFileWithNoImageChangesNothing() {
        ScriptedDialogs dialogs;
        MainWindow w;
        dialogs.fileAnswers.push_back(dir.filePath("does-not-exist.png"));
        action(w, "actionOpenImage")->trigger();
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(w.pixelCount(), 0);
        QVERIFY(w.grayBuffer() == nullptr);
        QVERIFY(w.loadedImage().isNull());
    }

    void cancelledOpenDoesNothing() {
        ScriptedDialogs dialogs;
        MainWindow w;
        dialogs.fileAnswers.push_back(QString());
        action(w, "actionOpenImage")->trigger();
        QVERIFY(dialogs.messages.empty());
        QCOMPARE(w.pixelCount(), 0);
    }

    void savedPngIsUprightAndNamedPng() {
        ScriptedDialogs dialogs;
        MainWindow w;
        const QImage picture = gradientImage(33, 21);
        dialogs.fileAnswers.push_back(writeImage(dir, "save-source.png", picture));
        action(w, "actionOpenImage")->trigger();

        const QString upper = dir.filePath("frame.PNG");
        const QString plain = dir.filePath("frame2");
        const QString lower = dir.filePath("frame3.png");
        dialogs.fileAnswers = {upper, plain, lower};
        for (int i = 0; i < 3; ++i) action(w, "actionSaveImage")->trigger();
        QCOMPARE(dialogs.asked.last(), QStringLiteral("Choose a filename to save the Image under"));
        QVERIFY(QFile::exists(upper));  // a suffix typed in capitals is kept
        QVERIFY(!QFile::exists(upper + ".png"));
        QVERIFY(QFile::exists(plain + ".png"));
        QVERIFY(QFile::exists(lower));
        QVERIFY(!QFile::exists(lower + ".png"));

        const QImage saved(lower);
        QCOMPARE(saved.size(), QSize(33, 21));
        // Its top row is the last buffer row, i.e. the picture's top row.
        for (int x = 0; x < 33; ++x) {
            const int g = w.grayBuffer()[20 * 33 + x];
            QCOMPARE(saved.pixel(x, 0), qRgb(g, g, g));
            const QRgb p = picture.pixel(x, 0);
            QCOMPARE(g, int(0.2999 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p)));
        }
        QVERIFY(dialogs.messages.empty());
    }

    // Through the real save dialog: typing a name without suffix over an
    // existing PNG must bring up the dialog's replace question.
    void savingOverAnExistingFileAsksFirst() {
        MainWindow w;
        QVERIFY(w.openImageFile(writeImage(dir, "ask-source.png", gradientImage(12, 12))));
        const QString existing = writeImage(dir, "test500.png", gradientImage(4, 4));
        const QByteArray before = readFile(existing);
        bool typed = false;
        bool asked = false;
        QTimer driver;
        connect(&driver, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* question = qobject_cast<QMessageBox*>(modal)) {
                asked = true;
                question->reject();  // "No": the dialog stays open
            } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                if (asked) {
                    files->reject();
                } else if (!typed) {
                    typed = true;
                    files->setDirectory(dir.path());
                    files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("test500"));
                    QMetaObject::invokeMethod(files, &QDialog::accept, Qt::QueuedConnection);
                }
            }
        });
        driver.start(50);
        action(w, "actionSaveImage")->trigger();
        QVERIFY(asked);
        QCOMPARE(readFile(existing), before);
    }

    void savingWithoutFrameWritesNothing() {
        ScriptedDialogs dialogs;
        MainWindow w;
        const QString path = dir.filePath("nothing.png");
        dialogs.fileAnswers.push_back(path);
        action(w, "actionSaveImage")->trigger();
        QVERIFY(!QFile::exists(path));
        QVERIFY(dialogs.messages.empty());
    }

    void failedSaveIsReported() {
        ScriptedDialogs dialogs;
        MainWindow w;
        dialogs.fileAnswers.push_back(writeImage(dir, "src.png", gradientImage(8, 8)));
        action(w, "actionOpenImage")->trigger();
        dialogs.fileAnswers.push_back(dir.filePath("no-such-dir/frame.png"));
        action(w, "actionSaveImage")->trigger();
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].title, QStringLiteral("Error"));
        QCOMPARE(dialogs.messages[0].text.section('\n', 0, 1), "Could not save the image file!\n" + dir.filePath("no-such-dir/frame.png"));
        // A read-only directory fails the same way, and the frame stays.
        QTemporaryDir readOnly;
        QFile::setPermissions(readOnly.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString blocked = readOnly.filePath("frame.png");
        dialogs.fileAnswers.push_back(blocked);
        action(w, "actionSaveImage")->trigger();
        if (QFile::exists(blocked)) QSKIP("running with permissions that ignore a read-only directory");
        QCOMPARE(int(dialogs.messages.size()), 2);
        QCOMPARE(dialogs.messages[1].text.section('\n', 0, 1), "Could not save the image file!\n" + blocked);
        QCOMPARE(w.pixelCount(), 64);
    }

    void reprocessWithoutFrameDoesNothing() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const int left = w.leftCanvas()->paintCount();
        const int right = w.rightCanvas()->paintCount();
        action(w, "actionReprocess")->trigger();
        QCOMPARE(w.leftCanvas()->paintCount(), left);
        QCOMPARE(w.rightCanvas()->paintCount(), right);
    }

    void displayInColorSwitchesOnlyTheRightCanvas() {
        ScriptedDialogs dialogs;
        MainWindow w;
        QAction* color = action(w, "actionDisplayInColor");
        color->setChecked(true);  // before any source: no pixels
        QVERIFY(w.rightCanvas()->pixels() == nullptr);
        color->setChecked(false);

        dialogs.fileAnswers.push_back(writeImage(dir, "colour.png", gradientImage(20, 10)));
        action(w, "actionOpenImage")->trigger();
        color->setChecked(true);
        QCOMPARE(w.rightCanvas()->pixels(), w.colorBuffer());
        QCOMPARE(int(w.rightCanvas()->pixelFormat()), GL_RGB);
        QCOMPARE(w.rightCanvas()->imageWidth(), 20);
        QCOMPARE(w.leftCanvas()->pixels(), w.grayBuffer());
        color->setChecked(false);
        QCOMPARE(w.rightCanvas()->pixels(), w.processedBuffer());
        QCOMPARE(int(w.rightCanvas()->pixelFormat()), GL_LUMINANCE);
    }

    void propertiesNotAvailable() {
        ScriptedDialogs dialogs;
        MainWindow w;
        combo(w)->setCurrentIndex(0);  // the KLT tracker has no panel
        QVERIFY(w.currentProcessor()->propertiesWidget(&w) == nullptr);
        action(w, "actionOpenProcessorProperties")->trigger();
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].kind, QStringLiteral("warning"));
        QCOMPARE(dialogs.messages[0].title, QStringLiteral("Not Available"));
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("The current processor does not have a Properties Widget."));
    }

    void propertiesPanelOpensBesideTheWindowOnScreen_data() {
        QTest::addColumn<int>("processor");
        QTest::addColumn<bool>("windowAtRightEdge");
        QTest::newRow("FAST, room on the right") << 1 << false;
        QTest::newRow("FAST, window at the right edge") << 1 << true;
        QTest::newRow("ruins, window at the right edge") << 2 << true;
    }

    void propertiesPanelOpensBesideTheWindowOnScreen() {
        QFETCH(int, processor);
        QFETCH(bool, windowAtRightEdge);
        ScriptedDialogs dialogs;
        MainWindow w;
        combo(w)->setCurrentIndex(processor);
        const QRect screen = w.screen()->availableGeometry();
        w.move(windowAtRightEdge ? screen.right() + 1 - w.frameGeometry().width() : screen.left(), screen.top() + 40);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QWidget* panel = w.currentProcessor()->propertiesWidget(&w);
        action(w, "actionOpenProcessorProperties")->trigger();
        QVERIFY(panel->isVisible());
        const QRect frame = panel->frameGeometry();
        QVERIFY2(screen.contains(frame), qPrintable(QStringLiteral("panel at %1,%2").arg(frame.x()).arg(frame.y())));
        QVERIFY(!frame.intersects(w.frameGeometry()));
        QCOMPARE(frame.top(), w.frameGeometry().top());
        QVERIFY(panel->width() > panel->fontMetrics().horizontalAdvance(panel->windowTitle()));
        QVERIFY(dialogs.messages.empty());
    }

    void changingProcessorSwapsOverlayAndProcessesCurrentFrame() {
        ScriptedDialogs dialogs;
        MainWindow w;
        combo(w)->setCurrentIndex(0);
        QCOMPARE(w.currentProcessor(), w.processors().at(0));
        QCOMPARE(w.rightCanvas()->overlay(), static_cast<CanvasOverlay*>(w.processors().at(0)));
        QCOMPARE(w.pixelCount(), 0);

        dialogs.fileAnswers.push_back(writeImage(dir, "switch.png", gradientImage(16, 16)));
        action(w, "actionOpenImage")->trigger();
        const int left = w.leftCanvas()->paintCount();
        combo(w)->setCurrentIndex(2);
        QCOMPARE(w.currentProcessor(), w.processors().at(2));
        QCOMPARE(w.leftCanvas()->paintCount(), left);  // only the right canvas repaints
    }

    void wideImageIsLimitedTo95PercentOfTheScreen() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const int screenWidth = QGuiApplication::primaryScreen()->geometry().width();
        const int limit = int(screenWidth * 0.95);
        dialogs.fileAnswers.push_back(writeImage(dir, "wide.png", gradientImage(screenWidth, 60)));
        action(w, "actionOpenImage")->trigger();
        QCOMPARE(w.width(), limit);
        QVERIFY(w.leftCanvas()->width() < screenWidth);
    }

    // What a user sees on screen: grey frame left, processed frame right, and an
    // overlay label on both, read back from the X display itself.
    void screenShowsFramesAndOverlayLabels() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QImage picture(320, 240, QImage::Format_RGB32);
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) picture.setPixel(x, y, qRgb(x * 255 / 320, 40 + y / 2, 200 - y / 2));
        dialogs.fileAnswers.push_back(writeImage(dir, "screen.png", picture));
        action(w, "actionOpenImage")->trigger();
        LabelOverlay overlay;
        w.rightCanvas()->setOverlay(&overlay);
        w.leftCanvas()->updateGL();
        w.rightCanvas()->updateGL();
        // Red label pixels in a canvas's top-left corner, as the display shows it.
        const auto labelPixels = [](const QImage& screen, Canvas* canvas) {
            const QPoint origin = canvas->mapToGlobal(QPoint(0, 0));
            int red = 0;
            for (int y = 5; y < 22; ++y)
                for (int x = 10; x < 60; ++x) {
                    const QRgb p = screen.pixel(origin + QPoint(x, y));
                    if (qRed(p) > 150 && qGreen(p) < 80 && qBlue(p) < 80) ++red;
                }
            return red;
        };
        // Under load the display shows the new frames some time after they are
        // drawn: read it back until both labels are there, or for five seconds.
        QImage screen;
        QElapsedTimer waited;
        waited.start();
        do {
            QTest::qWait(50);
            screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        } while ((labelPixels(screen, w.leftCanvas()) <= 20 || labelPixels(screen, w.rightCanvas()) <= 20) &&
                 waited.elapsed() < 5000);
        if (qEnvironmentVariableIsSet("CASTELLAN_SCREENSHOT")) screen.save(qEnvironmentVariable("CASTELLAN_SCREENSHOT"));
        for (Canvas* canvas : {w.leftCanvas(), w.rightCanvas()}) {
            const QPoint origin = canvas->mapToGlobal(QPoint(0, 0));
            QVERIFY2(labelPixels(screen, canvas) > 20, "label not on screen");
            // Frame pixel at buffer (160, 40), i.e. 40 rows above the bottom edge.
            const QRgb shown = screen.pixel(origin + QPoint(160, 239 - 40));
            const QRgb source = picture.pixel(160, 239 - 40);
            const int grey = int(0.2999 * qRed(source) + 0.587 * qGreen(source) + 0.114 * qBlue(source));
            QVERIFY(qAbs(qRed(shown) - grey) <= 1);
        }
        w.rightCanvas()->setOverlay(w.currentProcessor());
    }

    void keyboardShortcuts() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const std::pair<const char*, const char*> keys[] = {
            {"actionOpenImage", "Ctrl+O"}, {"actionSaveImage", "Ctrl+S"},     {"actionToggleCapture", "Space"},
            {"actionReprocess", "F5"},     {"actionDisplayInColor", "C"},     {"actionOpenProcessorProperties", "Ctrl+P"},
            {"actionToggleConnection", "Ctrl+K"}};
        for (const auto& [name, key] : keys) QCOMPARE(action(w, name)->shortcut(), QKeySequence(QString::fromLatin1(key)));
        // Shortcuts reach only the active window.
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));

        QTest::keyClick(&w, Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(combo(w)->currentIndex(), 0);
        QTest::keyClick(&w, Qt::Key_3, Qt::ControlModifier);
        QCOMPARE(w.currentProcessor(), w.processors().at(2));
        QTest::keyClick(&w, Qt::Key_2, Qt::ControlModifier);
        QCOMPARE(combo(w)->currentIndex(), 1);

        QTest::keyClick(&w, Qt::Key_F1);
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].kind, QStringLiteral("about"));
        const QString text = dialogs.messages[0].text;
        QVERIFY(text.contains(QStringLiteral(CASTELLAN_VERSION)));
        QVERIFY(text.contains(QString::fromLatin1(qVersion())));
        QVERIFY(text.contains(QStringLiteral("V4L2")));
        QVERIFY2(text.contains(QStringLiteral("Mesa")) || text.contains(QStringLiteral("llvmpipe")), qPrintable(text));
    }

    void keysInPanelsGoToTheirControls_data() {
        QTest::addColumn<int>("processor");
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("key");
        QTest::newRow("FAST Canny, Space") << 1 << "enableCannyCheckBox" << int(Qt::Key_Space);
        QTest::newRow("FAST threshold, C") << 1 << "thresholdSpinBox" << int(Qt::Key_C);
        QTest::newRow("ruins Kalman, Space") << 2 << "checkUseCalman" << int(Qt::Key_Space);
        QTest::newRow("ruins radio, Space") << 2 << "radioFAST" << int(Qt::Key_Space);
        QTest::newRow("ruins refresh, Space") << 2 << "btnRefresh" << int(Qt::Key_Space);
        QTest::newRow("ruins refresh, C") << 2 << "btnRefresh" << int(Qt::Key_C);
    }

    void keysInPanelsGoToTheirControls() {
        QFETCH(int, processor);
        QFETCH(QString, control);
        QFETCH(int, key);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        action(w, "actionToggleCapture")->setEnabled(true);  // as when connected
        combo(w)->setCurrentIndex(processor);
        action(w, "actionOpenProcessorProperties")->trigger();
        QWidget* panel = w.currentProcessor()->propertiesWidget(&w);
        auto* target = panel->findChild<QWidget*>(control);
        QVERIFY(target);
        panel->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel));
        target->setFocus();
        QSignalSpy capture(action(w, "actionToggleCapture"), &QAction::triggered);
        QSignalSpy colour(action(w, "actionDisplayInColor"), &QAction::triggered);
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(capture.count(), 0);
        QCOMPARE(colour.count(), 0);
        // The window's own keys still work once it is active again.
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_C);
        QCOMPARE(colour.count(), 1);
    }

    void smallImageGetsOnePixelPerPixel() {
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        dialogs.fileAnswers.push_back(writeImage(dir, "fit.png", gradientImage(320, 240)));
        action(w, "actionOpenImage")->trigger();
        QTRY_COMPARE(w.leftCanvas()->size(), QSize(320, 240));
        // The layout may split an odd pixel between the canvases.
        QVERIFY(qAbs(w.rightCanvas()->width() - 320) <= 1);
        QCOMPARE(w.rightCanvas()->height(), 240);
    }
};

CASTELLAN_QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

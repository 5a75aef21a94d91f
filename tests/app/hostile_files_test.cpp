// Hostile files through "Open an image file": each one made by
// scripts/make-hostile-files.sh must give the "Error" box and leave the frame on
// show, its buffers and the processor's state exactly as they were.
#include "app/main_window.h"
#include "canvas/canvas.h"
#include "processors/fast_tracker_processor.h"
#include "../support/qtest_main.h"
#include "../support/scripted_dialogs.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

// Blocks of alternating brightness: plenty of corners for the FAST tracker.
QImage blockPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = ((x / 8 + y / 8) % 2) ? 220 : 25;
            image.setPixel(x, y, qRgb(v, (v + x) & 255, (v + 2 * y) & 255));
        }
    return image;
}

QByteArray bytesOf(const unsigned char* data, int count) {
    return data ? QByteArray(reinterpret_cast<const char*>(data), count) : QByteArray();
}

// Everything a refused file must leave as it was.
struct FrameState {
    int width = 0;
    int height = 0;
    const unsigned char* grayAddress = nullptr;
    QByteArray color, gray, processed;
    qint64 imageKey = 0;
    Processor* processor = nullptr;
    int processorWidth = 0;
    int processorHeight = 0;
    std::vector<std::pair<int, int>> corners;
    const unsigned char* leftPixels = nullptr;
    const unsigned char* rightPixels = nullptr;

    static FrameState of(MainWindow& w, FASTTrackerProcessor& fast) {
        FrameState s;
        s.width = w.imageWidth();
        s.height = w.imageHeight();
        s.grayAddress = w.grayBuffer();
        s.color = bytesOf(w.colorBuffer(), 3 * w.pixelCount());
        s.gray = bytesOf(w.grayBuffer(), w.pixelCount());
        s.processed = bytesOf(w.processedBuffer(), w.pixelCount());
        s.imageKey = w.loadedImage().cacheKey();
        s.processor = w.currentProcessor();
        s.processorWidth = fast.imageWidth();
        s.processorHeight = fast.imageHeight();
        for (int i = 0; i < fast.detector().cornerCount(); ++i)
            s.corners.emplace_back(fast.detector().corners()[i].x, fast.detector().corners()[i].y);
        s.leftPixels = w.leftCanvas()->pixels();
        s.rightPixels = w.rightCanvas()->pixels();
        return s;
    }
};

}  // namespace

class HostileFilesTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString hostile;

    static FASTTrackerProcessor* fastTracker(MainWindow& w) {
        for (Processor* p : w.processors())
            if (auto* fast = dynamic_cast<FASTTrackerProcessor*>(p)) return fast;
        return nullptr;
    }

    static void expectErrorBox(const ScriptedDialogs& dialogs) {
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].kind, QStringLiteral("critical"));
        QCOMPARE(dialogs.messages[0].title, QStringLiteral("Error"));
        QCOMPARE(dialogs.messages[0].text.section('\n', 0, 0), QStringLiteral("Could not load the specified file! Unsupported format?"));
    }

    // Root reads a file without read permission too: then there is nothing to refuse.
    static bool readableDespitePermissions(const QString& path) {
        return QFileInfo(path).fileName() == QStringLiteral("unreadable.png") && access(qPrintable(path), R_OK) == 0;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        hostile = dir.filePath(QStringLiteral("hostile"));
        QProcess make;
        make.start(QStringLiteral("bash"),
                   {QStringLiteral(CASTELLAN_SOURCE_DIR "/scripts/make-hostile-files.sh"), hostile});
        QVERIFY(make.waitForFinished(30000));
        QVERIFY2(make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0,
                 make.readAllStandardError().constData());
    }

    void refusedKeepingFrameAndProcessor_data() {
        QTest::addColumn<QString>("name");
        for (const char* name : {"huge.png", "truncated.jpg", "zero-frames.gif", "empty.png", "directory.png",
                                 "unreadable.png", "text.jpg", "truncated.bmp", "truncated.ppm", "short.pgm",
                                 "device.png"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void refusedKeepingFrameAndProcessor() {
        QFETCH(QString, name);
        const QString path = hostile + QLatin1Char('/') + name;
        QVERIFY(QFileInfo::exists(path));
        if (readableDespitePermissions(path))
            QSKIP("running with privileges that read a file without read permission; nothing to refuse");

        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        FASTTrackerProcessor* fast = fastTracker(w);
        QVERIFY(fast);
        QCOMPARE(w.currentProcessor(), static_cast<Processor*>(fast));
        const QString good = dir.filePath(QStringLiteral("blocks.png"));
        QVERIFY(blockPicture(64, 48).save(good));
        QVERIFY(w.openImageFile(good));
        QVERIFY(fast->detector().cornerCount() > 0);
        const FrameState before = FrameState::of(w, *fast);

        dialogs.fileAnswers.push_back(path);
        w.findChild<QAction*>("actionOpenImage")->trigger();

        expectErrorBox(dialogs);
        if (QTest::currentTestFailed()) return;
        const FrameState after = FrameState::of(w, *fast);
        QCOMPARE(after.width, 64);
        QCOMPARE(after.height, 48);
        QCOMPARE(after.grayAddress, before.grayAddress);
        QVERIFY(after.color == before.color);
        QVERIFY(after.gray == before.gray);
        QVERIFY(after.processed == before.processed);
        QCOMPARE(after.imageKey, before.imageKey);
        QCOMPARE(after.processor, before.processor);
        QCOMPARE(after.processorWidth, before.processorWidth);
        QCOMPARE(after.processorHeight, before.processorHeight);
        QVERIFY(after.corners == before.corners);
        QCOMPARE(after.leftPixels, before.leftPixels);
        QCOMPARE(after.rightPixels, before.rightPixels);
    }

    // Before any frame: the box, and still no frame.
    void refusedWithoutAFrame_data() { refusedKeepingFrameAndProcessor_data(); }
    void refusedWithoutAFrame() {
        QFETCH(QString, name);
        const QString path = hostile + QLatin1Char('/') + name;
        if (readableDespitePermissions(path))
            QSKIP("running with privileges that read a file without read permission; nothing to refuse");
        ScriptedDialogs dialogs;
        MainWindow w;
        dialogs.fileAnswers.push_back(path);
        w.findChild<QAction*>("actionOpenImage")->trigger();
        expectErrorBox(dialogs);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(w.pixelCount(), 0);
        QVERIFY(w.grayBuffer() == nullptr);
        QVERIFY(w.loadedImage().isNull());
    }

    // The good file after all the bad ones still opens: nothing was left half-done.
    void goodFileOpensAfterTheHostileOnes() {
        ScriptedDialogs dialogs;
        MainWindow w;
        for (const char* name : {"huge.png", "truncated.jpg", "zero-frames.gif", "empty.png", "directory.png",
                                 "text.jpg"})
            QVERIFY(!w.openImageFile(hostile + QLatin1Char('/') + QLatin1String(name)));
        const QString good = dir.filePath(QStringLiteral("after.png"));
        QVERIFY(blockPicture(24, 16).save(good));
        QVERIFY(w.openImageFile(good));
        QCOMPARE(w.pixelCount(), 24 * 16);
        QCOMPARE(int(dialogs.messages.size()), 6);
    }
};

#include "hostile_files_test.moc"

CASTELLAN_QTEST_MAIN(HostileFilesTest)

// Grey conversion, image loading bottom-up, and the upright grey picture.
#include "app/frame_io.h"
#include "../support/qtest_main.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class FrameIoTest : public QObject {
    Q_OBJECT

private slots:
    void greyValues_data() {
        QTest::addColumn<int>("r");
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("grey");
        QTest::newRow("red") << 255 << 0 << 0 << 76;
        QTest::newRow("green") << 0 << 255 << 0 << 149;
        QTest::newRow("blue") << 0 << 0 << 255 << 29;
        QTest::newRow("mid grey") << 128 << 128 << 128 << 128;
        QTest::newRow("white") << 255 << 255 << 255 << 255;
        QTest::newRow("darkest") << 1 << 1 << 1 << 1;
        // Truncation, not rounding: 0.2999 * 2 + 0.587 * 2 + 0.114 * 2 = 2.0018.
        QTest::newRow("truncates") << 0 << 3 << 0 << 1;
    }
    void greyValues() {
        QFETCH(int, r);
        QFETCH(int, g);
        QFETCH(int, b);
        QFETCH(int, grey);
        QCOMPARE(int(greyValue(r, g, b)), grey);
        const unsigned char rgb[3] = {uchar(r), uchar(g), uchar(b)};
        unsigned char out = 0;
        convertToGrey(rgb, &out, 1);
        QCOMPARE(int(out), grey);
    }

    void greyNeverExceeds255() {
        for (int v = 0; v < 256; ++v) QVERIFY(0.2999 * v + 0.587 * v + 0.114 * v < 256.0);
    }

    void buffersAreFilledBottomRowFirst() {
        QImage image(3, 2, QImage::Format_RGB32);
        image.setPixel(0, 0, qRgb(255, 0, 0));    // top-left
        image.setPixel(1, 0, qRgb(0, 255, 0));
        image.setPixel(2, 0, qRgb(0, 0, 255));
        image.setPixel(0, 1, qRgb(10, 20, 30));   // bottom-left
        image.setPixel(1, 1, qRgb(1, 1, 1));
        image.setPixel(2, 1, qRgb(255, 255, 255));
        unsigned char color[18];
        unsigned char grey[6];
        fillFrameBuffers(image, color, grey);
        QCOMPARE(int(color[0]), 10);
        QCOMPARE(int(color[1]), 20);
        QCOMPARE(int(color[2]), 30);
        QCOMPARE(int(grey[2]), 255);  // bottom-right
        QCOMPARE(int(grey[3]), 76);   // top-left
        QCOMPARE(int(grey[4]), 149);
        QCOMPARE(int(grey[5]), 29);
        QCOMPARE(int(color[15]), 0);
        QCOMPARE(int(color[17]), 255);
    }

    void transparentPixelsKeepTheirColour() {
        QImage image(1, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(200, 100, 50, 0));
        unsigned char color[3];
        unsigned char grey[1];
        fillFrameBuffers(image, color, grey);
        QCOMPARE(int(color[0]), 200);
        QCOMPARE(int(grey[0]), int(greyValue(200, 100, 50)));
    }

    void greyPictureIsUpright() {
        const unsigned char grey[6] = {1, 2, 3, 4, 5, 6};  // row 0 = bottom
        const QImage image = greyFrameToImage(grey, 3, 2);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(image.pixel(0, 0), qRgb(4, 4, 4));
        QCOMPARE(image.pixel(2, 1), qRgb(3, 3, 3));
    }

    void badFilesGiveNullImagesWithAReason() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString empty = dir.filePath("empty.png");
        QFile(empty).open(QIODevice::WriteOnly);
        const QString text = dir.filePath("text.jpg");
        {
            QFile f(text);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("this is not a picture");
        }
        const QString truncated = dir.filePath("truncated.png");
        {
            QImage image(64, 64, QImage::Format_RGB32);
            image.fill(qRgb(9, 9, 9));
            QVERIFY(image.save(truncated, "PNG"));
            QFile f(truncated);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.resize(f.size() / 2));
        }
        const QString truncatedJpeg = dir.filePath("truncated.jpg");
        {
            QImage image(64, 64, QImage::Format_RGB32);
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x) image.setPixel(x, y, qRgb(x * 4, y * 4, (x ^ y) * 4));
            QVERIFY(image.save(truncatedJpeg, "JPEG"));
            QVERIFY(!readImageFile(truncatedJpeg).isNull());  // whole, it loads
            QFile f(truncatedJpeg);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.resize(f.size() * 2 / 3));
        }
        const QString gif = dir.filePath("whole.gif");
        {
            // A 1 x 1 GIF, whole: it must still load.
            const unsigned char bytes[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0,
                                           255, 255, 255, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44,
                                           0x01, 0, 0x3B};
            QFile f(gif);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
        }
        QVERIFY(!readImageFile(gif).isNull());
        const QString zeroFrameGif = dir.filePath("zero-frames.gif");
        {
            const unsigned char bytes[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B};
            QFile f(zeroFrameGif);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
        }
        for (const QString& path : {empty, text, truncated, truncatedJpeg, zeroFrameGif, dir.path(),
                                    dir.filePath("missing.png")}) {
            QString reason;
            QVERIFY2(readImageFile(path, &reason).isNull(), qPrintable(path));
            QVERIFY2(!reason.isEmpty(), qPrintable(path));
        }
    }

    void hugeDeclaredSizeIsRefusedNotAllocated() {
        // A PNG header declaring 100000 x 100000 pixels: the reader must refuse it.
        QTemporaryDir dir;
        const QString path = dir.filePath("huge.png");
        QImage small(1, 1, QImage::Format_RGB32);
        small.fill(0);
        QVERIFY(small.save(path, "PNG"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray bytes = f.readAll();
        // IHDR width and height are the big-endian words at offsets 16 and 20.
        const char huge[4] = {0x00, 0x01, char(0x86), char(0xA0)};
        bytes.replace(16, 4, QByteArray(huge, 4));
        bytes.replace(20, 4, QByteArray(huge, 4));
        f.seek(0);
        f.write(bytes);
        f.close();
        QVERIFY(readImageFile(path).isNull());
    }
};

CASTELLAN_QTEST_MAIN(FrameIoTest)
#include "frame_io_test.moc"

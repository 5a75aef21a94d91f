// What a canvas puts on screen: the frame unchanged and bottom-up, the overlay
// after it, labels where drawText says, and a synchronous repaint.
#include "canvas/canvas.h"
#include "processors/processor.h"
#include "processors/proxy_processor.h"
#include "../support/qtest_main.h"

#include <functional>
#include <vector>

namespace {

// An overlay that records which canvases it was drawn on and runs a drawing step.
class RecordingOverlay : public Processor {
public:
    void setImageSize(int, int) override {}
    int process(const unsigned char*, unsigned char*) override { return 0; }
    QWidget* propertiesWidget(QWidget*) override { return nullptr; }
    void installActions(QWidget*) override {}
    void drawOverlay(Canvas* canvas) override {
        drawnOn.push_back(canvas);
        if (draw) draw(canvas);
    }
    std::vector<Canvas*> drawnOn;
    std::function<void(Canvas*)> draw;
};

bool isRed(QRgb p) { return qRed(p) > 150 && qGreen(p) < 80 && qBlue(p) < 80; }

// A green square over frame pixels 10 .. 20 across and 5 .. 15 up.
void drawGreenSquare() {
    glColor3f(0.0f, 1.0f, 0.0f);
    glBegin(GL_QUADS);
    glVertex2i(10, 5);
    glVertex2i(20, 5);
    glVertex2i(20, 15);
    glVertex2i(10, 15);
    glEnd();
}

}  // namespace

class CanvasTest : public QObject {
    Q_OBJECT

private:
    static void showAtFrameSize(Canvas& canvas, int width, int height) {
        canvas.setFixedSize(width, height);
        canvas.show();
        QVERIFY(QTest::qWaitForWindowExposed(&canvas));
    }

private slots:
    void freshCanvas() {
        Canvas canvas;
        QCOMPARE(canvas.canvasId(), 0);
        QCOMPARE(canvas.imageWidth(), 320);
        QCOMPARE(canvas.imageHeight(), 240);
        QVERIFY(canvas.pixels() == nullptr);
        QVERIFY(canvas.overlay() == nullptr);
    }

    void emptyCanvasIsBlack() {
        Canvas canvas;
        showAtFrameSize(canvas, 320, 240);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        for (int y = 0; y < shot.height(); y += 17)
            for (int x = 0; x < shot.width(); x += 13) QCOMPARE(shot.pixel(x, y) & 0xFFFFFF, 0u);
    }

    void oddWidthLuminanceHasNoSkewAndRowZeroIsAtTheBottom() {
        const int w = 321, h = 40;
        std::vector<unsigned char> frame(size_t(w) * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) frame[size_t(y) * w + x] = uchar((x * 3 + y * 11) & 255);
        Canvas canvas;
        canvas.setImage(w, h, GL_LUMINANCE, frame.data());
        showAtFrameSize(canvas, w, h);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        QCOMPARE(shot.size(), QSize(w, h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; x += 7) {
                const int expected = frame[size_t(h - 1 - y) * w + x];
                QCOMPARE(qRed(shot.pixel(x, y)), expected);
            }
    }

    void rgbFrameKeepsChannelOrder() {
        const unsigned char frame[2 * 2 * 3] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
        Canvas canvas;
        canvas.setImage(2, 2, GL_RGB, frame);
        showAtFrameSize(canvas, 2, 2);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        QCOMPARE(shot.pixel(0, 1) & 0xFFFFFF, qRgb(255, 0, 0) & 0xFFFFFF);  // buffer row 0, bottom
        QCOMPARE(shot.pixel(1, 0) & 0xFFFFFF, qRgb(10, 20, 30) & 0xFFFFFF);
    }

    void repaintIsSynchronousAndCallsTheOverlayOnce() {
        RecordingOverlay overlay;
        Canvas canvas;
        canvas.setOverlay(&overlay);
        showAtFrameSize(canvas, 320, 240);
        overlay.drawnOn.clear();
        const int before = canvas.paintCount();
        canvas.updateGL();
        QCOMPARE(canvas.paintCount(), before + 1);
        QCOMPARE(int(overlay.drawnOn.size()), 1);
        QCOMPARE(overlay.drawnOn[0], &canvas);
        // The compositing pass Qt schedules afterwards does not draw the overlay again.
        QTest::qWait(50);
        QCOMPARE(int(overlay.drawnOn.size()), 1);
    }

    void overlayCoordinatesAreFramePixels() {
        RecordingOverlay overlay;
        overlay.draw = [](Canvas*) { drawGreenSquare(); };
        Canvas canvas;
        canvas.setOverlay(&overlay);
        showAtFrameSize(canvas, 320, 240);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        QVERIFY(qGreen(shot.pixel(15, 239 - 10)) > 200);  // inside, y counted from the bottom
        QCOMPARE(qGreen(shot.pixel(15, 239 - 30)), 0);
        QCOMPARE(qGreen(shot.pixel(30, 239 - 10)), 0);
    }

    void drawTextPutsARedLabelBelowTheTopEdge() {
        RecordingOverlay overlay;
        overlay.draw = [](Canvas* c) { c->drawText(10, 20, QStringLiteral("7")); };
        Canvas canvas;
        canvas.setOverlay(&overlay);
        showAtFrameSize(canvas, 320, 240);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        // The label's baseline sits 20 pixels below the top edge, starting at x = 10.
        int redCount = 0, minX = 1000, maxY = -1, minY = 1000;
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 60; ++x)
                if (isRed(shot.pixel(x, y))) {
                    ++redCount;
                    minX = std::min(minX, x);
                    minY = std::min(minY, y);
                    maxY = std::max(maxY, y);
                }
        QVERIFY(redCount > 10);
        QVERIFY(minX >= 10 && minX <= 13);
        QVERIFY(maxY <= 20 && maxY >= 17);
        QVERIFY(minY >= 5);
        // Nothing red elsewhere.
        for (int y = 60; y < 240; y += 3)
            for (int x = 60; x < 320; x += 3) QVERIFY(!isRed(shot.pixel(x, y)));
    }

    void proxyForwardsToTheTargetsCurrentOverlayWithItsOwnCanvas() {
        RecordingOverlay first, second;
        Canvas left, right;
        left.setCanvasId(0);
        right.setCanvasId(1);
        ProxyProcessor proxy(&right);
        left.setOverlay(&proxy);
        right.setOverlay(&first);
        proxy.drawOverlay(&left);
        QCOMPARE(int(first.drawnOn.size()), 1);
        QCOMPARE(first.drawnOn[0], &left);
        right.setOverlay(&second);  // follows a processor change without being told
        proxy.drawOverlay(&left);
        QCOMPARE(int(first.drawnOn.size()), 1);
        QCOMPARE(int(second.drawnOn.size()), 1);
        QCOMPARE(second.drawnOn[0]->canvasId(), 0);
        right.setOverlay(nullptr);
        proxy.drawOverlay(&left);  // a target without overlay is harmless
        QVERIFY(proxy.propertiesWidget(nullptr) == nullptr);
    }

    // Also run with QT_SCALE_FACTOR=2 (see CMakeLists.txt): the frame covers the
    // whole canvas in device pixels, and overlay, text and clicks land on the
    // same frame pixels as at ratio 1.
    void frameOverlayAndTextShareOneSpaceAtAnyRatio() {
        const qreal expectedRatio = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                        ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble() : 1.0;
        std::vector<unsigned char> white(160 * 120, 255);
        RecordingOverlay overlay;
        overlay.draw = [](Canvas* c) {
            drawGreenSquare();
            c->drawText(100, 40, QStringLiteral("8"));
        };
        Canvas canvas;
        canvas.setImage(160, 120, GL_LUMINANCE, white.data());
        canvas.setOverlay(&overlay);
        showAtFrameSize(canvas, 160, 120);
        QCOMPARE(canvas.devicePixelRatio(), expectedRatio);
        canvas.updateGL();
        const QImage shot = canvas.grabFramebuffer();
        const int r = int(expectedRatio);
        QCOMPARE(shot.size(), QSize(160 * r, 120 * r));
        int black = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) black += (shot.pixel(x, y) & 0xFFFFFF) == 0 ? 1 : 0;
        QCOMPARE(black, 0);
        QVERIFY(qRed(shot.pixel(15 * r, (120 - 10) * r)) < 50);  // the green quad, frame pixel (15, 10)
        QVERIFY(qRed(shot.pixel(30 * r, (120 - 10) * r)) > 200);
        int red = 0;
        for (int y = 20 * r; y < 42 * r; ++y)
            for (int x = 98 * r; x < 112 * r; ++x) red += isRed(shot.pixel(x, y)) ? 1 : 0;
        QVERIFY(red > 10);
        QCOMPARE(canvas.framePosition(QPointF(80.4, 60.2)), QPoint(80, 60));
    }

    void mouseEventsBecomeSignals() {
        Canvas canvas;
        showAtFrameSize(canvas, 100, 100);
        QPoint pressed, released;
        connect(&canvas, &Canvas::mousePressed, this, [&](QMouseEvent* e) { pressed = e->position().toPoint(); });
        connect(&canvas, &Canvas::mouseReleased, this, [&](QMouseEvent* e) { released = e->position().toPoint(); });
        QTest::mouseClick(&canvas, Qt::LeftButton, {}, QPoint(12, 34));
        QCOMPARE(pressed, QPoint(12, 34));
        QCOMPARE(released, QPoint(12, 34));
    }
};

CASTELLAN_QTEST_MAIN(CanvasTest)
#include "canvas_test.moc"

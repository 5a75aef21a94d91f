#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPoint>
#include <QPointer>

#include <array>

class Canvas;
class QMouseEvent;

// Collects mouse presses on one canvas while started: every press appends its
// position, a right-button press takes back the last one. Positions are the
// canvas's widget coordinates (x from the left edge, y down from the top edge).
//
// States: 0 idle (nothing held), 1 grabbing (listening to the canvas),
// 2 holding points (stopped with at least one point).
// GUI thread only. The canvas is borrowed and may die first.
class CanvasPointGrabber : public QObject {
    Q_OBJECT

public:
    static constexpr int kCapacity = 200;
    static constexpr int kDefaultLimit = 78;

    enum State { Idle = 0, Grabbing = 1, Holding = 2 };

    explicit CanvasPointGrabber(Canvas* canvas);
    ~CanvasPointGrabber() override;

    CanvasPointGrabber(const CanvasPointGrabber&) = delete;
    CanvasPointGrabber& operator=(const CanvasPointGrabber&) = delete;

    // Forgets the points and listens to the canvas's presses (state 1).
    void start();
    // Only while grabbing: stops listening; state 2 with points, 0 without.
    void stop();
    // Forgets the points and stops listening (state 0).
    void clear();

    // Labels point i with "i" at its position; call from inside a drawOverlay of
    // that canvas.
    void drawLabels(Canvas* canvas) const;

    // Presses taken before grabbing ends by itself (1 .. kCapacity; default
    // kDefaultLimit, twice the ruins' points).
    void setLimit(int limit);
    int limit() const { return limit_; }

    int pointCount() const { return pointCount_; }
    const QPoint* points() const { return points_.data(); }
    int state() const { return state_; }

public slots:
    void mousePressed(QMouseEvent* event);

private:
    void disconnectFromCanvas();

    QPointer<Canvas> canvas_;
    int pointCount_ = 0;
    int limit_ = kDefaultLimit;
    std::array<QPoint, kCapacity> points_{};
    int state_ = Idle;
    QMetaObject::Connection pressConnection_;
};

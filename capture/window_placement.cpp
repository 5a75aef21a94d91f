#include "capture/window_placement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

QRect availableArea(const QWidget& window) {
    const QScreen* screen = window.screen();
    return screen ? screen->availableGeometry() : QRect();
}

// `frame` moved the least into `area`; its top-left corner wins when it is larger.
QPoint inside(const QRect& frame, const QRect& area) {
    const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    return {x, y};
}

}  // namespace

void placeBesideWindow(QWidget& widget, const QWidget& window) {
    const QRect area = availableArea(window);
    const QRect beside = window.frameGeometry();
    QRect frame(QPoint(beside.right() + 1, beside.top()), widget.frameGeometry().size());
    if (!area.isEmpty() && frame.right() > area.right())
        frame.moveRight(beside.left() - 1);
    // A top-level widget's position is its frame's, title bar included.
    widget.move(area.isEmpty() ? frame.topLeft() : inside(frame, area));
}

void keepOnScreen(QWidget& window) {
    const QRect area = availableArea(window);
    if (!area.isEmpty()) window.move(inside(window.frameGeometry(), area));
}

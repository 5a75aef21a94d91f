#pragma once

class QWidget;

// Moves the top-level `widget` beside `window` on the screen that shows the
// window: to its right, top edges aligned, or to its left where the screen ends
// on the right, and always wholly on that screen (over the window when neither
// side has room). Call once the widget has its size.
void placeBesideWindow(QWidget& widget, const QWidget& window);

// Moves the top-level `window` the least that puts it wholly on its screen
// (its top-left corner when it is larger than the screen).
void keepOnScreen(QWidget& window);

#pragma once

#include <QObject>

// The processors' panels are tool windows, and a tool window keeps its parent
// window's shortcuts live: Space on a check box would pause capture instead of
// ticking it. While a control in a tool window has focus, keys that type
// something (Space, letters, digits) go to the control; Ctrl shortcuts and
// function keys (F5 after changing a setting) still reach the window.
// Installed once on the application. GUI thread only.
class PanelKeyGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

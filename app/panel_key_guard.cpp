#include "app/panel_key_guard.h"

#include <QKeyEvent>
#include <QWidget>

namespace {

bool insideToolWindow(QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    return widget && widget->window()->windowType() == Qt::Tool;
}

bool typesText(const QKeyEvent& key) {
    const Qt::KeyboardModifiers commandKeys = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    return !key.text().isEmpty() && key.text().at(0).isPrint() && !(key.modifiers() & commandKeys);
}

}  // namespace

bool PanelKeyGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && insideToolWindow(watched) &&
        typesText(*static_cast<QKeyEvent*>(event))) {
        event->accept();  // the focused control takes the key; no shortcut fires
        return true;
    }
    return false;
}

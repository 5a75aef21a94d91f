#include "app/user_dialogs.h"

#include <QCursor>
#include <QFileDialog>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>

namespace {
UserDialogs defaultDialogs;
UserDialogs* currentDialogs = &defaultDialogs;
}  // namespace

QString UserDialogs::openFileName(QWidget* parent, const QString& caption, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

QString UserDialogs::saveFileName(QWidget* parent, const QString& caption, const QString& filter,
                                  const QString& defaultSuffix) {
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultSuffix);
    // Desktop-native dialogs may check for an existing file before the suffix
    // is added; Qt's own dialog checks the completed name.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted) return QString();
    return dialog.selectedFiles().value(0);
}

int UserDialogs::chooseItem(QWidget* parent, const QString& title, const QString& label,
                            const QStringList& items) {
    bool ok = false;
    const QString chosen = QInputDialog::getItem(parent, title, label, items, 0, false, &ok);
    return ok ? int(items.indexOf(chosen)) : -1;
}

int UserDialogs::popupMenu(QWidget* parent, const QStringList& entries) {
    QMenu menu(parent);
    for (int i = 0; i < entries.size(); ++i) menu.addAction(entries[i])->setData(i);
    QAction* chosen = menu.exec(QCursor::pos());
    return chosen ? chosen->data().toInt() : -1;
}

void UserDialogs::critical(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text);
}

void UserDialogs::warning(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::warning(parent, title, text);
}

void UserDialogs::about(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::about(parent, title, text);
}

UserDialogs& UserDialogs::current() { return *currentDialogs; }

void UserDialogs::setCurrent(UserDialogs* dialogs) { currentDialogs = dialogs ? dialogs : &defaultDialogs; }

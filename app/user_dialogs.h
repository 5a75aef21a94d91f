#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The one seam through which the main window asks the user something or tells
// them something: file dialogs, item choice, pop-up menus and message boxes.
// The default answers with real modal dialogs; tests install their own answers.
// GUI thread only.
class UserDialogs {
public:
    virtual ~UserDialogs() = default;

    // An empty string means the user cancelled.
    virtual QString openFileName(QWidget* parent, const QString& caption, const QString& filter);
    // The dialog adds `defaultSuffix` to a name typed without one before it asks
    // whether to replace an existing file, so it asks about the name written.
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& filter,
                                 const QString& defaultSuffix);
    // Index into `items` of the chosen entry, or -1 when cancelled.
    virtual int chooseItem(QWidget* parent, const QString& title, const QString& label,
                           const QStringList& items);
    // Index of the chosen menu entry at the mouse cursor, or -1 when dismissed.
    virtual int popupMenu(QWidget* parent, const QStringList& entries);
    virtual void critical(QWidget* parent, const QString& title, const QString& text);
    virtual void warning(QWidget* parent, const QString& title, const QString& text);
    virtual void about(QWidget* parent, const QString& title, const QString& text);

    // The dialogs in use; never null. setCurrent(nullptr) restores the default.
    static UserDialogs& current();
    static void setCurrent(UserDialogs* dialogs);
};

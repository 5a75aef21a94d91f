#pragma once

#include "app/user_dialogs.h"

#include <QStringList>

#include <deque>

// Answers the main window's questions from a script and records what it was told.
class ScriptedDialogs : public UserDialogs {
public:
    struct Message {
        QString kind;  // "critical" or "warning"
        QString title;
        QString text;
    };

    ScriptedDialogs() { UserDialogs::setCurrent(this); }
    ~ScriptedDialogs() override { UserDialogs::setCurrent(nullptr); }

    QString openFileName(QWidget*, const QString& caption, const QString&) override {
        asked << caption;
        return next(fileAnswers);
    }
    QString saveFileName(QWidget*, const QString& caption, const QString&, const QString&) override {
        asked << caption;
        return next(fileAnswers);
    }
    int chooseItem(QWidget*, const QString& title, const QString&, const QStringList& items) override {
        asked << title;
        lastItems = items;
        return nextIndex(choiceAnswers);
    }
    int popupMenu(QWidget*, const QStringList& entries) override {
        asked << QStringLiteral("menu");
        lastItems = entries;
        return nextIndex(choiceAnswers);
    }
    void critical(QWidget*, const QString& title, const QString& text) override {
        messages.push_back({QStringLiteral("critical"), title, text});
    }
    void warning(QWidget*, const QString& title, const QString& text) override {
        messages.push_back({QStringLiteral("warning"), title, text});
    }
    void about(QWidget*, const QString& title, const QString& text) override {
        messages.push_back({QStringLiteral("about"), title, text});
    }

    std::deque<QString> fileAnswers;  // empty string = cancel
    std::deque<int> choiceAnswers;    // -1 = cancel
    QStringList asked;
    QStringList lastItems;
    std::vector<Message> messages;

private:
    static QString next(std::deque<QString>& answers) {
        if (answers.empty()) return QString();
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
    static int nextIndex(std::deque<int>& answers) {
        if (answers.empty()) return -1;
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

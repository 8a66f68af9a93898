// Answers the control program's question and error boxes in tests: the box that opens next
// is read and closed with the given button, as a user would.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <memory>

class BoxAnswerer {
public:
    // Arms the answer; call before the action that opens the box.
    explicit BoxAnswerer(QMessageBox::StandardButton button) : m_button(button) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start();
    }

    bool answered() const { return m_answered; }
    // The text of the box that was answered ("" before that).
    const QString& text() const { return m_text; }
    const QString& title() const { return m_title; }

private:
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        m_timer.stop();
        m_text = box->text();
        m_title = box->windowTitle();
        m_answered = true;
        QAbstractButton* button = box->button(m_button);
        if (button != nullptr)
            button->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton m_button;
    QTimer m_timer;
    QString m_text;
    QString m_title;
    bool m_answered = false;
};

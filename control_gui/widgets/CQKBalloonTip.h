// The error tip of an edit: a small pop-up below the edit with the error icon, the title
// "Error !" and the text, like the balloon an edit control shows.
//
// A tip belongs to an edit (it is the edit's child, object name "balloon_tip"); one is shown
// at a time, showing another hides it. It lets mouse input through to what lies beneath
// and hides itself at any key or mouse press in the program, when the edit's text changes,
// when the edit is hidden, and after a while: it never stands in the way of the next field.
#pragma once

#include <QFrame>

class QLabel;
class QLineEdit;
class QTimer;

class CQKBalloonTip : public QFrame {
    Q_OBJECT
public:
    // Shows text at edit, creating the edit's tip on first use.
    static CQKBalloonTip* showAt(QLineEdit* edit, const QString& text);
    // The edit's tip, or nullptr if none was ever shown.
    static CQKBalloonTip* of(const QLineEdit* edit);

    QString title() const;
    QString text() const;

    // How long a tip stays when nothing else hides it.
    static constexpr int kShowMs = 10000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    explicit CQKBalloonTip(QLineEdit* edit);
    void place();

    QLineEdit* m_edit;
    QLabel* m_title;
    QLabel* m_text;
    QTimer* m_hide_timer;
};

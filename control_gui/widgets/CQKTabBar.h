// The tab bar of CQKTabCtrl. A tab the user picks (mouse, arrow keys) is not switched to:
// the pick is announced with tabPicked, and the tab control decides whether the current
// page may be left. The mouse wheel does not switch tabs.
#pragma once

#include <QTabBar>

class CQKTabBar : public QTabBar {
    Q_OBJECT
public:
    explicit CQKTabBar(QWidget* parent = nullptr);

Q_SIGNALS:
    void tabPicked(int index);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
};

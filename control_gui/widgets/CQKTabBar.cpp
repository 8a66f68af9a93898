#include "CQKTabBar.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

CQKTabBar::CQKTabBar(QWidget* parent) : QTabBar(parent) {}

void CQKTabBar::mousePressEvent(QMouseEvent* event) {
    const int index = tabAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index >= 0 && index != currentIndex()) {
        event->accept();
        Q_EMIT tabPicked(index);
        return;
    }
    QTabBar::mousePressEvent(event);
}

void CQKTabBar::keyPressEvent(QKeyEvent* event) {
    int step = 0;
    if (event->key() == Qt::Key_Left || event->key() == Qt::Key_Up)
        step = -1;
    else if (event->key() == Qt::Key_Right || event->key() == Qt::Key_Down)
        step = 1;
    if (step == 0) {
        QTabBar::keyPressEvent(event);
        return;
    }
    event->accept();
    const int index = currentIndex() + step;
    if (index >= 0 && index < count())
        Q_EMIT tabPicked(index);
}

void CQKTabBar::wheelEvent(QWheelEvent* event) {
    event->ignore();
}

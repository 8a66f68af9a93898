#include "CQKBalloonTip.h"

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QTimer>

namespace {
constexpr const char* kObjectName = "balloon_tip";
QPointer<CQKBalloonTip> g_shown;  // the one tip on screen
}  // namespace

CQKBalloonTip::CQKBalloonTip(QLineEdit* edit)
    : QFrame(edit, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowTransparentForInput),
      m_edit(edit),
      m_title(new QLabel(QStringLiteral("Error !"), this)),
      m_text(new QLabel(this)),
      m_hide_timer(new QTimer(this)) {
    setObjectName(kObjectName);
    setFrameShape(QFrame::Box);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setForegroundRole(QPalette::ToolTipText);
    setBackgroundRole(QPalette::ToolTipBase);
    setAutoFillBackground(true);

    auto* icon = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_SmallIconSize);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(size, size));
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_text->setWordWrap(true);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0);
    layout->addWidget(m_title, 0, 1);
    layout->addWidget(m_text, 1, 1);
    layout->setColumnStretch(1, 1);

    m_hide_timer->setSingleShot(true);
    connect(m_hide_timer, &QTimer::timeout, this, &QWidget::hide);
    connect(edit, &QLineEdit::textChanged, this, &QWidget::hide);
    edit->installEventFilter(this);
}

CQKBalloonTip* CQKBalloonTip::of(const QLineEdit* edit) {
    return edit->findChild<CQKBalloonTip*>(kObjectName, Qt::FindDirectChildrenOnly);
}

CQKBalloonTip* CQKBalloonTip::showAt(QLineEdit* edit, const QString& text) {
    CQKBalloonTip* tip = of(edit);
    if (tip == nullptr)
        tip = new CQKBalloonTip(edit);
    if (g_shown != nullptr && g_shown != tip)
        g_shown->hide();
    tip->m_text->setText(text);
    tip->adjustSize();
    tip->place();
    tip->show();
    tip->m_hide_timer->start(kShowMs);
    return tip;
}

QString CQKBalloonTip::title() const {
    return m_title->text();
}

QString CQKBalloonTip::text() const {
    return m_text->text();
}

void CQKBalloonTip::place() {
    move(m_edit->mapToGlobal(QPoint(m_edit->width() / 4, m_edit->height())));
}

// While shown, the tip watches the whole program: the press of a key or a mouse button
// means the user has moved on, and the press still reaches its target.
void CQKBalloonTip::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    g_shown = this;
    qApp->installEventFilter(this);
}

void CQKBalloonTip::hideEvent(QHideEvent* event) {
    qApp->removeEventFilter(this);
    if (g_shown == this)
        g_shown = nullptr;
    QFrame::hideEvent(event);
}

bool CQKBalloonTip::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (isVisible() && (type == QEvent::KeyPress || type == QEvent::MouseButtonPress)) {
        hide();
        return false;
    }
    if (watched == m_edit && isVisible()) {
        if (event->type() == QEvent::Hide)
            hide();
        else if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
            place();
    }
    return QFrame::eventFilter(watched, event);
}

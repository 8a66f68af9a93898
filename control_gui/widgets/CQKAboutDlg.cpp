#include "CQKAboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qk_frame.h"
#include "qk_gui_common.h"

namespace {

QLabel* text_line(const char* id, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(id));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

CQKAboutDlg::CQKAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("134"));
    setWindowTitle(QStringLiteral("About qk_relay_w"));
    setWindowIcon(qk_icon(QKIcon::program));
    setModal(true);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("1041"));
    icon->setPixmap(qk_icon(QKIcon::program).pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto* lines = new QVBoxLayout;
    QLabel* product = text_line("1022", QString::fromUtf8(kQKProductName), this);
    QFont bold = product->font();
    bold.setWeight(QFont::DemiBold);
    product->setFont(bold);
    lines->addWidget(product);
    lines->addWidget(text_line("1026", QStringLiteral("QK Relay Control W"), this));
    lines->addWidget(text_line("1023", QString::fromUtf8(kQKVersion), this));
    lines->addWidget(text_line("1024", QString::fromUtf8(kQKMakerName), this));
    lines->addWidget(text_line("1025", QString::fromUtf8(kQKLegalNotice), this));

    auto* body = new QHBoxLayout;
    body->addWidget(icon);
    body->addSpacing(12);
    body->addLayout(lines, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("1"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

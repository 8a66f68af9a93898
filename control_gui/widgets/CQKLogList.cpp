#include "CQKLogList.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>

namespace {

QTableWidgetItem* read_only_item(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

}  // namespace

CQKLogList::CQKLogList(QWidget* parent) : QTableWidget(0, 2, parent) {
    setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Message")});
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setHighlightSections(false);
}

void CQKLogList::addLine(const QString& time, const QString& message) {
    while (rowCount() >= kMaxLines)
        removeRow(0);
    const int row = rowCount();
    insertRow(row);
    setItem(row, 0, read_only_item(time));
    setItem(row, 1, read_only_item(message));
    scrollToItem(item(row, 0), QAbstractItemView::PositionAtBottom);
}

void CQKLogList::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    fitColumns();
}

// w = the list's client width less a vertical scroll bar, whether one shows yet or not (it
// appears as soon as the pane fills); "Time" gets w/6 - 1 pixels, "Message" 5w/6 - 1.
void CQKLogList::fitColumns() {
    const int scroll_bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const int w = width() - 2 * frameWidth() - scroll_bar;
    if (w <= 0)
        return;
    setColumnWidth(0, w / 6 - 1);
    setColumnWidth(1, 5 * w / 6 - 1);
}

// The GUI log pane of the main window: a report list with the columns "Time" and "Message",
// grid lines and full-row selection. It keeps the newest 500 lines, the newest scrolled into
// view. The column widths follow the list's width: a sixth for the time, the rest for the
// message.
//
// User-interface thread only.
#pragma once

#include <QTableWidget>

class CQKLogList : public QTableWidget {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 500;

    explicit CQKLogList(QWidget* parent = nullptr);

    // Appends a line, first removing the oldest ones so that at most kMaxLines remain.
    void addLine(const QString& time, const QString& message);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitColumns();
};

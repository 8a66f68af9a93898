// What every window of the control program shares: the title of its boxes and its icons.
// Message handlers run their work through qk_run_reporting (protocol/qk_exceptions.h), so an
// exception is logged at ERROR and the window stays usable.
#pragma once

#include <QIcon>
#include <QString>

// The title of the control program's question and error boxes.
inline const QString kQKBoxTitle = QStringLiteral("QK Relay Control W");

// The program, client, server and settings icons, from the program's resources.
enum class QKIcon { program, client, server, settings };
QIcon qk_icon(QKIcon which);

struct QKLogTag;
// A tag for the operation name, announced at DEBUG: the first line of every handler's log.
QKLogTag qk_gui_tag(const char* name);

#include "qk_gui_common.h"

#include "base/qk_log.h"

// The resources are compiled into this static library; registering them by hand keeps the
// linker from dropping them.
static void init_resources() {
    Q_INIT_RESOURCE(qk_relay_w);
}

QIcon qk_icon(QKIcon which) {
    static const bool registered = (init_resources(), true);
    (void)registered;
    switch (which) {
        case QKIcon::client:
            return QIcon(QStringLiteral(":/icons/client.svg"));
        case QKIcon::server:
            return QIcon(QStringLiteral(":/icons/server.svg"));
        case QKIcon::settings:
            return QIcon(QStringLiteral(":/icons/settings.svg"));
        case QKIcon::program:
            break;
    }
    return QIcon(QStringLiteral(":/icons/program.svg"));
}

QKLogTag qk_gui_tag(const char* name) {
    QKLogTag tag = qk_make_tag(name);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", name);
    return tag;
}

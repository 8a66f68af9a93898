// The client service application.
#include "CQKClnSAppl.h"

#include <unistd.h>

#include "CQKClnSControl.h"
#include "base/qk_log.h"

namespace {

SQKFrameSettings frame_settings() {
    SQKFrameSettings settings;
    settings.constants = {"orvane",
                          "qk_relay_clnsvc",
                          "log",
                          "keys",
                          "xml",
                          false,
                          true,
                          "cln.zx.orvane.key",
                          "cln.zx.orvane.cert",
                          "ca.zx.orvane.pem"};
    settings.min_level = LOG_LEVEL_TRACE;
    return settings;
}

}  // namespace

CQKClnSAppl::CQKClnSAppl()
    : CQKServiceAppl(frame_settings(), "CQKClnSAppl", "QKRelaySrvSErrorHandler") {}

CQKClnSAppl::~CQKClnSAppl() = default;

Poco::AutoPtr<CQKServiceControlTask> CQKClnSAppl::createControlTask() {
    QKLogTag tag = qk_make_tag("main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "use_console = %d", ::isatty(STDOUT_FILENO) ? 1 : 0);
    return new CQKClnSControl;
}

// The server service application.
#include "CQKSrvSAppl.h"

#include "CQKSrvSControl.h"
#include "base/qk_log.h"

namespace {

SQKFrameSettings frame_settings() {
    SQKFrameSettings settings;
    settings.constants = {"orvane",
                          "qk_relay_srvsvc",
                          "log",
                          "keys",
                          "xml",
                          false,
                          true,
                          "srv.zx.orvane.key",
                          "srv.zx.orvane.cert",
                          "ca.zx.orvane.pem"};
    settings.min_level = LOG_LEVEL_TRACE;
    return settings;
}

}  // namespace

CQKSrvSAppl::CQKSrvSAppl()
    : CQKServiceAppl(frame_settings(), "CQKSrvSAppl", "QKSrvSErrorHandler") {}

CQKSrvSAppl::~CQKSrvSAppl() = default;

Poco::AutoPtr<CQKServiceControlTask> CQKSrvSAppl::createControlTask() {
    return new CQKSrvSControl;
}

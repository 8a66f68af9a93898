// The server service application: the services' frame around the control task
// CQKSrvSControl, which runs the plain, TLS and control listeners as the configuration says.
#pragma once

#include "app/CQKServiceAppl.h"

class CQKSrvSAppl : public CQKServiceAppl {
public:
    CQKSrvSAppl();
    ~CQKSrvSAppl() override;

protected:
    Poco::AutoPtr<CQKServiceControlTask> createControlTask() override;
};

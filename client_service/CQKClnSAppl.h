// The client service application: the services' frame around the control task
// CQKClnSControl, which runs the control listener and the scanner as the configuration says.
#pragma once

#include "app/CQKServiceAppl.h"

class CQKClnSAppl : public CQKServiceAppl {
public:
    CQKClnSAppl();
    ~CQKClnSAppl() override;

protected:
    Poco::AutoPtr<CQKServiceControlTask> createControlTask() override;
};

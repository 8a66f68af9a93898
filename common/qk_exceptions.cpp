// Names and the Poco exception boilerplate of the protocol exceptions.
#include "qk_exceptions.h"

#include <typeinfo>

POCO_IMPLEMENT_EXCEPTION(ReceivingStatusException, Poco::Exception, "Receiving Status Exception")
POCO_IMPLEMENT_EXCEPTION(SendingDataException, Poco::Exception, "Sending Data Exception")
POCO_IMPLEMENT_EXCEPTION(FileIsReceivingAlready, Poco::Exception, "File is Receiving Already")
POCO_IMPLEMENT_EXCEPTION(SockWriteStatusException, Poco::Net::NetException,
                         "Sock Write Status Exception")
POCO_IMPLEMENT_EXCEPTION(SockReadStatusException, Poco::Net::NetException,
                         "Sock Read Status Exception")

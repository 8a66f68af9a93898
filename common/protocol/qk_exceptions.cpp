// Names and the Poco exception boilerplate of the protocol exceptions.
#include "protocol/qk_exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "base/qk_console.h"
#include "base/qk_log.h"

POCO_IMPLEMENT_EXCEPTION(ReceivingStatusException, Poco::Exception, "Receiving Status Exception")
POCO_IMPLEMENT_EXCEPTION(FileRefusedException, ReceivingStatusException, "File Refused")
POCO_IMPLEMENT_EXCEPTION(SendingDataException, Poco::Exception, "Sending Data Exception")
POCO_IMPLEMENT_EXCEPTION(FileIsReceivingAlready, Poco::Exception, "File is Receiving Already")
POCO_IMPLEMENT_EXCEPTION(SockWriteStatusException, Poco::Net::NetException,
                         "Sock Write Status Exception")
POCO_IMPLEMENT_EXCEPTION(SockReadStatusException, Poco::Net::NetException,
                         "Sock Read Status Exception")

std::string qk_class_name(const Poco::Exception& e) {
    const char* mangled = typeid(e).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = (status == 0 && readable != nullptr) ? readable : mangled;
    std::free(readable);
    return name;
}

void qk_report_exception(const QKLogTag* tag, const Poco::Exception& e) {
    const std::string name = qk_class_name(e);
    const std::string text = e.displayText();
    qk_print_error("Exception: ClassName = " + name + " Message = " + text);
    log_message(LOG_LEVEL_ERROR, tag, "Exception: ClassName = %s Message = %s", name.c_str(),
                text.c_str());
}

void qk_report_exception(const QKLogTag* tag, const std::exception& e) {
    qk_print_error(std::string("Exception: What = ") + e.what());
    log_message(LOG_LEVEL_ERROR, tag, "Exception: What = %s", e.what());
}

void qk_report_unknown_exception(const QKLogTag* tag) {
    qk_print_error("Some Exception happened...");
    log_message(LOG_LEVEL_ERROR, tag, "Some Exception happened...");
}

// Exceptions that both ends of the transfer protocol raise when the conversation fails.
// Each is thrown by value with code 0 and caught by the Poco::Exception handlers.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>

// Exported from nothing: the common library is static.
#define QK_COMMON_API

// A malformed frame or unhandled code (receiver), or an unexpected status (sender).
POCO_DECLARE_EXCEPTION(QK_COMMON_API, ReceivingStatusException, Poco::Exception)
// The receiver answered a step with status 0x7F: it refused the file (or the connection).
POCO_DECLARE_EXCEPTION(QK_COMMON_API, FileRefusedException, ReceivingStatusException)
// A send wrote fewer bytes than asked.
POCO_DECLARE_EXCEPTION(QK_COMMON_API, SendingDataException, Poco::Exception)
// A header names a path that another connection is receiving.
POCO_DECLARE_EXCEPTION(QK_COMMON_API, FileIsReceivingAlready, Poco::Exception)
// The socket did not become writable in time.
POCO_DECLARE_EXCEPTION(QK_COMMON_API, SockWriteStatusException, Poco::Net::NetException)
// The socket did not become readable in time while a status was awaited.
POCO_DECLARE_EXCEPTION(QK_COMMON_API, SockReadStatusException, Poco::Net::NetException)

#include <exception>
#include <string>

struct QKLogTag;

// The readable class name of an exception ("Poco::Net::SSLException").
std::string qk_class_name(const Poco::Exception& e);

// Reports a caught exception at the boundary of a unit of work: on the console
// "Exception: ClassName = <class> Message = <display text>" and in the log at ERROR
// "Exception: ClassName = %s Message = %s" under the given tag.
void qk_report_exception(const QKLogTag* tag, const Poco::Exception& e);
// The same for a standard exception: "Exception: What = <what>".
void qk_report_exception(const QKLogTag* tag, const std::exception& e);
// Anything else: "Some Exception happened...".
void qk_report_unknown_exception(const QKLogTag* tag);

// Runs action as a unit of work: whatever it throws is reported as above and goes no further.
// False when it threw.
template <typename Action>
bool qk_run_reporting(const QKLogTag* tag, Action&& action) {
    try {
        action();
        return true;
    } catch (const Poco::Exception& e) {
        qk_report_exception(tag, e);
    } catch (const std::exception& e) {
        qk_report_exception(tag, e);
    } catch (...) {
        qk_report_unknown_exception(tag);
    }
    return false;
}

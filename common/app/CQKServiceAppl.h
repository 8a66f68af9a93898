// The base of both services' application classes: a Poco ServerApplication that runs in the
// foreground from a console, or detached with --daemon --pidfile=FILE.
//
// main is the services' frame. --help and --version are answered first, from the program
// alone: no configuration, key, log or lock is looked at. Otherwise: signals blocked for
// every thread, the single-instance lock, constraint handlers, console echo only when
// interactive, locale, console, the base configuration (its "use common" placement when not
// interactive), the log, the single-instance lock and the configuration files; then TLS, the
// process-wide error handler, the header line and runService; at the end the log's closing
// lines. Any failure of the start-up is logged where the log has opened, echoes its text and
// makes main return 1; so does an exception of runService.
//
// The start report: a daemon has no console, so until its control task runs it echoes onto
// the standard error it was launched with (kept before the daemon detaches). The launcher's
// caller reads that stream until the daemon closes it: at the end of a start that
// succeeded, or when the daemon ends, with its reason written there. In the foreground
// (systemd included) the echo goes to the console or the journal as it is.
//
// The error handler is reached from connection threads when an exception leaves a
// connection's run (a failed control exchange): it echoes and logs the exception under
// "<class>::<handler>::exception()" and restarts nothing. Such a failure leaves nothing
// behind (every step is time-limited, the connection has left its listener's registry),
// and a restart would cut the files in flight and refuse the control program's next
// connection to whoever makes exchanges fail.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/ErrorHandler.h>
#include <Poco/Mutex.h>
#include <Poco/Util/ServerApplication.h>

#include <string>

#include "app/CQKPassTask.h"
#include "app/qk_frame.h"
#include "base/CQKInstanceLock.h"

class CQKServiceAppl : public Poco::Util::ServerApplication {
public:
    ~CQKServiceAppl() override;

protected:
    // class_name and handler_name build the log tags ("CQKSrvSAppl", "QKSrvSErrorHandler");
    // settings.constants.use_common is set from isInteractive() at the start of main.
    CQKServiceAppl(const SQKFrameSettings& settings, const std::string& class_name,
                   const std::string& handler_name);

    void defineOptions(Poco::Util::OptionSet& options) override;
    void handleOption(const std::string& name, const std::string& value) override;
    int main(const ArgVec& args) override;

    // The service's control task, made when the service starts.
    virtual Poco::AutoPtr<CQKServiceControlTask> createControlTask() = 0;

    std::string className() const { return m_class_name; }

private:
    class ErrorHandler : public Poco::ErrorHandler {
    public:
        explicit ErrorHandler(std::string tag_name) : m_tag_name(std::move(tag_name)) {}
        void exception(const Poco::Exception& e) override;
        void exception(const std::exception& e) override;
        void exception() override;

    private:
        void report(const std::string& echo, const std::string& line);
        std::string m_tag_name;
    };

    // A daemon's echo goes to the start report until closeStartReport(), which sends it to
    // /dev/null again and closes the report.
    void openStartReport();
    void closeStartReport();
    // The header line and the help text, or "<program> <version>"; returns the exit code.
    int answerBareRequest();
    int runFramed();
    void runBody();
    // Runs the control task on a task manager until the termination request (SIGINT,
    // SIGTERM or SIGQUIT), then stops the process's senders (CQKSenderStop), cancels and
    // joins the task and destroys it, which stops its listeners.
    void runService();

    SQKFrameSettings m_settings;
    std::string m_class_name;
    CQKInstanceLock m_instance_lock;
    ErrorHandler m_error_handler;
    QKBareRequest m_bare_request = QKBareRequest::none;
    int m_start_report = -1;  // a copy of the standard error the program was started with
};

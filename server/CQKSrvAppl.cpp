// The receiving server application.
#include "CQKSrvAppl.h"

#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/ThreadPool.h>
#include <Poco/Util/IntValidator.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>
#include <Poco/Util/RegExpValidator.h>

#include <algorithm>

#include "base/qk_console.h"
#include "base/qk_log.h"
#include "base/qk_path.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "protocol/qk_exceptions.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_tls.h"

namespace {

constexpr const char* kInstanceName = "qk_relay_srv";
constexpr const char* kMaxThreadsKey = "HTTPTimeServer.maxThreads";
constexpr int kDefaultMaxThreads = 16;
constexpr long kTerminatedWaitMs = 10000;

// Creates a missing directory with its parents, closed to other accounts like everything the
// receiver makes. A failure to create is only logged: the caller's existence check that
// follows reports it with its own text.
void create_missing_dir(const QKLogTag& tag, const std::string& path) {
    Poco::File dir(path);
    if (dir.exists())
        return;
    try {
        qk_create_private_dirs(path);
    } catch (const Poco::Exception& e) {
        log_message(LOG_LEVEL_ERROR, &tag, "Exception: ClassName = %s Message = %s",
                    qk_class_name(e).c_str(), e.displayText().c_str());
    }
}

}  // namespace

std::atomic<CQKSrvAppl*> CQKSrvAppl::s_instance{nullptr};
std::atomic<bool> CQKSrvAppl::s_terminating{false};
Poco::Event CQKSrvAppl::m_terminate(Poco::Event::EVENT_AUTORESET);
Poco::Event CQKSrvAppl::m_terminated(Poco::Event::EVENT_AUTORESET);

CQKSrvAppl::CQKSrvAppl()
    : CQKConsoleAppl(kInstanceName, "CQKSrvAppl"),
      m_port_validator(new Poco::Util::IntValidator(0, 65535)),
      m_path_validator(new Poco::Util::RegExpValidator("^.{1,260}$")) {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::CQKSrvAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::CQKSrvAppl()");
    // One registry for both listeners: a path can't be written over plain and TLS at once.
    m_tcp_ssl_server.shareReceivingFiles(m_tcp_server.receivingFilesPtr());
    setUnixOptions(true);
    const int threads = config().getInt(kMaxThreadsKey, kDefaultMaxThreads);
    Poco::ThreadPool::defaultPool().addCapacity(std::max(threads, 0));
    s_instance.store(this);
}

CQKSrvAppl::~CQKSrvAppl() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::~CQKSrvAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::~CQKSrvAppl()");
    m_signal_watcher.stop();
    s_instance.store(nullptr);
}

void CQKSrvAppl::readFsConfig() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::readFsConfig()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::readFsConfig()");
    Poco::Util::AbstractConfiguration& keys = CQKBaseConfigs::instance().view("ssl_keys");
    m_params.m_key_fpath = keys.getString("ssl_keys_key_fpath");
    m_params.m_cert_fpath = keys.getString("ssl_keys_cert_fpath");
    m_params.m_ca_cert_fpath = keys.getString("ssl_keys_ca_cert_fpath");
    // Revoked client certificates are listed beside the CA of the shared keys directory.
    m_tcp_ssl_server.setRevocationList(
        qk_crl_fpath_beside(keys.getString("ssl_common_ca_cert_fpath")));
}

void CQKSrvAppl::initialize(Poco::Util::Application& self) {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::initialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::initialize()");
    CQKConsoleAppl::initialize(self);
    // Not in the constructor: the help text is shown by an object made before any key or
    // configuration is looked at.
    readFsConfig();
}

void CQKSrvAppl::uninitialize() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::uninitialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::uninitialize()");
    CQKConsoleAppl::uninitialize();
}

void CQKSrvAppl::defineOptions(Poco::Util::OptionSet& options) {
    using Poco::Util::Option;
    QKLogTag tag = qk_make_tag("CQKSrvAppl::defineOptions()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::defineOptions()");
    CQKConsoleAppl::defineOptions(options);
    defineVerbosityOptions(options);

    // help and start_server share a group, so at most one of them is accepted. Each
    // option takes its own reference to a shared validator.
    options.addOption(Option("start_server", "s", "start server...\n")
                          .required(false)
                          .repeatable(false)
                          .group("commands"));
    options.addOption(Option("in_dir", "d", "input directory...")
                          .required(false)
                          .repeatable(false)
                          .argument("<in_dir>", true)
                          .validator(m_path_validator.duplicate()));
    options.addOption(Option("back_dir", "b", "backup directory...")
                          .required(false)
                          .repeatable(false)
                          .argument("<back_dir>", true)
                          .validator(m_path_validator.duplicate()));
    options.addOption(Option("port", "p", "tcp port...")
                          .required(false)
                          .repeatable(false)
                          .argument("<port>", true)
                          .validator(m_port_validator.duplicate()));
    options.addOption(Option("ssl_port", "l", "ssl tcp port...")
                          .required(false)
                          .repeatable(false)
                          .argument("<ssl_port>", true)
                          .validator(m_port_validator.duplicate()));
    options.addOption(Option("metrics_port", "", "metrics port on 127.0.0.1 (0: none)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<metrics_port>", true)
                          .validator(m_port_validator.duplicate()));
    options.addOption(Option("metrics_address", "",
                             "metrics address, 127.0.0.1 by default (0.0.0.0: all; no "
                             "authentication on any but 127.0.0.1)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<metrics_address>", true));
    options.addOption(Option("resume_min_size", "",
                             "smallest file whose transfer resumes after a cut (K, M, G; at "
                             "least 1M; off: none), 64M by default...")
                          .required(false)
                          .repeatable(false)
                          .argument("<size>", true));
    options.addOption(Option("partial_hours", "",
                             "hours the partial content of a cut transfer is kept (1 to 8760), "
                             "24 by default...")
                          .required(false)
                          .repeatable(false)
                          .argument("<hours>", true));
    // Who may use the file ports.
    options.addOption(Option("address", "",
                             "IPv4 or IPv6 address of the plain listener, 0.0.0.0 by default "
                             "(all IPv4; it asks no certificate), :: for both families, "
                             "127.0.0.1 or ::1 for this machine only, off: none...")
                          .required(false)
                          .repeatable(false)
                          .argument("<address>", true));
    options.addOption(
        Option("ssl_address", "",
               "IPv4 or IPv6 address of the TLS listener, 0.0.0.0 by default, :: for both "
               "families, off: none...")
            .required(false)
            .repeatable(false)
            .argument("<address>", true));
    options.addOption(Option("allowed_networks", "",
                             "source networks the plain listener lets in, such as "
                             "192.168.1.0/24,10.0.0.7 (default: all)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<networks>", true));
    options.addOption(Option("ssl_allowed_networks", "",
                             "source networks the TLS listener lets in (default: all)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<networks>", true));
    options.addOption(Option("source_connections", "",
                             "connections one source address may hold on each listener "
                             "(1 to 64), 8 by default...")
                          .required(false)
                          .repeatable(false)
                          .argument("<count>", true));
    options.addOption(Option("partial_max", "",
                             "most the partial content of cut transfers may hold (K, M, G, at "
                             "least 1M; or a share of the file system, 1% to 100%), 10% by "
                             "default...")
                          .required(false)
                          .repeatable(false)
                          .argument("<size>", true));
    options.addOption(Option("resume_plain", "",
                             "the plain port resumes cut transfers too (off by default: only "
                             "the TLS port does)...")
                          .required(false)
                          .repeatable(false));
}

void CQKSrvAppl::handleOption(const std::string& name, const std::string& value) {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::handleOption()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKSrvAppl::handleOption()");
    // The base runs the validator first; a refused value ends here with its exception.
    CQKConsoleAppl::handleOption(name, value);

    if (name == "help") {
        m_params.m_op_code = OperationCode::help;
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "name = %s m_params.m_op_code = %d (OperationCode::help)", name.c_str(),
                    static_cast<int>(m_params.m_op_code));
    } else if (name == "start_server") {
        m_params.m_op_code = OperationCode::start_server;
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "name = %s m_params.m_op_code = %d (OperationCode::start_server)", name.c_str(),
                    static_cast<int>(m_params.m_op_code));
    } else if (name == "in_dir") {
        m_params.m_in_dir = value;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_in_dir = %s", name.c_str(),
                    m_params.m_in_dir.c_str());
    } else if (name == "back_dir") {
        m_params.m_back_dir = value;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_back_dir = %s", name.c_str(),
                    m_params.m_back_dir.c_str());
    } else if (name == "port") {
        m_params.m_port = Poco::NumberParser::parse(value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_port = %d", name.c_str(),
                    m_params.m_port);
    } else if (name == "ssl_port") {
        m_params.m_ssl_port = Poco::NumberParser::parse(value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_ssl_port = %d", name.c_str(),
                    m_params.m_ssl_port);
    } else if (name == "metrics_port") {
        m_params.m_metrics_port = Poco::NumberParser::parse(value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_metrics_port = %d", name.c_str(),
                    m_params.m_metrics_port);
    } else if (name == "metrics_address") {
        m_params.m_metrics_address = value;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_metrics_address = %s",
                    name.c_str(), m_params.m_metrics_address.c_str());
    } else if (name == "resume_min_size") {
        m_params.m_resume_min_size = qk_parse_resume_min_size(value);
    } else if (name == "partial_hours") {
        int hours = 0;
        if (!Poco::NumberParser::tryParse(value, hours))
            hours = -1;
        qk_check_partial_hours(hours);
        m_params.m_partial_hours = hours;
    } else if (name == "address" || name == "ssl_address") {
        qk_check_listen_address(name.c_str(), value);
        (name == "address" ? m_params.m_address : m_params.m_ssl_address) = value;
    } else if (name == "allowed_networks" || name == "ssl_allowed_networks") {
        qk_check_allowed_networks(name.c_str(), value);
        (name == "allowed_networks" ? m_params.m_allowed_networks
                                    : m_params.m_ssl_allowed_networks) = value;
    } else if (name == "source_connections") {
        int count = 0;
        if (!Poco::NumberParser::tryParse(value, count))
            count = -1;
        qk_check_source_connections(count);
        m_params.m_source_connections = count;
    } else if (name == "partial_max") {
        m_params.m_partial_max = qk_parse_partial_max(value);
    } else if (name == "resume_plain") {
        m_params.m_resume_plain = true;
    }
}

void CQKSrvAppl::displayHelp() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::displayHelp()");
    CQKConsoleAppl::displayHelp(tag);
}

void CQKSrvAppl::checkParams() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::checkParams()");
    switch (m_params.m_op_code) {
        case OperationCode::start_server:
            break;
        case OperationCode::help:
            return;
        default:
            throw Poco::Util::OptionException(
                "Error of checking of params: unknown value m_params.m_op_code");
    }

    const std::string& in_dir = m_params.m_in_dir;
    if (in_dir.empty())
        throw Poco::FileExistsException("In directory:" + in_dir + " not defined...");
    create_missing_dir(tag, in_dir);
    if (!Poco::File(in_dir).exists())
        throw Poco::FileExistsException("In directory:" + in_dir + " not exists...");
    if (!Poco::File(in_dir).isDirectory())
        throw Poco::FileExistsException("In directory:" + in_dir + " is not a directory...");

    const std::string& back_dir = m_params.m_back_dir;
    if (!back_dir.empty()) {
        create_missing_dir(tag, back_dir);
        if (!Poco::File(back_dir).exists())
            throw Poco::FileExistsException("Backup directory: " + back_dir + " not exists...");
        if (!Poco::File(back_dir).isDirectory())
            throw Poco::FileExistsException("Backup directory: " + back_dir +
                                            " is not a directory...");
    }

    // A listener that is off needs no port.
    qk_check_some_listener(m_params.m_address, m_params.m_ssl_address);
    const int port = qk_listener_off(m_params.m_address) ? 0 : m_params.m_port;
    const int ssl_port = qk_listener_off(m_params.m_ssl_address) ? 0 : m_params.m_ssl_port;
    if (!qk_listener_off(m_params.m_address) && (port <= 0 || port > 65535))
        throw Poco::Util::OptionException("Wrong value of port number:" + std::to_string(port));
    if (!qk_listener_off(m_params.m_ssl_address) && (ssl_port <= 0 || ssl_port > 65535))
        throw Poco::Util::OptionException("Wrong value of ssl port number:" +
                                          std::to_string(ssl_port));
    if (port != 0 && port == ssl_port)
        throw Poco::Util::OptionException("Wrong values of port number:" + std::to_string(port) +
                                          " and ssl port number:" + std::to_string(ssl_port) +
                                          ". They shouldn't be equal.");
    qk_check_metrics_address(m_params.m_metrics_address);
    qk_check_metrics_port(m_params.m_metrics_port,
                          {{"port number", port}, {"ssl port number", ssl_port}});
}

void CQKSrvAppl::startListeners() {
    m_tcp_server.setParams(m_params);
    if (!qk_listener_off(m_params.m_address))
        m_tcp_server.start();
    try {
        if (!qk_listener_off(m_params.m_ssl_address)) {
            m_tcp_ssl_server.setParams(m_params);
            m_tcp_ssl_server.start();
        }
    } catch (...) {
        try {
            if (m_tcp_server.isListening())
                m_tcp_server.stop();
        } catch (const Poco::Exception& e) {
            QKLogTag tag = qk_make_tag("CQKSrvAppl::main()");
            qk_report_exception(&tag, e);
        }
        throw;
    }
}

void CQKSrvAppl::lockWhatRunsShare() {
    lockPath("the incoming tree", m_params.m_in_dir);
    if (!qk_listener_off(m_params.m_address))
        lockPort("the port", m_params.m_port);
    if (!qk_listener_off(m_params.m_ssl_address))
        lockPort("the port", m_params.m_ssl_port);
    if (m_params.m_metrics_port != 0)
        lockPort("the port", m_params.m_metrics_port);
}

void CQKSrvAppl::startMetrics() {
    if (m_params.m_metrics_port == 0)
        return;
    // Unlike a service, nothing here tries again later: an endpoint that cannot start ends
    // the start-up. It starts first, so that no listener has taken a file yet.
    try {
        m_metrics.start(m_params.m_metrics_port, m_params.m_metrics_address);
    } catch (const Poco::Exception& e) {
        throw Poco::Exception("Metrics endpoint not started on " + m_params.m_metrics_address +
                              ":" + std::to_string(m_params.m_metrics_port) + ": " +
                              e.displayText());
    }
}

int CQKSrvAppl::main(const std::vector<std::string>& /*args*/) {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Start of main()...");
    int exit_code = EXIT_OK;
    try {
        if (m_params.m_op_code != OperationCode::start_server) {
            displayHelp();
        } else {
            // Everything that can refuse the start comes before the banner, so that a script
            // never sees "Server is started..." from a run that ends at once.
            checkParams();
            lockWhatRunsShare();
            qk_receiver_metrics();  // rendered from the first scrape on
            startMetrics();
            startListeners();
            const int op_code = static_cast<int>(m_params.m_op_code);
            // The parameters go to the log only (and with -v to the console).
            qk_print_console("Server is started...");
            log_message(LOG_LEVEL_INFO, &tag,
                        "Server is started "
                        "--------------------------------------------------------------------------"
                        "----------- >>");
            log_message(LOG_LEVEL_INFO, &tag, "Parameters:");
            log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_op_code\t\t= %d", op_code);
            log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_in_dir\t\t= %s",
                        m_params.m_in_dir.c_str());
            log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_back_dir\t\t= %s",
                        m_params.m_back_dir.c_str());
            log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_port\t\t\t= %d", m_params.m_port);
            log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_ssl_port\t\t= %d", m_params.m_ssl_port);
            log_message(LOG_LEVEL_DEBUG, &tag, "Thread::currentTid() = %lld",
                        static_cast<long long>(qk_get_thread_id()));

            m_metrics.setHealth("");
            waitForTerminationRequest();

            qk_print_console("Server is stopped...");
            log_message(LOG_LEVEL_INFO, &tag,
                        "Server is stopped "
                        "--------------------------------------------------------------------------"
                        "----------- <<");
        }
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_MAIN_FAILED;
    }
    log_message(LOG_LEVEL_DEBUG, &tag, "End of main()...");
    return exit_code;
}

void CQKSrvAppl::waitForTerminationRequest() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::waitForTerminationRequest()");
    // Started only now, with both listeners running, so the handler never races their
    // start; a signal that came earlier is pending and is handled at once.
    m_signal_watcher.start(&CQKSrvAppl::consoleCtrlHandler);
    log_message(LOG_LEVEL_DEBUG, &tag,
                "waitForTerminationRequest: start of watinig of termination");
    m_terminate.wait();
    m_terminated.set();
    log_message(LOG_LEVEL_DEBUG, &tag, "waitForTerminationRequest: terminated");
}

void CQKSrvAppl::consoleCtrlHandler(int ctrl_type) {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::consoleCtrlHandler()");
    log_message(LOG_LEVEL_DEBUG, &tag, "consoleCtrlHandler: ctrlType = %d", ctrl_type);
    const bool stop_event = ctrl_type == QK_CTRL_C_EVENT || ctrl_type == QK_CTRL_BREAK_EVENT ||
                            ctrl_type == QK_CTRL_CLOSE_EVENT;
    if (stop_event && !s_terminating.exchange(true))
        terminate();
    log_message(LOG_LEVEL_DEBUG, &tag, "consoleCtrlHandler: finished (termanition is done)");
}

void CQKSrvAppl::terminate() {
    QKLogTag tag = qk_make_tag("CQKSrvAppl::terminate()");
    CQKSrvAppl* app_instance = s_instance.load();
    if (app_instance == nullptr)
        return;
    log_message(LOG_LEVEL_DEBUG, &tag,
                "terminate: start of call: app_instance->m_tcp_server.stop()");
    app_instance->m_metrics.setHealth("stopping");
    try {
        if (app_instance->m_tcp_server.isListening())
            app_instance->m_tcp_server.stop();
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
    }
    log_message(LOG_LEVEL_DEBUG, &tag,
                "terminate: call: app_instance->m_tcp_server.stop() is finished");
    log_message(LOG_LEVEL_DEBUG, &tag,
                "terminate: start of call: app_instance->m_tcp_ssl_server.stop()");
    try {
        if (app_instance->m_tcp_ssl_server.isListening())
            app_instance->m_tcp_ssl_server.stop();
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
    }
    log_message(LOG_LEVEL_DEBUG, &tag,
                "terminate: call: app_instance->m_tcp_ssl_server.stop() is finished");
    log_message(LOG_LEVEL_DEBUG, &tag, "terminate: call: m_terminate has been set");
    m_terminate.set();
    m_terminated.tryWait(kTerminatedWaitMs);
}

// qk_relay_cln's application: options, parameter check and the sending run.
#include "CQKClnAppl.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "base/qk_console.h"
#include "base/qk_host_address.h"
#include "config/CQKBaseConfigs.h"
#include "config/qk_service_params.h"
#include "protocol/qk_exceptions.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKProgress.h"
#include "transfer/CQKRateLimit.h"
#include "transfer/CQKSenderStop.h"

namespace {

const char* const kPathPattern = "^.{1,260}$";
constexpr std::size_t kMaxPathLength = 260;

const char* const kRunBorder =
    "Client: Send Files "
    "-------------------------------------------------------------------------------------";

std::string serverAddressProblem(const std::string& value) {
    return "Wrong value of server address: " + value + ". " + QK_SERVER_ADDRESS_RULE;
}

int op_code(const SQKClnParams& params) {
    return static_cast<int>(params.m_op_code);
}

// Options that, given together, one would silently override (a named file is sent alone,
// whatever directory is asked for) or that would mix other lines into the JSON object.
struct SQKConflict {
    const char* first;
    const char* second;
    const char* why;
};
const SQKConflict kConflicts[] = {
    {"out_dir", "file", "a named file is sent alone"},
    {"sub_dirs", "file", "a named file is sent alone"},
    {"verbose", "json", "standard output holds the JSON object alone"},
};

std::atomic<int> g_stop_signal{0};

}  // namespace

CQKClnAppl::CQKClnAppl()
    : CQKConsoleAppl("qk_relay_cln", "CQKClnAppl"),
      m_port_validator(new Poco::Util::IntValidator(0, 65535)),
      m_streams_validator(new Poco::Util::IntValidator(1, QK_MAX_STREAMS)),
      m_path_validator(new Poco::Util::RegExpValidator(kPathPattern)) {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::CQKClnAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::CQKClnAppl()");
    setUnixOptions(true);
}

CQKClnAppl::~CQKClnAppl() {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::~CQKClnAppl()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::~CQKClnAppl()");
}

void CQKClnAppl::initialize(Poco::Util::Application& self) {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::initialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::initialize()");
    CQKConsoleAppl::initialize(self);
    // Not in the constructor: the help text is shown by an object made before any key or
    // configuration is looked at.
    readConfig();
}

void CQKClnAppl::uninitialize() {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::uninitialize()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::uninitialize()");
    CQKConsoleAppl::uninitialize();
}

void CQKClnAppl::readConfig() {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::readConfig()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::readConfig()");
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Mutex::ScopedLock lock(configs.configLock());
    Poco::Util::AbstractConfiguration& keys = configs.view("ssl_keys");
    m_params.m_ssl_key_fpath = keys.getString("ssl_keys_key_fpath");
    m_params.m_ssl_cert_fpath = keys.getString("ssl_keys_cert_fpath");
    m_params.m_ssl_ca_cert_fpath = keys.getString("ssl_keys_ca_cert_fpath");
}

void CQKClnAppl::defineOptions(Poco::Util::OptionSet& options) {
    using Poco::Util::Option;
    CQKConsoleAppl::defineOptions(options);
    defineVerbosityOptions(options);

    // Each option holds its own reference to a shared validator.
    options.addOption(Option("send_files", "n", "send files...")
                          .required(false)
                          .repeatable(false)
                          .group("commands"));
    options.addOption(Option("out_dir", "d", "output directory...")
                          .required(false)
                          .repeatable(false)
                          .argument("<out_dir>")
                          .validator(m_path_validator.duplicate()));
    options.addOption(Option("back_dir", "b", "backup directory...")
                          .required(false)
                          .repeatable(false)
                          .argument("<back_dir>")
                          .validator(m_path_validator.duplicate()));
    options.addOption(Option("file", "f", "send only one file...")
                          .required(false)
                          .repeatable(false)
                          .argument("<file>")
                          .validator(m_path_validator.duplicate()));
    options.addOption(Option("server_address", "a", "host name or IP address of the server...")
                          .required(false)
                          .repeatable(false)
                          .argument("<server_address>"));
    options.addOption(Option("server_port", "p", "tcp port of the server...")
                          .required(false)
                          .repeatable(false)
                          .argument("<server_port>")
                          .validator(m_port_validator.duplicate()));
    options.addOption(
        Option("use_ssl", "l", "use ssl for tcp connection...").required(false).repeatable(false));
    options.addOption(
        Option("sub_dirs", "s", "scan subdirectoris...").required(false).repeatable(false));
    options.addOption(Option("json", "",
                             "the summary at the end of a run as one JSON object on standard "
                             "output...")
                          .required(false)
                          .repeatable(false));
    options.addOption(Option("streams", "",
                             "connections a directory run spreads its files over, 1 to " +
                                 std::to_string(QK_MAX_STREAMS) + " (default 1)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<streams>")
                          .validator(m_streams_validator.duplicate()));
    options.addOption(Option("bwlimit", "",
                             "bytes per second the run sends at most, all streams together: "
                             "RATE (K, M, G: 1024, 1024^2, 1024^3; 0 or off: no limit) or a "
                             "daily timetable \"08:00,2M 18:00,off\" (default off)...")
                          .required(false)
                          .repeatable(false)
                          .argument("<rate>"));
    // Repeatable: the patterns of every occurrence add up.
    options.addOption(Option("exclude", "x",
                             "file names not to send: glob patterns separated by spaces or "
                             "commas, e.g. \".* *.tmp\"...")
                          .required(false)
                          .repeatable(true)
                          .argument("<patterns>"));
}

bool CQKClnAppl::acceptPath(const std::string& name, const std::string& value,
                            std::string& target) {
    if (value.size() > kMaxPathLength) {
        const QKLogTag tag = qk_make_tag("CQKClnAppl::handleOption()");
        log_message(LOG_LEVEL_ERROR, &tag, "name = %s wrong length of value (too long): %zu",
                    name.c_str(), value.size());
        return false;
    }
    target = value;
    return true;
}

void CQKClnAppl::handleOption(const std::string& name, const std::string& value) {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::handleOption()");
    CQKConsoleAppl::handleOption(name, value);
    refuseConflicts(name);

    const char* option = name.c_str();
    if (name == "help") {
        m_params.m_op_code = OperationCode::help;
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "name = %s m_params.m_op_code = %d (OperationCode::help)", option,
                    op_code(m_params));
    } else if (name == "send_files") {
        m_params.m_op_code = OperationCode::send_files;
        log_message(LOG_LEVEL_DEBUG, &tag,
                    "name = %s m_params.m_op_code = %d (OperationCode::send_files)", option,
                    op_code(m_params));
    } else if (name == "out_dir") {
        if (acceptPath(name, value, m_params.m_out_dir))
            log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_out_dir = %s", option,
                        m_params.m_out_dir.c_str());
    } else if (name == "back_dir") {
        if (acceptPath(name, value, m_params.m_back_dir))
            log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_back_dir = %s", option,
                        m_params.m_back_dir.c_str());
    } else if (name == "file") {
        if (acceptPath(name, value, m_params.m_file_path))
            log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_file_path = %s", option,
                        m_params.m_file_path.c_str());
    } else if (name == "server_address") {
        // Refused here, as the option validators refuse, so that a wrong value is never taken.
        if (!qk_is_server_address(value))
            throw Poco::Util::InvalidArgumentException(serverAddressProblem(value));
        m_params.m_srv_address = value;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_srv_address = %s", option,
                    m_params.m_srv_address.c_str());
    } else if (name == "server_port") {
        // The validator has accepted a decimal integer in 0..65535.
        m_params.m_srv_port = Poco::NumberParser::parse(value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_srv_port = %d", option,
                    m_params.m_srv_port);
    } else if (name == "use_ssl") {
        m_params.m_use_ssl = 1;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_use_ssl = %d", option,
                    m_params.m_use_ssl);
    } else if (name == "sub_dirs") {
        m_params.m_sub_dirs = 1;
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_sub_dirs = %d", option,
                    m_params.m_sub_dirs);
    } else if (name == "json") {
        // Standard output holds the JSON object alone, so the console is quiet; errors still
        // go to standard error.
        m_json = true;
        qk_set_console_verbosity(QKConsoleVerbosity::Quiet);
    } else if (name == "streams") {
        // The validator has accepted a decimal integer in 1..QK_MAX_STREAMS.
        m_params.m_streams = Poco::NumberParser::parse(value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_streams = %d", option,
                    m_params.m_streams);
    } else if (name == "bwlimit") {
        // Refused like a bad port: a run must not go faster than the operator asked.
        const std::string problem = m_params.m_bw_limit.parse(value);
        if (!problem.empty())
            throw Poco::Util::OptionException("Wrong value of bwlimit: " + problem + ".");
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_bw_limit = %s", option,
                    m_params.m_bw_limit.text().c_str());
    } else if (name == "exclude") {
        // A refused value ends the start-up: sending without it could take temporaries.
        qk_add_exclude(m_params.m_exclude, value);
        log_message(LOG_LEVEL_DEBUG, &tag, "name = %s m_params.m_exclude = %s", option,
                    m_params.m_exclude.text().c_str());
    }
}

void CQKClnAppl::refuseConflicts(const std::string& name) {
    for (const auto& conflict : kConflicts) {
        const char* other = name == conflict.first    ? conflict.second
                            : name == conflict.second ? conflict.first
                                                      : nullptr;
        if (other != nullptr && m_given.count(other) != 0)
            throw Poco::Util::IncompatibleOptionsException(std::string("--") + conflict.first +
                                                           " and --" + conflict.second +
                                                           " exclude each other: " + conflict.why);
    }
    m_given.insert(name);
}

void CQKClnAppl::noteStopSignal(int signo) {
    g_stop_signal = signo;
}

void CQKClnAppl::displayHelp() {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::displayHelp()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::displayHelp()");
    CQKConsoleAppl::displayHelp(tag);
}

void CQKClnAppl::checkParams() {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::checkParams()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::checkParams()");
    if (m_params.m_op_code != OperationCode::send_files)
        throw Poco::Util::OptionException(
            "Error of checking of params: Unknown value m_params.m_op_code");

    if (!m_params.m_file_path.empty()) {
        if (!Poco::File(m_params.m_file_path).exists())
            throw Poco::FileExistsException("File: " + m_params.m_file_path + " not found...");
    } else {
        const std::string& out_dir = m_params.m_out_dir;
        if (out_dir.empty())
            throw Poco::FileExistsException("Out directory: " + out_dir + " not defined...");
        Poco::File out(out_dir);
        if (!out.exists())
            throw Poco::FileExistsException("Out directory: " + out_dir + " not exists...");
        if (!out.isDirectory())
            throw Poco::FileExistsException("Out directory: " + out_dir + " is not a directory...");

        const std::string& back_dir = m_params.m_back_dir;
        if (!back_dir.empty()) {
            Poco::File back(back_dir);
            if (!back.exists()) {
                try {
                    back.createDirectories();
                } catch (const Poco::Exception& e) {
                    // The check below reports the failure; the cause goes to the log.
                    log_message(LOG_LEVEL_ERROR, &tag, "Creating of %s failed: %s",
                                back_dir.c_str(), e.displayText().c_str());
                }
            }
            if (!back.exists())
                throw Poco::FileExistsException("Backup directory: " + back_dir + " not exists...");
            if (!back.isDirectory())
                throw Poco::FileExistsException("Backup directory: " + back_dir +
                                                " is not a directory...");
        }
    }

    if (m_params.m_srv_port < 1 || m_params.m_srv_port > 65535)
        throw Poco::Util::OptionException("Wrong value of port number: " +
                                          std::to_string(m_params.m_srv_port));
    if (!qk_is_server_address(m_params.m_srv_address))
        throw Poco::Util::OptionException(serverAddressProblem(m_params.m_srv_address));
}

// The limit covers every stream of the run. The progress line is for a person watching a
// terminal: piped or redirected output, and a silenced, quiet or verbose console, get none.
void CQKClnAppl::sendWithProgress(CQKTcpCln& sender) {
    qk_rate_limit().setSchedule(m_params.m_bw_limit);
    qk_progress().enable(::isatty(STDOUT_FILENO) == 1 && qk_is_console_echo() &&
                         qk_console_verbosity() == QKConsoleVerbosity::Normal);
    try {
        sender.sendFiles();
    } catch (...) {
        qk_progress().enable(false);
        throw;
    }
    qk_progress().enable(false);
}

// sendFiles reports each failed attempt itself; a run that left files must not look like a
// success to the caller. A receiver never reached saw none of the files: all of them stay.
int CQKClnAppl::endRun(const CQKTcpCln& sender, double seconds) {
    SQKRunOutcome outcome;
    outcome.counts = sender.tally().counts();
    outcome.seconds = seconds;
    outcome.failed = sender.currResult() == QK_SEND_FILE_FERROR;
    outcome.stop_signal = qk_sender_stop().requested() ? g_stop_signal.load() : 0;
    const bool tree_run = m_params.m_file_path.empty();
    // A named file under an excluded name needs no receiver: nothing was left then.
    const bool unreached = !outcome.counts.receiver_reached && outcome.failed;
    if (unreached || (tree_run && m_params.m_sub_dirs == 0)) {
        const CQKTcpCln::SQKTreeCount tree = sender.countOutgoing();
        if (unreached)
            outcome.counts.files_left = tree.files;
        if (tree_run)
            warnSubDirsLeft(tree);
    }
    if (outcome.failed)
        reportFailure();
    printSummary(outcome);
    return qk_run_exit_code(outcome);
}

void CQKClnAppl::reportFailure() const {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::main()");
    // A stop asked for is no error of the run: said at INFO.
    const bool stopped = qk_sender_stop().requested();
    const char* text = stopped ? "Client: Sending Files stopped: the files not sent stay in the "
                                 "outgoing directory..."
                               : "Client: Sending Files failed: not all files have been sent, the "
                                 "rest stay in the outgoing directory...";
    if (stopped)
        qk_print_console(text);
    else
        qk_print_error(text);
    log_message(stopped ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR, &tag, "%s", text);
}

// Without --sub_dirs the sub-directories are passed over by design; a tree that has files
// there is said once, so that an operator who forgot the option learns of it.
void CQKClnAppl::warnSubDirsLeft(const CQKTcpCln::SQKTreeCount& tree) const {
    if (tree.files_in_sub_dirs == 0)
        return;
    const QKLogTag tag = qk_make_tag("CQKClnAppl::main()");
    const bool one = tree.files_in_sub_dirs == 1;
    const std::string text = std::to_string(tree.files_in_sub_dirs) +
                             (one ? " file in " : " files in ") + std::to_string(tree.sub_dirs) +
                             (tree.sub_dirs == 1 ? " sub-directory of " : " sub-directories of ") +
                             m_params.m_out_dir + (one ? " was" : " were") +
                             " not sent: --sub_dirs (-s) sends sub-directories";
    // The log's echo shows a warning on standard error, also with a quiet console.
    log_message(LOG_LEVEL_WARN, &tag, "%s", text.c_str());
}

// Written outright, not through the console echo, so that a quiet console shows it too.
void CQKClnAppl::printSummary(const SQKRunOutcome& outcome) const {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::main()");
    const std::string line = qk_summary_line(outcome);
    log_message(LOG_LEVEL_INFO, &tag, "%s", line.c_str());
    const std::string out = (m_json ? qk_summary_json(outcome) : line) + "\n";
    std::lock_guard<std::recursive_mutex> lock(qk_console_mutex());
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

// The parameters themselves go to the log (logParams), and with -v to the console.
void CQKClnAppl::echoParams() const {
    qk_print_console("Client: Send Files...");
}

void CQKClnAppl::logParams() const {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::main()");
    log_message(LOG_LEVEL_INFO, &tag, "%s >>", kRunBorder);
    log_message(LOG_LEVEL_INFO, &tag, "Parameters:");
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_op_code\t\t= %d", op_code(m_params));
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_out_dir\t\t= %s", m_params.m_out_dir.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_back_dir\t\t= %s", m_params.m_back_dir.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_file_path\t= %s", m_params.m_file_path.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_srv_address\t= %s",
                m_params.m_srv_address.c_str());
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_srv_port\t\t= %d", m_params.m_srv_port);
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_use_ssl\t\t= %d", m_params.m_use_ssl);
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_sub_dirs\t\t= %d", m_params.m_sub_dirs);
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_exclude\t\t= %s",
                m_params.m_exclude.text().c_str());
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_streams\t\t= %d", m_params.m_streams);
    log_message(LOG_LEVEL_INFO, &tag, "\tm_params.m_bw_limit\t\t= %s",
                m_params.m_bw_limit.text().c_str());
}

int CQKClnAppl::main(const std::vector<std::string>& /*args*/) {
    const QKLogTag tag = qk_make_tag("CQKClnAppl::main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "CQKClnAppl::main()");
    log_message(LOG_LEVEL_DEBUG, &tag, "Start of main()...");

    int exit_code = EXIT_OK;
    try {
        if (m_params.m_op_code != OperationCode::send_files) {
            displayHelp();
        } else {
            echoParams();
            logParams();
            checkParams();
            // Runs on other trees go side by side; two on one tree would send its files twice.
            if (m_params.m_file_path.empty())
                lockPath("the outgoing tree", m_params.m_out_dir);
            else
                lockPath("the outgoing file", m_params.m_file_path);

            // The TLS sender loads its key files here, also for a plain run.
            m_tcp_cln.setParams(m_params);
            m_tcp_ssl_cln.setParams(m_params);
            CQKTcpCln& sender =
                m_params.m_use_ssl != 0 ? static_cast<CQKTcpCln&>(m_tcp_ssl_cln) : m_tcp_cln;
            const auto start = std::chrono::steady_clock::now();
            sendWithProgress(sender);
            const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;

            log_message(LOG_LEVEL_INFO, &tag, "Client: Sending Files finished...");
            exit_code = endRun(sender, spent.count());
            log_message(LOG_LEVEL_INFO, &tag, "%s <<", kRunBorder);
        }
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (const Poco::Exception* e) {
        if (e != nullptr)
            qk_report_exception(&tag, *e);
        else
            qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (const std::exception& e) {
        qk_report_exception(&tag, e);
        exit_code = QK_EXIT_MAIN_FAILED;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        exit_code = QK_EXIT_MAIN_FAILED;
    }

    log_message(LOG_LEVEL_DEBUG, &tag, "End of main()...");
    return exit_code;
}

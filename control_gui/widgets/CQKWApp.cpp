#include "CQKWApp.h"

#include <Poco/Crypto/Crypto.h>
#include <Poco/Path.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>

#include "CQKConfigControl.h"
#include "CQKDlg.h"
#include "app/qk_frame.h"
#include "base/qk_fs.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr const char* kProgram = "qk_relay_w";

SQKFrameSettings frame_settings() {
    SQKFrameSettings settings;
    settings.constants = {"orvane",
                          kProgram,
                          "log",
                          "keys",
                          "xml",
                          false,  // use_common
                          true,   // portable
                          "gui.zx.orvane.key",
                          "gui.zx.orvane.cert",
                          "ca.zx.orvane.pem"};
    settings.min_level = LOG_LEVEL_TRACE;
    return settings;
}

void error_box(const std::string& text) {
    QMessageBox::critical(nullptr, QString::fromLatin1(kProgram), QString::fromStdString(text));
}

// Ends the event loop without asking the windows (quit() would send them a close event, and
// the main window answers that with the close question).
void end_event_loop() {
    QCoreApplication::exit(0);
}

// The write end is used by the signal handler: a byte per signal, nothing else.
int g_termination_pipe[2] = {-1, -1};

void on_termination_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_termination_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

CQKWApp::CQKWApp() : m_instance_lock(kProgram) {}

CQKWApp::~CQKWApp() {
    if (m_main_wnd || m_log_open || m_crypto)
        ExitInstance(0);
}

bool CQKWApp::InitInstance() {
    QKLogTag tag = qk_make_tag("CQKWApp::InitInstance()");
    bool started = false;
    const bool no_exception = qk_run_reporting(&tag, [&] {
        try {
            started = start();
        } catch (const Poco::Exception& e) {
            error_box("Exception: ClassName = " + qk_class_name(e) +
                      " Message = " + e.displayText());
            throw;
        } catch (...) {
            error_box("Some Exception happened...");
            throw;
        }
    });
    return no_exception && started;
}

bool CQKWApp::start() {
    QKLogTag tag = qk_make_tag("CQKWApp::InitInstance()");
    Poco::Crypto::initializeCrypto();
    m_crypto = true;
    if (!m_instance_lock.tryLock()) {
        error_box("Instance of this application has been launched already...");
        return false;
    }
    // Constraint handlers, locale, Unicode, base configuration and the log.
    std::string failure;
    if (!qk_frame_start(frame_settings(), false, &failure)) {
        error_box(failure);
        return false;
    }
    m_log_open = true;
    qk_frame_log_opening(tag);
    qk_print_header_info(tag);

    m_ctrl_path = findController();
    log_message(LOG_LEVEL_DEBUG, &tag, "RelayCtrl path: '%s'", m_ctrl_path.c_str());
    QApplication::setOrganizationName(QStringLiteral("orvane"));
    QApplication::setApplicationName(QString::fromLatin1(kProgram));
    QApplication::setApplicationVersion(QString::fromLatin1(kQKVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(kProgram));
    // The window may hide in the tray, and the About box may close while it is hidden: the
    // program ends when the window is closed, not with its last visible window.
    QApplication::setQuitOnLastWindowClosed(false);

    readOwnSettings();

    SQKDlgOptions options;
    options.ctrl_path = m_ctrl_path;
    m_main_wnd = std::make_unique<CQKDlg>(options);
    QObject::connect(m_main_wnd.get(), &CQKDlg::closed, qApp, end_event_loop, Qt::QueuedConnection);
    log_message(LOG_LEVEL_INFO, &tag, "CQKWApp::InitInstance(): Start CQKRelayWDlg...");
    if (startMinimised())
        m_main_wnd->showMinimisedAtStart();
    else
        m_main_wnd->show();
    return true;
}

// The control program's own settings, read at once on this thread (no window is registered
// yet, so the reply comes back here and is dropped), then the autostart entry.
void CQKWApp::readOwnSettings() {
    auto request = std::make_unique<SQKConfigCodeCtrl>();
    request->config_code_ctrl = read_file_gui_params;
    CQKConfigControl::instance().procConfigCodeCtrl(std::move(request));
    CQKConfigControl::instance().procParams();
}

// A settings file that could not be read starts the window normally, so its page can mend it.
bool CQKWApp::startMinimised() const {
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    Poco::Mutex::ScopedLock lock(configs.configLock());
    if (configs.find("conf_c").isNull())
        return false;
    return configs.view("conf_c").getBool("start_mimimized", false);
}

int CQKWApp::ExitInstance(int exit_code) {
    m_main_wnd.reset();
    if (m_log_open) {
        QKLogTag tag = qk_make_tag("CQKWApp::ExitInstance()");
        qk_frame_log_closing(tag);
        m_log_open = false;
    }
    if (m_crypto) {
        Poco::Crypto::uninitializeCrypto();
        m_crypto = false;
    }
    return exit_code;
}

std::string CQKWApp::findController() {
    char module[PATH_MAX];
    if (!qk_res_is(qk_base_module_path(module, sizeof(module)), QK_RES_OK))
        throw Poco::SystemException("Error of solving of RelayCtrl path...");
    Poco::Path path(module);
    path.setFileName("qk_relay_ctrl");
    const std::string ctrl = path.toString();
    struct stat st {};
    return ::stat(ctrl.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? ctrl : std::string();
}

void CQKWApp::quitOnTermination() {
    if (g_termination_pipe[0] >= 0)
        return;
    QKLogTag tag = qk_make_tag("CQKWApp::quitOnTermination()");
    if (::pipe2(g_termination_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        log_message(LOG_LEVEL_ERROR, &tag, "No termination pipe: signals end the program at once");
        return;
    }
    auto* notifier = new QSocketNotifier(g_termination_pipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char bytes[16];
        while (::read(g_termination_pipe[0], bytes, sizeof(bytes)) > 0) {
        }
        QKLogTag quit_tag = qk_make_tag("CQKWApp::quitOnTermination()");
        log_message(LOG_LEVEL_INFO, &quit_tag, "Termination request: the program ends.");
        end_event_loop();
    });
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        ::sigaction(signo, &action, nullptr);
}

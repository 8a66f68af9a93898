#include "CQKDlg.h"

#include <Poco/Process.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>

#include "CQKAboutDlg.h"
#include "CQKConfigControl.h"
#include "CQKGuiLog.h"
#include "CQKLogList.h"
#include "CQKTabCtrl.h"
#include "app/qk_frame.h"
#include "base/qk_log.h"
#include "protocol/qk_exceptions.h"
#include "qk_gui_common.h"

namespace {

constexpr const char* kClnService = "qk_relay_clnsvc";
constexpr const char* kSrvService = "qk_relay_srvsvc";
constexpr const char* kStartCommand = "--start_service=";
constexpr const char* kStopCommand = "--stop_service=";
constexpr const char* kLaunched =
    "QK Relay Control application for launching Service '%s' has been launched";
constexpr const char* kStopLaunched =
    "QK Relay Control application for stopping Service '%s' has been launchaed";
constexpr std::size_t kMaxTipLength = 127;
constexpr int kSizeRestored = 0;
constexpr int kSizeMinimized = 1;
constexpr int kSizeMaximized = 2;

QKLogTag tag_of(const char* name) {
    QKLogTag tag = qk_make_tag(name);
    log_message(LOG_LEVEL_DEBUG, &tag, "%s", name);
    return tag;
}

QString id_name(int id) {
    return QString::number(id);
}

QPushButton* command_button(int id, const char* text, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(id_name(id));
    button->setToolTip(QString::fromLatin1(text));
    button->setAutoDefault(false);
    return button;
}

QAction* command_action(QMenu* menu, int id, const char* text, const QIcon& icon = QIcon()) {
    QAction* action = menu->addAction(icon, QString::fromLatin1(text));
    action->setObjectName(id_name(id));
    return action;
}

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

CQKDlg::CQKDlg(SQKDlgOptions options, QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)) {
    m_mailbox.setWakeUp([this] {
        if (!m_drain_pending.exchange(true))
            QMetaObject::invokeMethod(this, &CQKDlg::drainMailbox, Qt::QueuedConnection);
    });
    CQKConfigControl::instance().setWindow(&m_mailbox);

    setObjectName(QStringLiteral("102"));
    setWindowTitle(kQKBoxTitle);
    setWindowIcon(qk_icon(QKIcon::program));
    buildControls();
    InitMenus();

    CQKGuiLog::instance().setWindow(&m_mailbox);
    CQKGuiLog::instance().addLogMessage("Application is started");
    initTasks();
}

CQKDlg::~CQKDlg() {
    endTasks();
    removeTrayIcon();
    // The pages go while the control queue they know still exists.
    delete m_tabs;
    m_tabs = nullptr;
}

// ---- building ----

void CQKDlg::buildControls() {
    auto* top = new QHBoxLayout;
    top->addWidget(buildStatusGroup(), 1);
    top->addWidget(buildControlGroup());

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addWidget(buildPropertiesGroup());
    layout->addWidget(buildLogGroup(), 1);
    setCentralWidget(central);
    // The pages take the keyboard first, not the log pane (whose first line would show the
    // focus frame).
    setFocusProxy(m_tabs);
    m_tabs->setFocus();
    resize(780, 700);
}

QWidget* CQKDlg::buildStatusGroup() {
    auto* group = new QGroupBox(QStringLiteral("Status"), this);
    auto* grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(16);
    const auto add_line = [&](int row, const char* caption, int id) {
        grid->addWidget(new QLabel(QString::fromLatin1(caption), group), row, 0);
        auto* value = new QLabel(group);
        value->setObjectName(id_name(id));
        QFont semibold = value->font();
        semibold.setWeight(QFont::DemiBold);  // 600
        value->setFont(semibold);
        value->setMinimumWidth(
            value->fontMetrics().horizontalAdvance(QStringLiteral("Continue is pending")));
        grid->addWidget(value, row, 1);
        return value;
    };
    m_cln_registered = add_line(0, "Client Service Registered:", 1050);
    m_cln_state = add_line(1, "Client Service Status:", 1051);
    m_srv_registered = add_line(2, "Server Service Registered:", 1048);
    m_srv_state = add_line(3, "Server Service Status:", 1049);
    return group;
}

QWidget* CQKDlg::buildControlGroup() {
    auto* group = new QGroupBox(QStringLiteral("Control"), this);
    group->setObjectName(id_name(1014));
    auto* grid = new QGridLayout(group);
    m_start_client = command_button(1003, "Start Client", group);
    m_stop_client = command_button(1001, "Stop Client", group);
    m_start_server = command_button(1004, "Start Server", group);
    m_stop_server = command_button(1002, "Stop Server", group);
    QPushButton* about = command_button(1006, "About", group);
    QPushButton* exit = command_button(1007, "Exit", group);
    grid->addWidget(m_start_client, 0, 0);
    grid->addWidget(m_stop_client, 0, 1);
    grid->addWidget(m_start_server, 1, 0);
    grid->addWidget(m_stop_server, 1, 1);
    grid->addWidget(about, 2, 0);
    grid->addWidget(exit, 2, 1);
    for (QPushButton* button : {m_start_client, m_stop_client, m_start_server, m_stop_server}) {
        button->setEnabled(false);  // until the first snapshot tells the states
        button->setMinimumWidth(110);
    }
    connect(m_start_client, &QPushButton::clicked, this, &CQKDlg::OnBnClickedButtonStartClient);
    connect(m_stop_client, &QPushButton::clicked, this, &CQKDlg::OnBnClickedButtonStopClient);
    connect(m_start_server, &QPushButton::clicked, this, &CQKDlg::OnBnClickedButtonStartServer);
    connect(m_stop_server, &QPushButton::clicked, this, &CQKDlg::OnBnClickedButtonStopServer);
    connect(about, &QPushButton::clicked, this, &CQKDlg::OnAbout);
    connect(exit, &QPushButton::clicked, this, &CQKDlg::OnClose);
    return group;
}

QWidget* CQKDlg::buildPropertiesGroup() {
    auto* group = new QGroupBox(QStringLiteral("Properties"), this);
    group->setObjectName(id_name(1015));
    auto* layout = new QVBoxLayout(group);
    auto* placeholder = new QWidget(group);
    placeholder->setObjectName(id_name(1021));
    auto* inner = new QVBoxLayout(placeholder);
    inner->setContentsMargins(0, 0, 0, 0);
    m_tabs = new CQKTabCtrl(placeholder);
    m_tabs->setObjectName(id_name(17777));
    inner->addWidget(m_tabs);
    layout->addWidget(placeholder);
    return group;
}

QWidget* CQKDlg::buildLogGroup() {
    auto* group = new QGroupBox(QStringLiteral("Log"), this);
    auto* layout = new QVBoxLayout(group);
    m_log = new CQKLogList(group);
    m_log->setObjectName(id_name(1052));
    m_log->setToolTip(QStringLiteral("Gui Log"));
    m_log->setMinimumHeight(160);
    layout->addWidget(m_log);
    return group;
}

CQKDlg::ServiceActions CQKDlg::addServiceActions(QMenu* menu) {
    const QIcon client = qk_icon(QKIcon::client);
    const QIcon server = qk_icon(QKIcon::server);
    ServiceActions actions;
    actions.start_client = command_action(menu, 32775, "Start Client", client);
    actions.stop_client = command_action(menu, 32776, "Stop Client", client);
    menu->addSeparator();
    actions.start_server = command_action(menu, 32773, "Start Server", server);
    actions.stop_server = command_action(menu, 32774, "Stop Server", server);
    connect(actions.start_client, &QAction::triggered, this, &CQKDlg::OnBnClickedButtonStartClient);
    connect(actions.stop_client, &QAction::triggered, this, &CQKDlg::OnBnClickedButtonStopClient);
    connect(actions.start_server, &QAction::triggered, this, &CQKDlg::OnBnClickedButtonStartServer);
    connect(actions.stop_server, &QAction::triggered, this, &CQKDlg::OnBnClickedButtonStopServer);
    for (QAction* action :
         {actions.start_client, actions.stop_client, actions.start_server, actions.stop_server})
        action->setEnabled(false);
    return actions;
}

void CQKDlg::InitMenus() {
    menuBar()->setObjectName(id_name(131));
    QMenu* control = menuBar()->addMenu(QStringLiteral("Control"));
    m_main_actions = addServiceActions(control);
    control->addSeparator();
    connect(command_action(control, 32777, "Exit"), &QAction::triggered, this, &CQKDlg::OnClose);
    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    connect(command_action(help, 32772, "About"), &QAction::triggered, this, &CQKDlg::OnAbout);

    m_tray_menu = new QMenu(this);
    m_tray_menu->setObjectName(id_name(132));
    connect(command_action(m_tray_menu, 32778, "Tray/Untray", qk_icon(QKIcon::settings)),
            &QAction::triggered, this, &CQKDlg::OnTrayTray);
    m_tray_menu->addSeparator();
    m_tray_actions = addServiceActions(m_tray_menu);
    m_tray_menu->addSeparator();
    connect(command_action(m_tray_menu, 32772, "About"), &QAction::triggered, this,
            &CQKDlg::OnAbout);
    m_tray_menu->addSeparator();
    connect(command_action(m_tray_menu, 32777, "Exit"), &QAction::triggered, this,
            &CQKDlg::OnClose);
    initTrayIcon();
}

void CQKDlg::initTrayIcon() {
    QKLogTag tag = tag_of("CQKDlg::InitMenus()");
    std::string tip = kQKProductName;
    if (tip.size() > kMaxTipLength) {
        log_message(LOG_LEVEL_ERROR, &tag, "Error of copy string to m_icon_data->szTip");
        tip.resize(kMaxTipLength);
    }
    m_tray = new QSystemTrayIcon(qk_icon(QKIcon::program), this);
    m_tray->setToolTip(QString::fromUtf8(tip.c_str()));
    m_tray->setContextMenu(m_tray_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, &CQKDlg::onTrayActivated);
    // Without a notification area the icon stays hidden and minimising stays ordinary.
    const bool shown = QSystemTrayIcon::isSystemTrayAvailable();
    if (shown)
        m_tray->show();
    log_message(LOG_LEVEL_DEBUG, &tag, "Result of call Shell_NotifyIcon = %d", shown ? 1 : 0);
}

void CQKDlg::initTasks() {
    QKLogTag tag = tag_of("CQKDlg::OnInitDialog()");
    qk_run_reporting(&tag, [&] {
        m_control_task = new CQKControlTask;
        m_tabs->setControlTask(m_control_task.get());
        m_tabs->create();
        m_poller =
            new CQKStatusesTask(&m_mailbox, m_options.poll_period_ms, m_options.manager_factory);
        // The task manager owns one reference, the window another: the snapshot's address
        // stays valid until the window goes.
        m_task_manager.start(m_poller.duplicate());
        m_task_manager.start(m_control_task.duplicate());
        connect(m_tabs, &CQKTabCtrl::switchTabCtrl, this, &CQKDlg::OnSwitchTabCtrl,
                Qt::QueuedConnection);
        m_tabs->registerMainWindow();
    });
}

// ---- messages from the worker threads ----

void CQKDlg::drainMailbox() {
    m_drain_pending = false;
    for (SQKGuiMessage& message : m_mailbox.takeAll()) {
        if (m_destroying)
            return;  // the tasks are gone, and with them what the messages point at
        switch (message.code) {
            case WM_ADD_GUI_LOG_MESSAGE:
                if (message.line)
                    OnAddGuiLogMessage(*message.line);
                break;
            case WM_SERVICES_STATUSES:
                OnUpdateStatuses(message.statuses);
                break;
            case WM_PROC_CTRL:
                OnProcCtrl(std::move(message.ctrl));
                break;
        }
    }
}

void CQKDlg::OnAddGuiLogMessage(const SQKGuiLogLine& line) {
    QKLogTag tag = qk_make_tag("CQKDlg::OnAddGuiLogMessage()");
    qk_run_reporting(&tag, [&] {
        m_log->addLine(QString::fromUtf16(line.m_time), QString::fromUtf16(line.m_message));
    });
}

void CQKDlg::OnUpdateStatuses(CQKStatusesTask* poller) {
    if (poller == nullptr)
        return;
    QKLogTag tag = qk_make_tag("CQKDlg::OnUpdateStatuses()");
    qk_run_reporting(&tag, [&] {
        {
            Poco::Mutex::ScopedLock lock(poller->mutex());
            m_statuses = poller->snapshot();
        }
        applyStatuses(m_statuses);
    });
}

void CQKDlg::applyStatuses(const SQKServicesStatuses& statuses) {
    const auto yes_no = [](std::uint8_t registered) {
        return registered ? QStringLiteral("Yes") : QStringLiteral("No");
    };
    m_cln_registered->setText(yes_no(statuses.cln_registered));
    m_cln_state->setText(QString::fromLatin1(CQKStatusesTask::stateText(statuses.cln_state)));
    m_srv_registered->setText(yes_no(statuses.srv_registered));
    m_srv_state->setText(QString::fromLatin1(CQKStatusesTask::stateText(statuses.srv_state)));

    const bool start_client = statuses.cln_registered && statuses.cln_state == QK_SERVICE_STOPPED;
    const bool stop_client = statuses.cln_registered && statuses.cln_state == QK_SERVICE_RUNNING;
    const bool start_server = statuses.srv_registered && statuses.srv_state == QK_SERVICE_STOPPED;
    const bool stop_server = statuses.srv_registered && statuses.srv_state == QK_SERVICE_RUNNING;
    enableButtons({start_client, stop_client, start_server, stop_server});
    for (const ServiceActions* actions : {&m_main_actions, &m_tray_actions}) {
        if (actions == &m_tray_actions && !m_tray_menu_exists)
            continue;
        actions->start_client->setEnabled(start_client);
        actions->stop_client->setEnabled(stop_client);
        actions->start_server->setEnabled(start_server);
        actions->stop_server->setEnabled(stop_server);
    }
}

// A command's button goes disabled once its service's state moves, and Qt would pass the
// focus on along the chain, possibly to a button of the other service: a second Space would
// then command that service. The focus waits on the central widget (which takes no keys)
// instead and goes to the button that undoes the command (start <-> stop of the same
// service) as soon as that one is enabled, unless the user has moved it meanwhile.
void CQKDlg::enableButtons(const bool (&enabled)[4]) {
    QPushButton* const buttons[4] = {m_start_client, m_stop_client, m_start_server, m_stop_server};
    for (int i = 0; i < 4; ++i) {
        if (!enabled[i] && buttons[i]->isEnabled() && focusWidget() == buttons[i]) {
            m_focus_heir = buttons[i ^ 1];  // the pairs are 0-1 and 2-3
            centralWidget()->setFocus(Qt::OtherFocusReason);
        }
    }
    for (int i = 0; i < 4; ++i)
        buttons[i]->setEnabled(enabled[i]);
    if (m_focus_heir == nullptr || !m_focus_heir->isEnabled())
        return;
    if (focusWidget() == centralWidget())
        m_focus_heir->setFocus(Qt::OtherFocusReason);
    m_focus_heir = nullptr;
}

void CQKDlg::OnProcCtrl(std::unique_ptr<SQKConfigCodeCtrl> request) {
    QKLogTag tag = qk_make_tag("CQKDlg::OnProcCtrl()");
    if (!request)
        return;
    qk_run_reporting(&tag, [&] {
        switch (request->config_code_ctrl) {
            case read_file_conf_clns:
            case read_conf_clns:
                if (const SQKClnSCtrl* cln = request->payload<SQKClnSCtrl>())
                    m_tabs->ClnsCtrlToDlg(*cln);
                break;
            case read_file_conf_srvs:
            case read_conf_srvs:
                if (const SQKSrvSCtrl* srv = request->payload<SQKSrvSCtrl>())
                    m_tabs->SrvsCtrlToDlg(*srv);
                break;
            case read_file_gui_params:
                if (const SQKGuiParams* params = request->payload<SQKGuiParams>())
                    m_tabs->GuiParamsToDlg(*params);
                break;
            default:
                break;
        }
    });
}

void CQKDlg::OnSwitchTabCtrl(int tab) {
    QKLogTag tag = tag_of("CQKDlg::OnSwitchTabCtrl()");
    qk_run_reporting(&tag, [&] {
        if (leavePage())
            m_tabs->SwitchTab(tab);
    });
}

// Whether the active page may be left; its edits are then applied or dropped.
bool CQKDlg::leavePage() {
    SQKConfigCodeCtrl::Payload payload;
    if (!m_tabs->DlgToCtrl(payload))
        return false;
    m_tabs->ApplyCtrl(std::move(payload));
    return true;
}

// ---- start and stop ----

void CQKDlg::OnBnClickedButtonStartClient() {
    runController("CQKDlg::OnBnClickedButtonStartClient()", kStartCommand, kClnService, kLaunched);
}

void CQKDlg::OnBnClickedButtonStopClient() {
    runController("CQKDlg::OnBnClickedButtonStopClient()", kStopCommand, kClnService,
                  kStopLaunched);
}

void CQKDlg::OnBnClickedButtonStartServer() {
    runController("CQKDlg::OnBnClickedButtonStartServer()", kStartCommand, kSrvService, kLaunched);
}

void CQKDlg::OnBnClickedButtonStopServer() {
    runController("CQKDlg::OnBnClickedButtonStopServer()", kStopCommand, kSrvService,
                  kStopLaunched);
}

// Runs qk_relay_ctrl with the command for the service and waits for its end; the status
// poller shows what became of the service.
void CQKDlg::runController(const char* tag_name, const std::string& command,
                           const std::string& service, const char* done_format) {
    QKLogTag tag = tag_of(tag_name);
    CQKGuiLog& gui = CQKGuiLog::instance();
    const auto refuse = [&](const char* text) {
        gui.addLogMessage(text);
        QMessageBox::critical(this, kQKBoxTitle, QString::fromLatin1(text));
    };
    if (m_options.ctrl_path.empty())
        return refuse("QK Relay Control application hasn't been defined...");
    if (!is_file(m_options.ctrl_path))
        return refuse("QK Relay Control application hasn't been found...");
    qk_run_reporting(&tag, [&] {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        int exit_code = -1;
        try {
            Poco::ProcessHandle controller =
                Poco::Process::launch(m_options.ctrl_path, {command + service});
            exit_code = controller.wait();
        } catch (...) {
            QApplication::restoreOverrideCursor();
            throw;
        }
        QApplication::restoreOverrideCursor();
        gui.addLogMessageFrmt(done_format, service.c_str());
        // A refusal (already running, not registered) is worth a line of its own.
        if (exit_code != 0)
            gui.addLogMessageFrmt("QK Relay Control application has ended with exit code %d",
                                  exit_code);
    });
}

// ---- About ----

void CQKDlg::OnAbout() {
    QKLogTag tag = tag_of("CQKDlg::OnAbout()");
    qk_run_reporting(&tag, [&] {
        setTrayMenuEnabled(false);
        CQKAboutDlg about(this);
        about.exec();
        setTrayMenuEnabled(true);
    });
}

void CQKDlg::setTrayMenuEnabled(bool enabled) {
    m_tray_menu_exists = enabled;
    for (QAction* action : m_tray_menu->actions())
        action->setEnabled(enabled);
    // The service commands follow the last known states again at once.
    if (enabled && m_poller)
        applyStatuses(m_statuses);
}

// ---- tray and minimising ----

void CQKDlg::onTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // The right button opens the context menu by itself.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        showFromTray();
}

void CQKDlg::OnTrayTray() {
    QKLogTag tag = tag_of("CQKDlg::OnTrayTray()");
    log_message(LOG_LEVEL_DEBUG, &tag, "m_show_window = %i", m_show_window);
    if (m_show_window)
        minimiseToTray();
    else
        showFromTray();
}

void CQKDlg::showMinimisedAtStart() {
    m_show_window = 0;
    if (!trayInUse()) {
        m_minimise_approved = true;
        showMinimized();
    }
}

void CQKDlg::showFromTray() {
    m_show_window = 1;
    showNormal();
    raise();
    activateWindow();
}

// Our own minimise (Tray/Untray): the pending edits are settled first.
void CQKDlg::minimiseToTray() {
    if (!leavePage())
        return;
    if (trayInUse()) {
        hideToTray();
        return;
    }
    m_minimise_approved = true;
    showMinimized();
}

// The window manager minimised the window: settle the pending edits, or take the minimise
// back when the page may not be left.
void CQKDlg::OnSysMinimize() {
    QKLogTag tag = tag_of("CQKDlg::OnSysCommand()");
    qk_run_reporting(&tag, [&] {
        if (!isMinimized())
            return;
        if (!leavePage()) {
            showNormal();
            return;
        }
        hideToTray();
    });
}

void CQKDlg::hideToTray() {
    m_show_window = 0;
    if (!trayInUse())
        return;  // an ordinary minimise: the task bar brings it back
    QKLogTag tag = qk_make_tag("CQKDlg::OnSize()");
    const bool was_visible = isVisible();
    hide();
    log_message(LOG_LEVEL_INFO, &tag, "ShowWindow() = %i", was_visible ? 1 : 0);
}

void CQKDlg::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (!isMinimized()) {
        if (isVisible())
            m_show_window = 1;
        return;
    }
    logSize(kSizeMinimized, QSize(0, 0));
    if (m_minimise_approved) {
        m_minimise_approved = false;
        hideToTray();
        return;
    }
    // Out of the event: settling the edits may ask a question.
    QTimer::singleShot(0, this, &CQKDlg::OnSysMinimize);
}

void CQKDlg::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    logSize(isMaximized() ? kSizeMaximized : kSizeRestored, size());
}

void CQKDlg::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    QKLogTag tag = qk_make_tag("CQKDlg::OnMove()");
    log_message(LOG_LEVEL_TRACE, &tag, "CQKDlg::OnMove(): x = %d y = %d", x(), y());
}

void CQKDlg::logSize(int type, const QSize& size) {
    QKLogTag tag = qk_make_tag("CQKDlg::OnSize()");
    log_message(LOG_LEVEL_TRACE, &tag, "CQKDlg::OnSize(): nType = %d cx = %d cy = %d", type,
                size.width(), size.height());
}

// ---- closing ----

void CQKDlg::closeEvent(QCloseEvent* event) {
    if (m_destroying) {
        event->accept();
        return;
    }
    event->ignore();
    OnClose();
}

void CQKDlg::OnClose() {
    QKLogTag tag = tag_of("CQKDlg::OnClose()");
    if (m_destroying)
        return;
    qk_run_reporting(&tag, [&] {
        if (!leavePage())
            return;
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, kQKBoxTitle,
            QStringLiteral("Application '%1' will be closed. Are you sure?").arg(kQKBoxTitle),
            QMessageBox::Yes | QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
        endTasks();
        removeTrayIcon();
        hide();
        Q_EMIT closed();
    });
}

// Destroying flag, GUI log and configuration control unregistered, tasks cancelled and
// joined: after this no worker touches the window.
void CQKDlg::endTasks() {
    if (m_destroying)
        return;
    m_destroying = true;
    CQKGuiLog::instance().setWindow(nullptr);
    CQKConfigControl::instance().setWindow(nullptr);
    m_task_manager.cancelAll();
    m_task_manager.joinAll();
}

void CQKDlg::removeTrayIcon() {
    if (m_tray == nullptr)
        return;
    QKLogTag tag = tag_of("CQKDlg::OnDestroy()");
    const bool shown = m_tray->isVisible();
    m_tray->hide();
    delete m_tray;
    m_tray = nullptr;
    log_message(LOG_LEVEL_DEBUG, &tag, "Result of Shell_NotifyIcon = %i", shown ? 1 : 0);
    log_message(LOG_LEVEL_DEBUG, &tag, "Last Error = 0x%X", 0u);
    log_message(LOG_LEVEL_DEBUG, &tag, "Exit...");
}

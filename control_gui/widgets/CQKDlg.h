// The main window of the control program, "QK Relay Control W": whether the two services are
// registered and running, their start and stop through qk_relay_ctrl, the tab control with
// the parameter pages, and the GUI log pane. It lives in the notification area where the
// desktop has one: minimising hides it, the tray icon brings it back; elsewhere minimising is
// an ordinary minimise, so the window never becomes unreachable.
//
// Every control and menu command carries its numeric identifier as its object name (the
// "Start Client" button is "1003", its menu command "32775").
//
// Threads: the window runs on the user-interface thread. The control queue, the status
// poller and the configuration control reach it only through its mailbox, which it drains
// on its own thread; the status snapshot is read under the poller's mutex. Start and stop
// block the user-interface thread until qk_relay_ctrl has ended.
//
// Lifetime: the constructor registers the window with the configuration control and the GUI
// log and starts both tasks; closing (after the question) or destroying it unregisters it
// and cancels and joins the tasks before anything else goes.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/TaskManager.h>
#include <Poco/ThreadPool.h>

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <atomic>
#include <memory>
#include <string>

#include "CQKControlTask.h"
#include "CQKGuiMailbox.h"
#include "CQKStatusesTask.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class CQKLogList;
class CQKTabCtrl;

struct SQKDlgOptions {
    std::string ctrl_path;       // qk_relay_ctrl; empty when it was not found
    long poll_period_ms = 3000;  // of the status poller
    CQKStatusesTask::ManagerFactory manager_factory = CQKServiceManager::create;
};

class CQKDlg : public QMainWindow {
    Q_OBJECT
public:
    explicit CQKDlg(SQKDlgOptions options, QWidget* parent = nullptr);
    ~CQKDlg() override;

    // Shows the window minimised: where the tray is used only the tray icon shows.
    void showMinimisedAtStart();

    // The control queue the pages feed (null when the tasks could not be created).
    CQKControlTask* controlTask() { return m_control_task.get(); }
    // Tasks of the window's task manager not yet finished.
    int runningTasks() const { return m_task_manager.count(); }

    // Command handlers, also bound to the buttons and menu commands.
    void OnBnClickedButtonStartClient();
    void OnBnClickedButtonStopClient();
    void OnBnClickedButtonStartServer();
    void OnBnClickedButtonStopServer();
    void OnAbout();
    // The close flow: pending edits, the question, then the end of the window.
    void OnClose();
    void OnTrayTray();
    void OnSwitchTabCtrl(int tab);

Q_SIGNALS:
    // The user closed the window: its tasks have ended and it is hidden; the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    // The commands of the main menu and of the tray menu that follow the services' states.
    struct ServiceActions {
        QAction* start_client = nullptr;
        QAction* stop_client = nullptr;
        QAction* start_server = nullptr;
        QAction* stop_server = nullptr;
    };

    void buildControls();
    QWidget* buildStatusGroup();
    QWidget* buildControlGroup();
    QWidget* buildPropertiesGroup();
    QWidget* buildLogGroup();
    void InitMenus();
    ServiceActions addServiceActions(QMenu* menu);
    void initTrayIcon();
    void initTasks();

    void drainMailbox();
    void OnAddGuiLogMessage(const SQKGuiLogLine& line);
    void OnUpdateStatuses(CQKStatusesTask* poller);
    void OnProcCtrl(std::unique_ptr<SQKConfigCodeCtrl> request);
    void applyStatuses(const SQKServicesStatuses& statuses);
    void enableButtons(const bool (&enabled)[4]);

    void runController(const char* tag_name, const std::string& command, const std::string& service,
                       const char* done_format);
    bool leavePage();
    void OnSysMinimize();
    void minimiseToTray();
    void hideToTray();
    void showFromTray();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    bool trayInUse() const { return m_tray != nullptr && m_tray->isVisible(); }
    void setTrayMenuEnabled(bool enabled);
    void endTasks();
    void removeTrayIcon();
    void logSize(int type, const QSize& size);

    SQKDlgOptions m_options;
    CQKGuiMailbox m_mailbox;
    std::atomic<bool> m_drain_pending{false};

    QPushButton* m_start_client = nullptr;
    QPushButton* m_stop_client = nullptr;
    QPushButton* m_start_server = nullptr;
    QPushButton* m_stop_server = nullptr;
    QPushButton* m_focus_heir = nullptr;  // takes the focus once enabled (see enableButtons)
    QLabel* m_cln_registered = nullptr;
    QLabel* m_cln_state = nullptr;
    QLabel* m_srv_registered = nullptr;
    QLabel* m_srv_state = nullptr;
    CQKTabCtrl* m_tabs = nullptr;
    CQKLogList* m_log = nullptr;

    ServiceActions m_main_actions;
    ServiceActions m_tray_actions;
    QMenu* m_tray_menu = nullptr;
    QSystemTrayIcon* m_tray = nullptr;

    Poco::ThreadPool m_pool{2, 2};  // the window's own, so joining waits for its tasks only
    Poco::TaskManager m_task_manager{m_pool};
    Poco::AutoPtr<CQKControlTask> m_control_task;
    Poco::AutoPtr<CQKStatusesTask> m_poller;
    SQKServicesStatuses m_statuses;  // the last snapshot shown

    int m_show_window = 1;             // 1 while shown normally, 0 while minimised
    bool m_tray_menu_exists = true;    // false while the About box is open
    bool m_minimise_approved = false;  // the pending edits were settled before our minimise
    bool m_destroying = false;
};

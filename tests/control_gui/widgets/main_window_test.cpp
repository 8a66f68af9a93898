// The main window of qk_relay_w as a user meets it, on Qt's offscreen platform: the GUI log
// pane, the commands following the services' states, start and stop of the real server
// service through the real qk_relay_ctrl, the close question, and the single instance of
// the real program, which ends cleanly on SIGTERM.
#include <signal.h>
#include <stdlib.h>

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "BoxAnswerer.h"
#include "CQKAboutDlg.h"
#include "CQKDlg.h"
#include "CQKGuiLog.h"
#include "CQKLogList.h"
#include "CQKWApp.h"
#include "GuiTree.h"
#include "system/CQKDirectManager.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 20000;

// Service states the test sets and a stand-in service manager reports.
struct FakeServices {
    std::atomic<bool> cln_registered{false};
    std::atomic<bool> srv_registered{false};
    std::atomic<std::uint32_t> cln_state{QK_SERVICE_NO_STATE};
    std::atomic<std::uint32_t> srv_state{QK_SERVICE_NO_STATE};
};

class FakeManager : public CQKServiceManager {
public:
    FakeManager(const std::string& name, FakeServices& services)
        : CQKServiceManager(name), m_services(services) {}
    bool isRegistered() override {
        return client() ? m_services.cln_registered : m_services.srv_registered;
    }
    bool isRunning() override { return state() == QK_SERVICE_RUNNING; }
    void start() override { throw Poco::IllegalStateException("not in this test"); }
    void stop() override { throw Poco::IllegalStateException("not in this test"); }
    std::uint32_t state() override {
        if (!isRegistered())
            return QK_SERVICE_NO_STATE;
        return client() ? m_services.cln_state : m_services.srv_state;
    }

private:
    bool client() const { return name() == "qk_relay_clnsvc"; }
    FakeServices& m_services;
};

QStringList messages(CQKDlg& dlg) {
    auto* list = dlg.findChild<CQKLogList*>(QStringLiteral("1052"));
    QStringList texts;
    for (int row = 0; row < list->rowCount(); ++row)
        texts << list->item(row, 1)->text();
    return texts;
}

QString text_of(CQKDlg& dlg, const char* id) {
    return dlg.findChild<QLabel*>(QString::fromLatin1(id))->text();
}

QPushButton* button(CQKDlg& dlg, const char* id) {
    return dlg.findChild<QPushButton*>(QString::fromLatin1(id));
}

// The four service commands of a menu, start client first, as enabled flags.
QVector<bool> commands_enabled(QWidget* menu) {
    QVector<bool> enabled;
    for (const char* id : {"32775", "32776", "32773", "32774"})
        enabled << menu->findChild<QAction*>(QString::fromLatin1(id))->isEnabled();
    return enabled;
}

QVector<bool> buttons_enabled(CQKDlg& dlg) {
    QVector<bool> enabled;
    for (const char* id : {"1003", "1001", "1004", "1002"})
        enabled << button(dlg, id)->isEnabled();
    return enabled;
}

// Runs check on the next modal dialog of type T, then accepts it.
template <typename T>
void on_next_modal(std::function<void(T*)> check) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, check] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        timer->stop();
        timer->deleteLater();
        check(dialog);
        dialog->accept();
    });
    timer->start();
}

// Kills the daemon of a pid file when the test leaves, however it leaves.
struct DaemonReaper {
    std::string pid_file;
    ~DaemonReaper() {
        const std::optional<std::string> text = ProgramRunner::readFile(pid_file);
        const pid_t pid = text ? std::atoi(text->c_str()) : 0;
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ProgramRunner::waitUntil([&] { return ::kill(pid, 0) != 0; }, 10s);
    }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiTree> m_tree;

    std::unique_ptr<CQKDlg> makeWindow(SQKDlgOptions options) {
        auto dlg = std::make_unique<CQKDlg>(std::move(options));
        dlg->show();
        return dlg;
    }
    // Direct managers over the tree's programs, with pid files in the scratch run directory.
    CQKStatusesTask::ManagerFactory treeManagers() {
        const std::string bin = m_tree->runner().path("bin");
        const std::string run = runDir();
        return [bin, run](const std::string& name) {
            return std::make_unique<CQKDirectManager>(name, bin, run, 10s);
        };
    }
    std::string runDir() const { return m_tree->runner().scratch("run"); }
    // Waits until the control queue has answered everything queued so far (the pages' first
    // reads included): a settings read queued now comes back after them.
    bool settle(CQKDlg& dlg) {
        const int before =
            messages(dlg).count(QStringLiteral("GUI Parameters were read form xml file"));
        auto request = std::make_unique<SQKConfigCodeCtrl>();
        request->config_code_ctrl = read_file_gui_params;
        dlg.controlTask()->addConfgCodeCtrl(std::move(request));
        return QTest::qWaitFor(
            [&] {
                return messages(dlg).count(
                           QStringLiteral("GUI Parameters were read form xml file")) > before;
            },
            kWaitMs);
    }

private Q_SLOTS:
    void init() {
        m_tree = std::make_unique<GuiTree>();
        QVERIFY(m_tree->ok());
        m_tree->writeGuiConfig("0", "0");
        fs::create_directories(runDir());
        ::setenv("XDG_CONFIG_HOME", m_tree->runner().scratch("config").c_str(), 1);
    }
    void cleanup() { m_tree.reset(); }

    void logPaneKeepsTheNewest500Lines() {
        CQKGuiLog::instance().setWindow(nullptr);
        QVERIFY(!CQKGuiLog::instance().addLogMessage("before the window"));
        auto dlg = makeWindow({});
        QTRY_VERIFY(messages(*dlg).contains(QStringLiteral("Application is started")));

        std::thread worker([] {
            for (int i = 0; i < 600; ++i)
                CQKGuiLog::instance().addLogMessageFrmt("line %d", i);
        });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(messages(*dlg).contains(QStringLiteral("line 599")), kWaitMs);
        const QStringList texts = messages(*dlg);
        QCOMPARE(texts.size(), CQKLogList::kMaxLines);
        QVERIFY(!texts.contains(QStringLiteral("before the window")));
        QVERIFY(!texts.contains(QStringLiteral("Application is started")));
        QVERIFY(!texts.contains(QStringLiteral("line 99")));
        QVERIFY(texts.indexOf(QStringLiteral("line 598")) <
                texts.indexOf(QStringLiteral("line 599")));

        auto* list = dlg->findChild<CQKLogList*>(QStringLiteral("1052"));
        // The newest of these lines (the control queue may add its own after it).
        const int newest = texts.lastIndexOf(QRegularExpression(QStringLiteral("line \\d+")));
        QTRY_VERIFY(
            list->viewport()->rect().intersects(list->visualItemRect(list->item(newest, 1))));
        QCOMPARE(list->horizontalHeaderItem(0)->text(), QStringLiteral("Time"));
        QCOMPARE(list->horizontalHeaderItem(1)->text(), QStringLiteral("Message"));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"))
                    .match(list->item(newest, 0)->text())
                    .hasMatch());
    }

    void commandsFollowTheServicesStates() {
        FakeServices services;
        SQKDlgOptions options;
        options.poll_period_ms = 20;
        options.manager_factory = [&services](const std::string& name) {
            return std::make_unique<FakeManager>(name, services);
        };
        auto dlg = makeWindow(options);
        QWidget* main_menu = dlg->menuBar();
        QWidget* tray_menu = dlg->findChild<QMenu*>(QStringLiteral("132"));

        struct Case {
            bool cln_registered;
            std::uint32_t cln_state;
            bool srv_registered;
            std::uint32_t srv_state;
            QStringList labels;     // 1050, 1051, 1048, 1049
            QVector<bool> enabled;  // start client, stop client, start server, stop server
        } cases[] = {
            {false, 0, false, 0, {"No", "", "No", ""}, {false, false, false, false}},
            {true,
             QK_SERVICE_STOPPED,
             true,
             QK_SERVICE_RUNNING,
             {"Yes", "Stopped", "Yes", "Running"},
             {true, false, false, true}},
            {true,
             QK_SERVICE_STARTING,
             true,
             QK_SERVICE_STOPPING,
             {"Yes", "Starting", "Yes", "Stopping"},
             {false, false, false, false}},
            {true,
             QK_SERVICE_RUNNING,
             true,
             QK_SERVICE_STOPPED,
             {"Yes", "Running", "Yes", "Stopped"},
             {false, true, true, false}},
        };
        for (const Case& c : cases) {
            services.cln_registered = c.cln_registered;
            services.cln_state = c.cln_state;
            services.srv_registered = c.srv_registered;
            services.srv_state = c.srv_state;
            QTRY_COMPARE((QStringList{text_of(*dlg, "1050"), text_of(*dlg, "1051"),
                                      text_of(*dlg, "1048"), text_of(*dlg, "1049")}),
                         c.labels);
            QCOMPARE(buttons_enabled(*dlg), c.enabled);
            QCOMPARE(commands_enabled(main_menu), c.enabled);
            QCOMPARE(commands_enabled(tray_menu), c.enabled);
        }
        QCOMPARE(dlg->findChild<QLabel*>(QStringLiteral("1049"))->font().weight(), QFont::DemiBold);

        // While the About box is open the tray menu is greyed; afterwards it follows the
        // states again.
        bool checked = false;
        on_next_modal<CQKAboutDlg>([&](CQKAboutDlg* about) {
            QCOMPARE(about->findChild<QLabel*>(QStringLiteral("1026"))->text(),
                     QStringLiteral("QK Relay Control W"));
            QCOMPARE(about->findChild<QLabel*>(QStringLiteral("1023"))->text(),
                     QStringLiteral("0.0.11.11"));
            for (QAction* action : tray_menu->actions())
                QVERIFY(!action->isEnabled());
            checked = true;
        });
        button(*dlg, "1006")->click();
        QVERIFY(checked);
        QCOMPARE(commands_enabled(tray_menu), cases[3].enabled);
        QVERIFY(tray_menu->findChild<QAction*>(QStringLiteral("32778"))->isEnabled());
    }

    // A stopped client's disabled "Stop Client" hands the focus to "Start Client" once it is
    // enabled, never to "Stop Server": a second Space must not stop the other service.
    void focusPassesToTheButtonThatUndoesTheCommand() {
        FakeServices services;
        services.cln_registered = services.srv_registered = true;
        services.cln_state = services.srv_state = QK_SERVICE_RUNNING;
        SQKDlgOptions options;
        options.poll_period_ms = 20;
        options.manager_factory = [&services](const std::string& name) {
            return std::make_unique<FakeManager>(name, services);
        };
        auto dlg = makeWindow(options);
        QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
        QTRY_VERIFY(button(*dlg, "1001")->isEnabled());
        button(*dlg, "1001")->setFocus();
        QVERIFY(button(*dlg, "1001")->hasFocus());

        services.cln_state = QK_SERVICE_STOPPING;
        QTRY_COMPARE(text_of(*dlg, "1051"), QStringLiteral("Stopping"));
        QVERIFY(!button(*dlg, "1002")->hasFocus());
        services.cln_state = QK_SERVICE_STOPPED;
        QTRY_VERIFY(button(*dlg, "1003")->hasFocus());
        QVERIFY(button(*dlg, "1002")->isEnabled());
    }

    void missingControllerStartsNothing() {
        const std::pair<std::string, QString> cases[] = {
            {"", "QK Relay Control application hasn't been defined..."},
            {m_tree->runner().scratch("gone/qk_relay_ctrl"),
             "QK Relay Control application hasn't been found..."}};
        for (const auto& [path, text] : cases) {
            SQKDlgOptions options;
            options.ctrl_path = path;
            options.poll_period_ms = 50;
            options.manager_factory = treeManagers();
            auto dlg = makeWindow(options);
            QTRY_VERIFY_WITH_TIMEOUT(button(*dlg, "1004")->isEnabled(), kWaitMs);
            BoxAnswerer answer(QMessageBox::Ok);
            button(*dlg, "1004")->click();
            QVERIFY(answer.answered());
            QCOMPARE(answer.text(), text);
            QCOMPARE(answer.title(), QStringLiteral("QK Relay Control W"));
            QTRY_VERIFY(messages(*dlg).contains(text));
            QVERIFY(fs::is_empty(runDir()));
        }
    }

    void startsAndStopsTheServerThroughTheController() {
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
        ProgramRunner::writeFile(
            m_tree->path("common/qk_relay_srvsvc.xml"),
            "<config><control_code>1</control_code><in_dir>" + m_tree->runner().scratch("in") +
                "</in_dir><back_dir>" + m_tree->runner().scratch("back") + "</back_dir><port>" +
                std::to_string(ports[0]) + "</port><ssl_port>" + std::to_string(ports[1]) +
                "</ssl_port><control_port>0</control_port></config>");
        // qk_relay_ctrl inherits these: the direct manager, pid files in the run directory.
        ::setenv("QK_RELAY_SERVICE_MANAGER", "direct", 1);
        ::setenv("QK_RELAY_RUN_DIR", runDir().c_str(), 1);
        ::setenv("QK_RELAY_PASS_MS", "200", 1);
        DaemonReaper reaper{runDir() + "/qk_relay_srvsvc.pid"};

        SQKDlgOptions options;
        options.ctrl_path = m_tree->runner().path("bin/qk_relay_ctrl");
        options.poll_period_ms = 50;
        options.manager_factory = treeManagers();
        auto dlg = makeWindow(options);
        QTRY_COMPARE_WITH_TIMEOUT(text_of(*dlg, "1049"), QStringLiteral("Stopped"), kWaitMs);
        QCOMPARE(text_of(*dlg, "1048"), QStringLiteral("Yes"));

        button(*dlg, "1004")->click();
        QTRY_VERIFY(
            messages(*dlg).contains(QStringLiteral("QK Relay Control application for launching "
                                                   "Service 'qk_relay_srvsvc' has been launched")));
        QTRY_COMPARE_WITH_TIMEOUT(text_of(*dlg, "1049"), QStringLiteral("Running"), kWaitMs);
        QVERIFY(ProgramRunner::waitForPort(ports[0], 10s));
        QTRY_VERIFY(button(*dlg, "1002")->isEnabled());
        QVERIFY(!button(*dlg, "1004")->isEnabled());

        button(*dlg, "1002")->click();
        QTRY_VERIFY(messages(*dlg).contains(
            QStringLiteral("QK Relay Control application for stopping Service 'qk_relay_srvsvc' "
                           "has been launchaed")));
        QTRY_COMPARE_WITH_TIMEOUT(text_of(*dlg, "1049"), QStringLiteral("Stopped"), kWaitMs);
        QVERIFY(!messages(*dlg).join('\n').contains(QStringLiteral("exit code")));
        QTRY_VERIFY(button(*dlg, "1004")->isEnabled());
    }

    void closeAsksFirstAndEndsTheTasks() {
        auto dlg = makeWindow({});
        QVERIFY(settle(*dlg));
        QSignalSpy closed(dlg.get(), &CQKDlg::closed);
        {
            BoxAnswerer answer(QMessageBox::No);
            button(*dlg, "1007")->click();
            QVERIFY(answer.answered());
            QCOMPARE(
                answer.text(),
                QStringLiteral("Application 'QK Relay Control W' will be closed. Are you sure?"));
        }
        QVERIFY(dlg->isVisible());
        QCOMPARE(dlg->runningTasks(), 2);
        QCOMPARE(closed.count(), 0);

        BoxAnswerer answer(QMessageBox::Yes);
        dlg->close();  // as the window's close box does
        QVERIFY(answer.answered());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->runningTasks(), 0);
        QVERIFY(!CQKGuiLog::instance().addLogMessage("after the window"));
    }

    void secondInstanceIsRefusedAndTheFirstEndsOnSigterm() {
        ProgramRunner& runner = m_tree->runner();
        const std::unique_ptr<RunningProgram> first =
            runner.start("qk_relay_w", {},
                         {{"QT_QPA_PLATFORM", "offscreen"},
                          {"XDG_CONFIG_HOME", runner.scratch("config")},
                          {"QK_RELAY_SERVICE_MANAGER", "direct"},
                          {"QK_RELAY_RUN_DIR", runDir()}});
        const std::string log = runner.path("var/log/orvane/qk_relay_w/qk_relay_w.000.log");
        const auto logged = [&](const char* text) {
            return ProgramRunner::readFile(log).value_or("").find(text) != std::string::npos;
        };
        QVERIFY2(ProgramRunner::waitUntil([&] { return logged("Start CQKRelayWDlg..."); }, 20s),
                 first->err().c_str());

        {
            CQKWApp second;
            BoxAnswerer answer(QMessageBox::Ok);
            QVERIFY(!second.InitInstance());
            QVERIFY(answer.answered());
            QCOMPARE(answer.text(),
                     QStringLiteral("Instance of this application has been launched already..."));
            QCOMPARE(answer.title(), QStringLiteral("qk_relay_w"));
        }
        QVERIFY(first->running());

        first->signal(SIGTERM);
        QCOMPARE(first->waitForExit(20s), std::optional<int>(0));
        QVERIFY(logged("Scanner of services has been stopped."));
        QVERIFY(logged("Finish of Logging..."));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

// The tab control and its three pages against the real control queue and configuration
// control, with the services' XML files in a temporary tree (control ports 0, so every read
// and apply goes to the files). The test plays the main window: it drains the mailbox,
// routes the answers to the pages and switches tabs when the tab control announces a pick.
#include <Poco/TaskManager.h>

#include <QAction>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QWheelEvent>

#include <filesystem>
#include <memory>
#include <vector>

#include "BoxAnswerer.h"
#include "CQKBalloonTip.h"
#include "CQKClientDlg.h"
#include "CQKControlTask.h"
#include "CQKServerDlg.h"
#include "CQKSettingsDlg.h"
#include "CQKTabCtrl.h"
#include "GuiTree.h"
#include "qk_gui_common.h"

namespace fs = std::filesystem;

namespace {

const QString kWrongPort = QStringLiteral("Wrong Port Value; Should be [1,65535]");
const QString kDifferentPorts = QStringLiteral("Port Numbers Should Have Different Values");
const QString kControlPort =
    QStringLiteral("Port Should Differ From Control Ports Of Common Settings");
const QString kSaveQuestion =
    QStringLiteral("Do you want to save the changes you've made in the property pages?");
const QString kRevertQuestion = QStringLiteral("All changes will be lost. Are you sure?");

// What reached the mailbox up to a point: GUI-log lines and the codes of the answers.
struct Seen {
    QStringList lines;
    std::vector<int> codes;
    bool said(const QString& line) const { return lines.contains(line); }
};

// The tip an edit shows, or "" when it shows none.
QString tip_of(const QLineEdit* edit) {
    const CQKBalloonTip* tip = CQKBalloonTip::of(edit);
    return tip != nullptr && tip->isVisible() ? tip->text() : QString();
}

}  // namespace

class PagesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void clientFileIsReadOnlyOnFirstActivation();
    void invalidPageKeepsItsTabAndSwitchAppliesAfterTheQuestion();
    void portsAndAddressesAreValidated();
    void portsOfTheControlListenersAreRefused();
    void directoriesAreCreatedOnValidation();
    void checkBoxClickedTwiceIsNoChange();
    void applyAndRevertAskFirst();
    void answersKeepTheFieldsBeingEdited();

private:
    void writeClientFile(const std::string& address, int port);
    std::string clientFile() const;
    // Pumps events and the mailbox until everything queued so far has been answered.
    Seen settle();
    void route(std::unique_ptr<SQKConfigCodeCtrl> reply);
    void clickTab(int tab);
    template <typename Widget = QLineEdit>
    Widget* control(const char* id) const {
        return m_tabs->findChild<Widget*>(QString::fromLatin1(id));
    }
    static void type(QLineEdit* edit, const QString& text);

    std::unique_ptr<GuiTree> m_tree;
    Poco::TaskManager m_tasks;
    CQKControlTask* m_queue = nullptr;  // owned by m_tasks
    std::unique_ptr<CQKTabCtrl> m_tabs;
};

void PagesTest::initTestCase() {
    m_tree = std::make_unique<GuiTree>();
    QVERIFY(m_tree->ok());
    m_queue = new CQKControlTask;
    m_tasks.start(m_queue);
}

void PagesTest::cleanupTestCase() {
    m_tasks.cancelAll();
    m_tasks.joinAll();
    m_tree.reset();
}

void PagesTest::writeClientFile(const std::string& address, int port) {
    const std::string scratch = m_tree->runner().scratch("");
    ProgramRunner::writeFile(
        m_tree->path("common/qk_relay_clnsvc.xml"),
        "<config><control_code>1</control_code><out_dir>" + scratch + "out</out_dir><back_dir>" +
            scratch + "cln_back</back_dir><file></file><server_address>" + address +
            "</server_address><server_port>" + std::to_string(port) +
            "</server_port><use_ssl>false</use_ssl><sub_dirs>true</sub_dirs><control_port>0</"
            "control_port></config>");
}

std::string PagesTest::clientFile() const {
    return ProgramRunner::readFile(m_tree->path("common/qk_relay_clnsvc.xml")).value_or("");
}

void PagesTest::init() {
    const std::string scratch = m_tree->runner().scratch("");
    writeClientFile("127.0.0.1", 5000);
    ProgramRunner::writeFile(m_tree->path("common/qk_relay_srvsvc.xml"),
                             "<config><control_code>1</control_code><in_dir>" + scratch +
                                 "in</in_dir><back_dir>" + scratch +
                                 "srv_back</back_dir><port>6000</port><ssl_port>6001</"
                                 "ssl_port><control_port>0</control_port></config>");
    m_tree->writeGuiConfig("0", "0");

    m_tabs = std::make_unique<CQKTabCtrl>();
    m_tabs->setControlTask(m_queue);
    m_tabs->create();
    // The main window's OnSwitchTabCtrl: leave the page only when its values are valid.
    CQKTabCtrl* tabs = m_tabs.get();
    connect(
        tabs, &CQKTabCtrl::switchTabCtrl, tabs,
        [tabs](int tab) {
            SQKConfigCodeCtrl::Payload payload;
            if (!tabs->DlgToCtrl(payload))
                return;
            tabs->ApplyCtrl(std::move(payload));
            tabs->SwitchTab(tab);
        },
        Qt::QueuedConnection);
    m_tabs->registerMainWindow();
    m_tabs->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_tabs.get()));
}

void PagesTest::cleanup() {
    settle();
    m_tabs.reset();
}

Seen PagesTest::settle() {
    // Picks and clicks still waiting as events queue their requests first.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    // The queue is first in, first out: when the marker comes back, all before it is done.
    auto marker = std::make_unique<SQKConfigCodeCtrl>();
    marker->config_code_ctrl = read_file_gui_params;
    const SQKConfigCodeCtrl* marker_address = marker.get();
    m_queue->addConfgCodeCtrl(std::move(marker));
    Seen seen;
    bool marker_back = false;
    const auto take = [&] {
        for (SQKGuiMessage& message : m_tree->mailbox().takeAll()) {
            if (message.line)
                seen.lines << QString::fromUtf16(message.line->m_message);
            if (!message.ctrl)
                continue;
            if (message.ctrl.get() == marker_address) {
                marker_back = true;
                continue;
            }
            seen.codes.push_back(message.ctrl->config_code_ctrl);
            route(std::move(message.ctrl));
        }
    };
    const QDeadlineTimer deadline(20000);
    while (!marker_back && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        take();
    }
    take();  // the lines the pages wrote while they were filled
    if (!marker_back)
        qWarning("The control queue did not answer in time");
    return seen;
}

// The main window's OnProcCtrl.
void PagesTest::route(std::unique_ptr<SQKConfigCodeCtrl> reply) {
    switch (reply->config_code_ctrl) {
        case read_file_conf_clns:
        case read_conf_clns:
            if (const SQKClnSCtrl* cln = reply->payload<SQKClnSCtrl>())
                m_tabs->ClnsCtrlToDlg(*cln);
            break;
        case read_file_conf_srvs:
        case read_conf_srvs:
            if (const SQKSrvSCtrl* srv = reply->payload<SQKSrvSCtrl>())
                m_tabs->SrvsCtrlToDlg(*srv);
            break;
        case read_file_gui_params:
            if (const SQKGuiParams* params = reply->payload<SQKGuiParams>())
                m_tabs->GuiParamsToDlg(*params);
            break;
        default:
            break;
    }
}

void PagesTest::clickTab(int tab) {
    QTabBar* bar = m_tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
}

void PagesTest::type(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

void PagesTest::clientFileIsReadOnlyOnFirstActivation() {
    Seen created = settle();
    QCOMPARE(created.codes, (std::vector<int>{read_file_conf_clns, read_conf_clns}));
    QVERIFY(created.said("Switched to tab: 'Client'"));
    QVERIFY(created.said("Dialog Controls have been updated, according to read Client Parameters"));
    QCOMPARE(control("1027")->text(), QString::fromStdString(m_tree->runner().scratch("out")));
    QCOMPARE(control("1034")->text(), QStringLiteral("5000"));
    QVERIFY(!control<QCheckBox>("1035")->isChecked());
    QVERIFY(control<QCheckBox>("1036")->isChecked());
    QCOMPARE(m_tabs->tabText(2), QStringLiteral("Common Settings"));

    clickTab(CQKTabCtrl::kServerTab);
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kClientTab));  // not before the window says
    Seen server = settle();
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kServerTab));
    QCOMPARE(server.codes, (std::vector<int>{read_file_conf_srvs, read_conf_srvs}));
    QVERIFY(server.said("Switching to tab: 'Server'"));
    QVERIFY(server.said("Switched to tab: 'Server'"));
    QCOMPARE(control("1045")->text(), QStringLiteral("6001"));

    clickTab(CQKTabCtrl::kClientTab);
    QCOMPARE(settle().codes, (std::vector<int>{read_conf_clns}));

    // The tab-list menu switches the same way; the wheel does not switch at all.
    QAction* settings = m_tabs->findChild<QAction*>(QStringLiteral("32782"));
    QVERIFY(settings != nullptr);
    settings->trigger();
    QCOMPARE(settle().codes, (std::vector<int>{read_file_gui_params}));
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kSettingsTab));
    QCOMPARE(control("1038")->text(), QStringLiteral("0"));
    QWheelEvent wheel(QPointF(5, 5), m_tabs->tabBar()->mapToGlobal(QPointF(5, 5)), QPoint(),
                      QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(m_tabs->tabBar(), &wheel);
    QVERIFY(settle().codes.empty());
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kSettingsTab));
    // Keys pick through the main window too.
    QTest::keyClick(m_tabs->tabBar(), Qt::Key_Left);
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kSettingsTab));
    QCOMPARE(settle().codes, (std::vector<int>{read_conf_srvs}));
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kServerTab));
    QTest::keyClick(m_tabs.get(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(settle().codes, (std::vector<int>{read_file_gui_params}));
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kSettingsTab));
}

void PagesTest::invalidPageKeepsItsTabAndSwitchAppliesAfterTheQuestion() {
    settle();
    QLineEdit* port = control("1034");
    type(port, QStringLiteral("0"));
    clickTab(CQKTabCtrl::kServerTab);
    Seen refused = settle();
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kClientTab));
    QVERIFY(refused.codes.empty());
    QCOMPARE(tip_of(port), kWrongPort);
    QCOMPARE(CQKBalloonTip::of(port)->title(), QStringLiteral("Error !"));
    QCOMPARE(tip_of(control("1033")), QString());
    QTest::keyClick(port, Qt::Key_Backspace);  // the next edit hides the tip
    QCOMPARE(tip_of(port), QString());

    type(port, QStringLiteral("5001"));
    BoxAnswerer yes(QMessageBox::Yes);
    clickTab(CQKTabCtrl::kServerTab);
    Seen switched = settle();
    QVERIFY(yes.answered());
    QCOMPARE(yes.text(), kSaveQuestion);
    QCOMPARE(yes.title(), kQKBoxTitle);
    QCOMPARE(m_tabs->currentIndex(), int(CQKTabCtrl::kServerTab));
    QCOMPARE(switched.codes, (std::vector<int>{read_file_conf_srvs, read_conf_srvs}));
    QVERIFY(switched.said("Client Parameters were saved to xml file"));
    QVERIFY(clientFile().find("<server_port>5001</server_port>") != std::string::npos);
}

void PagesTest::portsAndAddressesAreValidated() {
    settle();
    auto* client = static_cast<CQKClientDlg*>(m_tabs->widget(CQKTabCtrl::kClientTab));
    SQKConfigCodeCtrl::Payload payload;
    const struct {
        const char* address;
        const char* port;
        bool valid;
    } cases[] = {
        {"127.0.0.1", "65535", true},
        {"relay.example.org", "1", true},
        {"relay.example.org.", "80", true},
        {"localhost", "80", true},
        {"256.1.1.1", "80", false},
        {"relay.example.abcdefg", "80", true},
        {"[::1]", "80", true},
        {"rx_1.example", "80", false},
        {"127.0.0.1", "65536", false},
        {"127.0.0.1", "", false},
        {"127.0.0.1", "8o", false},
    };
    for (const auto& each : cases) {
        control("1033")->setText(QString::fromLatin1(each.address));
        control("1034")->setText(QString::fromLatin1(each.port));
        QVERIFY2(client->DlgToCtrl(payload) == each.valid, each.address);
    }
    // One tip at a time, the first wrong field's, and a click or a key anywhere closes it.
    control("1033")->setText(QStringLiteral("256.1.1.1"));
    control("1034")->setText(QStringLiteral("0"));
    QVERIFY(!client->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1033")), QStringLiteral("Wrong Address Value"));
    QCOMPARE(tip_of(control("1034")), QString());
    QTest::mouseClick(control("1034"), Qt::LeftButton);
    QCOMPARE(tip_of(control("1033")), QString());
    QVERIFY(!client->DlgToCtrl(payload));
    QTest::keyClick(control("1027"), Qt::Key_Shift);
    QCOMPARE(tip_of(control("1033")), QString());

    m_tabs->SwitchTab(CQKTabCtrl::kServerTab);
    settle();
    auto* server = static_cast<CQKServerDlg*>(m_tabs->widget(CQKTabCtrl::kServerTab));
    control("1045")->setText(QStringLiteral("6000"));
    QVERIFY(!server->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1045")), kDifferentPorts);
    QCOMPARE(tip_of(control("1044")), QString());
    control("1044")->setText(QStringLiteral("0"));
    control("1045")->setText(QStringLiteral("0"));
    QVERIFY(!server->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1044")), kWrongPort);

    m_tabs->SwitchTab(CQKTabCtrl::kSettingsTab);
    settle();
    auto* settings = static_cast<CQKSettingsDlg*>(m_tabs->widget(CQKTabCtrl::kSettingsTab));
    const struct {
        const char* client;
        const char* server;
        bool valid;
    } control_ports[] = {
        {"", "", true},         {"0", "0", true},        {"7000", "0", true},
        {"7000", "7001", true}, {"7000", "7000", false}, {"65536", "0", false},
    };
    for (const auto& each : control_ports) {
        control("1038")->setText(QString::fromLatin1(each.client));
        control("1037")->setText(QString::fromLatin1(each.server));
        QVERIFY2(settings->DlgToCtrl(payload) == each.valid, each.client);
    }
    QCOMPARE(tip_of(control("1038")), kWrongPort);
    control("1038")->setText(QStringLiteral("7000"));
    control("1037")->setText(QStringLiteral("7000"));
    QVERIFY(!settings->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1037")), kDifferentPorts);
    control("1038")->setText(QString());
    control("1037")->setText(QString());
    QVERIFY(settings->DlgToCtrl(payload));
    const SQKGuiParams* params = std::get_if<SQKGuiParams>(&payload);
    QVERIFY(params != nullptr);
    QCOMPARE(params->client_control_port, 0);
    QCOMPARE(params->server_control_port, 0);
}

void PagesTest::portsOfTheControlListenersAreRefused() {
    m_tree->writeGuiConfig("7100", "7101");
    settle();  // its marker reads the settings
    SQKConfigCodeCtrl::Payload payload;
    control("1034")->setText(QStringLiteral("7101"));
    QVERIFY(!static_cast<CQKTabDlg*>(m_tabs->currentWidget())->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1034")), kControlPort);

    m_tabs->SwitchTab(CQKTabCtrl::kServerTab);
    settle();
    control("1045")->setText(QStringLiteral("7100"));
    QVERIFY(!static_cast<CQKTabDlg*>(m_tabs->currentWidget())->DlgToCtrl(payload));
    QCOMPARE(tip_of(control("1045")), kControlPort);
    m_tree->writeGuiConfig("0", "0");
    settle();
}

void PagesTest::directoriesAreCreatedOnValidation() {
    settle();
    auto* client = static_cast<CQKClientDlg*>(m_tabs->widget(CQKTabCtrl::kClientTab));
    const std::string missing = m_tree->runner().scratch("new/out/dir");
    const std::string file = m_tree->runner().scratch("a_file");
    ProgramRunner::writeFile(file, "x");
    control("1027")->setText(QString::fromStdString(missing));
    control("1029")->setText(QString::fromStdString(file));  // a file is no directory
    control("1031")->setText(QString::fromStdString(m_tree->runner().scratch("not/yet")));
    SQKConfigCodeCtrl::Payload payload;
    QVERIFY(!client->DlgToCtrl(payload));
    QVERIFY(fs::is_directory(missing));
    QCOMPARE(tip_of(control("1029")), QStringLiteral("Wrong Directory Path Value"));
    QCOMPARE(tip_of(control("1031")), QString());  // the file need not exist

    control("1029")->clear();  // no backups
    QVERIFY(client->DlgToCtrl(payload));
    const SQKClnSCtrl* cln = std::get_if<SQKClnSCtrl>(&payload);
    QVERIFY(cln != nullptr);
    QCOMPARE(std::string(cln->m_out_dir), missing);
    QCOMPARE(std::string(cln->m_back_dir), std::string());

    m_tabs->SwitchTab(CQKTabCtrl::kServerTab);
    settle();
    const std::string input = m_tree->runner().scratch("new/in");
    control("1042")->setText(QString::fromStdString(input));
    QVERIFY(static_cast<CQKServerDlg*>(m_tabs->widget(CQKTabCtrl::kServerTab))->DlgToCtrl(payload));
    QVERIFY(fs::is_directory(input));
}

void PagesTest::checkBoxClickedTwiceIsNoChange() {
    settle();
    auto* use_ssl = control<QCheckBox>("1035");
    QPushButton* apply = control<QPushButton>("1053");
    use_ssl->click();
    use_ssl->click();
    {
        BoxAnswerer yes(QMessageBox::Yes);
        apply->click();
        Seen seen = settle();
        QVERIFY(!yes.answered());  // nothing to save, so no question
        QVERIFY(!seen.said("Client Parameters were saved to xml file"));
    }

    use_ssl->click();
    BoxAnswerer yes(QMessageBox::Yes);
    apply->click();
    Seen applied = settle();
    QVERIFY(yes.answered());
    QVERIFY(
        applied.said("Client Parameters have been updated by values from Client Dialog Controls"));
    QVERIFY(applied.said("Client Parameters were saved to xml file"));
    QVERIFY(clientFile().find("<use_ssl>1</use_ssl>") != std::string::npos);
    QVERIFY(!static_cast<CQKTabDlg*>(m_tabs->currentWidget())->IsPageModified());
}

void PagesTest::applyAndRevertAskFirst() {
    settle();
    QLineEdit* address = control("1033");
    type(address, QStringLiteral("relay.example.org"));
    {
        BoxAnswerer no(QMessageBox::No);
        control<QPushButton>("1053")->click();
        Seen seen = settle();
        QCOMPARE(no.text(), kSaveQuestion);
        QVERIFY(!seen.said("Client Parameters were saved to xml file"));
        QVERIFY(address->isModified());
    }
    QPushButton* revert = control<QPushButton>("1054");
    {
        BoxAnswerer no(QMessageBox::No);
        revert->click();
        QVERIFY(settle().codes.empty());
        QCOMPARE(no.text(), kRevertQuestion);
        QCOMPARE(no.title(), kQKBoxTitle);
        QCOMPARE(address->text(), QStringLiteral("relay.example.org"));
    }
    {
        BoxAnswerer yes(QMessageBox::Yes);
        revert->click();
        QCOMPARE(settle().codes, (std::vector<int>{read_conf_clns}));
        QVERIFY(yes.answered());
        QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));
        QVERIFY(!address->isModified());
    }
    BoxAnswerer unasked(QMessageBox::No);
    revert->click();  // nothing changed: read again without a question
    QCOMPARE(settle().codes, (std::vector<int>{read_conf_clns}));
    QVERIFY(!unasked.answered());
}

void PagesTest::answersKeepTheFieldsBeingEdited() {
    settle();
    writeClientFile("10.0.0.1", 5002);
    control<QPushButton>("1054")->click();  // nothing changed yet: the read goes out at once
    // The user starts editing before the answer is shown.
    type(control("1033"), QStringLiteral("edited.example.org"));
    control<QCheckBox>("1035")->click();
    QCOMPARE(settle().codes, (std::vector<int>{read_conf_clns}));
    QCOMPARE(control("1033")->text(), QStringLiteral("edited.example.org"));
    QVERIFY(control<QCheckBox>("1035")->isChecked());
    QCOMPARE(control("1034")->text(), QStringLiteral("5002"));
}

QTEST_MAIN(PagesTest)
#include "pages_test.moc"

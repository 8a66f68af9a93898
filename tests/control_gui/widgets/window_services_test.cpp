// The control program's window against the real services: both run from a temporary install
// tree with their control ports open, the window reads the client service's parameters over
// its control port, an edited server address is applied through the window's Apply button,
// and the client service writes it to its own configuration file.
#include <QAbstractItemView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <signal.h>

#include <chrono>
#include <memory>

#include "BoxAnswerer.h"
#include "CQKConfigControl.h"
#include "CQKDlg.h"
#include "GuiTree.h"

using namespace std::chrono_literals;

class WindowServicesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void appliedClientAddressReachesTheServiceFile();

private:
    void writeServiceConfigs(GuiTree& tree, std::uint16_t cln_ctrl, std::uint16_t srv_ctrl);
    static QStringList logLines(const CQKDlg& window);
};

void WindowServicesTest::writeServiceConfigs(GuiTree& tree, std::uint16_t cln_ctrl,
                                             std::uint16_t srv_ctrl) {
    const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(2);
    ProgramRunner& runner = tree.runner();
    ProgramRunner::writeFile(
        tree.path("common/qk_relay_srvsvc.xml"),
        "<config><control_code>1</control_code><in_dir>" + runner.scratch("in") +
            "</in_dir><back_dir>" + runner.scratch("srv_back") + "</back_dir><port>" +
            std::to_string(ports[0]) + "</port><ssl_port>" + std::to_string(ports[1]) +
            "</ssl_port><control_port>" + std::to_string(srv_ctrl) + "</control_port></config>");
    ProgramRunner::writeFile(
        tree.path("common/qk_relay_clnsvc.xml"),
        "<config><control_code>1</control_code><op_code>1</op_code><out_dir>" +
            runner.scratch("out") + "</out_dir><back_dir>" + runner.scratch("cln_back") +
            "</back_dir><file></file><server_address>127.0.0.1</server_address><server_port>" +
            std::to_string(ports[1]) +
            "</server_port><use_ssl>true</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000</"
            "scan_time><min_age>0</min_age><control_port>" +
            std::to_string(cln_ctrl) + "</control_port></config>");
}

QStringList WindowServicesTest::logLines(const CQKDlg& window) {
    QStringList lines;
    const auto* view = window.findChild<QAbstractItemView*>(QStringLiteral("1052"));
    if (view == nullptr)
        return lines;
    const QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(); ++row)
        lines << model->data(model->index(row, 1)).toString();
    return lines;
}

void WindowServicesTest::appliedClientAddressReachesTheServiceFile() {
    GuiTree tree;
    QVERIFY(tree.ok());
    const std::vector<std::uint16_t> ctrl_ports = ProgramRunner::freePorts(2);
    writeServiceConfigs(tree, ctrl_ports[0], ctrl_ports[1]);
    tree.writeGuiConfig(std::to_string(ctrl_ports[0]), std::to_string(ctrl_ports[1]));
    const ProgramRunner::Environment env{{"QK_RELAY_PASS_MS", "200"}};
    std::unique_ptr<RunningProgram> client = tree.runner().start("qk_relay_clnsvc", {}, env);
    std::unique_ptr<RunningProgram> server = tree.runner().start("qk_relay_srvsvc", {}, env);
    QVERIFY2(ProgramRunner::waitForPort(ctrl_ports[0], 10s), client->out().c_str());
    QVERIFY2(ProgramRunner::waitForPort(ctrl_ports[1], 10s), server->out().c_str());
    tree.run(read_file_gui_params);  // the settings the program reads at its start

    SQKDlgOptions options;
    options.ctrl_path = tree.runner().path("bin/qk_relay_ctrl");
    options.poll_period_ms = 200;
    auto window = std::make_unique<CQKDlg>(options);
    window->show();

    auto* address = window->findChild<QLineEdit*>(QStringLiteral("1033"));
    QVERIFY(address != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(
        logLines(*window).contains(QStringLiteral("Parameters were received from Client Service")),
        10000);
    QTRY_COMPARE_WITH_TIMEOUT(address->text(), QStringLiteral("127.0.0.1"), 10000);

    address->selectAll();
    QTest::keyClicks(address, QStringLiteral("relay.example.org"));
    BoxAnswerer save(QMessageBox::Yes);
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("1053")), Qt::LeftButton);
    QVERIFY(save.answered());

    const std::string fpath = tree.path("common/qk_relay_clnsvc.xml");
    QTRY_VERIFY_WITH_TIMEOUT(
        ProgramRunner::readFile(fpath).value_or("").find(
            "<server_address>relay.example.org</server_address>") != std::string::npos,
        10000);
    QVERIFY(logLines(*window).contains(QStringLiteral("Parameters were sent to Client Service")));
    QVERIFY(client->running());

    window.reset();
    client->signal(SIGTERM);
    server->signal(SIGTERM);
    QCOMPARE(client->waitForExit(10s).value_or(-1), 0);
    QCOMPARE(server->waitForExit(10s).value_or(-1), 0);
}

QTEST_MAIN(WindowServicesTest)
#include "window_services_test.moc"

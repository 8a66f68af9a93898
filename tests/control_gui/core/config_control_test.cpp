// The configuration control against the real services in a temporary tree: reads and
// applies over the control ports, each fallback to the XML files with its GUI-log lines, the
// GUI settings and the autostart entry.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "GuiTree.h"
#include "protocol/qk_ctrl_sign.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ConfigControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tree.ok());
        const std::vector<std::uint16_t> ports = ProgramRunner::freePorts(5);
        m_srv_port = ports[0];
        m_cln_ctrl = ports[1];
        m_srv_ctrl = ports[2];
        m_spare = ports[3];
        fs::create_directories(scratch("out"));
        ProgramRunner::writeFile(m_tree.path("common/qk_relay_srvsvc.xml"),
                                 "<config><control_code>1</control_code><in_dir>" + scratch("in") +
                                     "</in_dir><back_dir>" + scratch("back") + "</back_dir><port>" +
                                     std::to_string(m_srv_port) + "</port><ssl_port>" +
                                     std::to_string(ports[4]) + "</ssl_port><control_port>" +
                                     std::to_string(m_srv_ctrl) + "</control_port></config>");
        ProgramRunner::writeFile(
            m_tree.path("common/qk_relay_clnsvc.xml"),
            "<config><control_code>1</control_code><op_code>1</op_code><out_dir>" + scratch("out") +
                "</out_dir><back_dir>" + scratch("cln_back") +
                "</back_dir><file></file><server_address>127.0.0.1</server_address><server_port>" +
                std::to_string(m_srv_port) +
                "</server_port><use_ssl>false</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000</"
                "scan_time><control_port>" +
                std::to_string(m_cln_ctrl) + "</control_port><kept>yes</kept></config>");
    }

    std::string scratch(const std::string& name) { return m_tree.runner().scratch(name); }
    std::string file(const char* name) {
        return ProgramRunner::readFile(m_tree.path(std::string("common/") + name + ".xml"))
            .value_or("");
    }
    std::unique_ptr<RunningProgram> start(const char* program, std::uint16_t ctrl_port) {
        auto service = m_tree.runner().start(program, {}, {{"QK_RELAY_PASS_MS", "200"}});
        EXPECT_TRUE(ProgramRunner::waitForPort(ctrl_port, 30s)) << service->out();
        return service;
    }
    void readGuiParams(const std::string& cln_port, const std::string& srv_port) {
        m_tree.writeGuiConfig(cln_port, srv_port);
        GuiTree::Outcome read = m_tree.run(read_file_gui_params);
        ASSERT_EQ(read.replies.size(), 1u);
        ASSERT_TRUE(read.said("GUI Parameters were read form xml file"));
    }

    GuiTree m_tree;
    std::uint16_t m_srv_port = 0, m_cln_ctrl = 0, m_srv_ctrl = 0, m_spare = 0;
};

TEST_F(ConfigControl, ReadsAndAppliesBothServicesOverTheirControlPorts) {
    readGuiParams(std::to_string(m_cln_ctrl), std::to_string(m_srv_ctrl));
    auto server = start("qk_relay_srvsvc", m_srv_ctrl);
    auto client = start("qk_relay_clnsvc", m_cln_ctrl);
    // A control port holds one exchange and one waiting connection: the port probes' own
    // exchanges must have ended before the first request connects.
    std::this_thread::sleep_for(1s);

    GuiTree::Outcome cln = m_tree.run(read_conf_clns);
    ASSERT_EQ(cln.replies.size(), 1u);
    const SQKClnSCtrl* record = cln.replies[0]->payload<SQKClnSCtrl>();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(record->m_out_dir), scratch("out"));
    EXPECT_EQ(record->m_srv_port, m_srv_port);
    EXPECT_TRUE(cln.said("Connection to Client Service: address: '127.0.0.1' port: " +
                         std::to_string(m_cln_ctrl)));
    EXPECT_TRUE(cln.said("Signature of Client Parameters has been verified. Ok"))
        << ::testing::PrintToString(cln.lines);
    EXPECT_FALSE(cln.said("Client Parameters were read form xml file"));

    GuiTree::Outcome srv = m_tree.run(read_conf_srvs);
    ASSERT_EQ(srv.replies.size(), 1u);
    SQKSrvSCtrl srv_record = *srv.replies[0]->payload<SQKSrvSCtrl>();
    EXPECT_EQ(std::string(srv_record.m_in_dir), scratch("in"));
    EXPECT_TRUE(srv.said("Signature of Server Parameters has been verified. Ok"));

    // Applies reach the services, which write their own files; ours stay untouched.
    SQKClnSCtrl changed = *record;
    std::memset(changed.m_back_dir, 0, sizeof(changed.m_back_dir));
    qk_ctrl_set_string(changed.m_back_dir, scratch("new_back"));
    GuiTree::Outcome applied = m_tree.run(apply_conf_clns, changed);
    EXPECT_TRUE(applied.replies.empty());
    EXPECT_TRUE(applied.said("Client Parameters have been signed (ECDSA). Ok"));
    EXPECT_TRUE(applied.said("Parameters were sent to Client Service"));
    EXPECT_FALSE(applied.said("Client Parameters were saved to xml file"));
    EXPECT_TRUE(ProgramRunner::waitUntil(
        [&] { return has(file("qk_relay_clnsvc"), scratch("new_back")); }, 30s));

    srv_record.m_port = m_spare;
    GuiTree::Outcome srv_applied = m_tree.run(apply_conf_srvs, srv_record);
    EXPECT_TRUE(srv_applied.said("Parameters were sent to Server Service"));
    EXPECT_TRUE(ProgramRunner::waitForPort(m_spare, 30s));
}

TEST_F(ConfigControl, FallsBackToTheFilesKeepingTheirOtherKeys) {
    // Nothing listens on the client's port; the server's port is not a number, so 0.
    readGuiParams(std::to_string(m_spare), "abc");
    EXPECT_EQ(CQKConfigControl::instance().guiParams().client_control_port, m_spare);
    EXPECT_EQ(CQKConfigControl::instance().guiParams().server_control_port, 0);

    GuiTree::Outcome cln = m_tree.run(read_conf_clns);
    ASSERT_EQ(cln.replies.size(), 1u);
    EXPECT_EQ(std::string(cln.replies[0]->payload<SQKClnSCtrl>()->m_out_dir), scratch("out"));
    EXPECT_TRUE(cln.said("Connection to Client Service was not provided. Error"));
    EXPECT_TRUE(cln.said("Client Parameters were read form xml file"));

    GuiTree::Outcome srv = m_tree.run(read_conf_srvs);
    ASSERT_EQ(srv.replies.size(), 1u);
    EXPECT_EQ(srv.replies[0]->payload<SQKSrvSCtrl>()->m_port, m_srv_port);
    EXPECT_FALSE(srv.said("Connection to Server Service was not provided. Error"));
    EXPECT_TRUE(srv.said("Server Parameters were read form xml file"));

    SQKClnSCtrl changed = *cln.replies[0]->payload<SQKClnSCtrl>();
    changed.m_srv_port = 7777;
    changed.m_use_ssl = 1;
    GuiTree::Outcome applied = m_tree.run(apply_conf_clns, changed);
    EXPECT_TRUE(applied.said("Client Parameters were saved to xml file"));
    const std::string written = file("qk_relay_clnsvc");
    EXPECT_TRUE(has(written, "<server_port>7777</server_port>")) << written;
    EXPECT_TRUE(has(written, "<use_ssl>1</use_ssl>")) << written;
    for (const char* kept :
         {"<kept>yes</kept>", "<scan_time>1000</scan_time>", "<control_code>1</control_code>"})
        EXPECT_TRUE(has(written, kept)) << written;

    SQKSrvSCtrl srv_changed = *srv.replies[0]->payload<SQKSrvSCtrl>();
    srv_changed.m_ssl_port = 7778;
    EXPECT_TRUE(
        m_tree.run(apply_conf_srvs, srv_changed).said("Server Parameters were saved to xml file"));
    EXPECT_TRUE(has(file("qk_relay_srvsvc"), "<ssl_port>7778</ssl_port>"));
    EXPECT_TRUE(has(file("qk_relay_srvsvc"), "<control_port>"));

    // A file that cannot be read ends the request without a reply.
    fs::remove(m_tree.path("common/qk_relay_srvsvc.xml"));
    EXPECT_TRUE(m_tree.run(read_file_conf_srvs).replies.empty());
}

// The step time limit of the tests of a silent peer.
const Poco::Timespan kShortStep(0, 300000);

// Accepts one connection on the client's control port. A silent peer keeps it without a byte
// until the control program gives up and closes it, and gives nothing back; any other greets
// and takes the request code.
std::optional<Poco::Net::StreamSocket> accept_request(Poco::Net::ServerSocket& listener,
                                                      bool silent) {
    Poco::Net::StreamSocket peer = listener.acceptConnection();
    if (silent) {
        peer.setReceiveTimeout(Poco::Timespan(30, 0));
        unsigned char byte = 0;
        try {
            while (peer.receiveBytes(&byte, 1) > 0) {
            }
        } catch (const Poco::Exception& e) {
            ADD_FAILURE() << "the control program kept a silent peer: " << e.displayText();
        }
        return std::nullopt;
    }
    unsigned char byte = 0;
    peer.sendBytes(&byte, 1);
    peer.receiveBytes(&byte, 1);
    return peer;
}

// A peer that sends record for a read and echoes the status.
void play_service(Poco::Net::ServerSocket& listener, const SQKClnSCtrl& record, bool silent) {
    std::optional<Poco::Net::StreamSocket> request = accept_request(listener, silent);
    if (!request)
        return;
    Poco::Net::StreamSocket& peer = *request;
    unsigned char byte = 0;
    peer.sendBytes(&record, sizeof(record));
    peer.receiveBytes(&byte, 1);
    peer.sendBytes(&byte, 1);
}

TEST_F(ConfigControl, RefusesBadSignaturesAndSilentPeersAndReadsTheFile) {
    readGuiParams(std::to_string(m_spare), "0");
    SQKClnSCtrl foreign;
    std::memset(&foreign, 0, sizeof(foreign));
    qk_ctrl_set_string(foreign.m_out_dir, "/foreign");
    SQKClnSCtrl unsigned_record = foreign;
    qk_ctrl_put_sign(foreign, qk_ctrl_sign(qk_ctrl_signed_form(foreign),
                                           m_tree.path("qk_relay_srvsvc/keys/srv.zx.orvane.cert"),
                                           m_tree.path("qk_relay_srvsvc/keys/srv.zx.orvane.key")));
    struct Case {
        const char* what;
        const SQKClnSCtrl* record;
        bool silent;
        const char* line;
    } cases[] = {
        {"signed by another key", &foreign, false,
         "Signature of Client Parameters hasn't been verified. Error"},
        {"signature length 0", &unsigned_record, false,
         "Signature of Client Parameters hasn't been verified. Error"},
        {"silent", &foreign, true, "Connection to Client Service was not provided. Error"},
    };
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", m_spare));
    for (const Case& c : cases) {
        if (c.silent)
            CQKConfigControl::instance().setStepTimeout(kShortStep);
        std::thread peer([&] { play_service(listener, *c.record, c.silent); });
        GuiTree::Outcome read = m_tree.run(read_conf_clns);
        peer.join();
        EXPECT_TRUE(read.said(c.line)) << c.what;
        EXPECT_TRUE(read.said("Client Parameters were read form xml file")) << c.what;
        ASSERT_EQ(read.replies.size(), 1u) << c.what;
        EXPECT_EQ(std::string(read.replies[0]->payload<SQKClnSCtrl>()->m_out_dir), scratch("out"))
            << c.what;
    }
}

// A peer that takes an apply and answers 0x7F, as a service does for a record it refuses.
void refuse_apply(Poco::Net::ServerSocket& listener, bool silent) {
    std::optional<Poco::Net::StreamSocket> request = accept_request(listener, silent);
    if (!request)
        return;
    Poco::Net::StreamSocket& peer = *request;
    unsigned char byte = 0;
    peer.sendBytes(&byte, 1);
    SQKClnSCtrl record;
    for (std::size_t got = 0; got < sizeof(record);) {
        const int n = peer.receiveBytes(reinterpret_cast<char*>(&record) + got,
                                        static_cast<int>(sizeof(record) - got));
        if (n <= 0)
            return;
        got += static_cast<std::size_t>(n);
    }
    byte = 0x7F;
    peer.sendBytes(&byte, 1);
}

TEST_F(ConfigControl, AnApplyThatReachedTheServiceNeverWritesItsFile) {
    readGuiParams(std::to_string(m_spare), "0");
    const std::string before = file("qk_relay_clnsvc");
    SQKClnSCtrl changed;
    std::memset(&changed, 0, sizeof(changed));
    qk_ctrl_set_string(changed.m_out_dir, scratch("refused"));
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", m_spare));
    for (bool silent : {false, true}) {
        if (silent)
            CQKConfigControl::instance().setStepTimeout(kShortStep);
        std::thread peer([&] { refuse_apply(listener, silent); });
        GuiTree::Outcome applied = m_tree.run(apply_conf_clns, changed);
        peer.join();
        EXPECT_TRUE(applied.said("Client Parameters have not been applied. Error"))
            << ::testing::PrintToString(applied.lines);
        EXPECT_FALSE(applied.said("Client Parameters were saved to xml file")) << silent;
        EXPECT_EQ(file("qk_relay_clnsvc"), before) << silent;
    }
}

TEST_F(ConfigControl, SavesGuiSettingsAndKeepsTheAutostartEntryInLine) {
    ::setenv("XDG_CONFIG_HOME", scratch("xdg").c_str(), 1);
    const std::string entry = scratch("xdg/autostart/qk_relay_w.desktop");
    ASSERT_EQ(CQKConfigControl::autostartPath(), entry);
    m_tree.writeGuiConfig("1", "2", "<kept>yes</kept>");
    m_tree.run(read_file_gui_params);

    SQKGuiParams params;
    params.client_control_port = 4001;
    params.server_control_port = 4002;
    params.run_when_win_starts = 1;
    params.ssl_keys_key_fpath = "/not/taken";
    GuiTree::Outcome added = m_tree.run(apply_gui_params, params);
    EXPECT_TRUE(added.said("Registry Key (Current User): '" + entry + "'"));
    EXPECT_TRUE(added.said("Value: 'QK Relay Control W' has been added"));
    EXPECT_TRUE(added.said("GUI Parameters were applied"));
    EXPECT_TRUE(has(ProgramRunner::readFile(entry).value_or(""), "Exec=\""));
    const std::string conf =
        ProgramRunner::readFile(m_tree.path("common/qk_relay_w.xml")).value_or("");
    EXPECT_TRUE(has(conf, "<client_control_port>4001</client_control_port>")) << conf;
    EXPECT_TRUE(has(conf, "<kept>yes</kept>")) << conf;
    EXPECT_NE(CQKConfigControl::instance().guiParams().ssl_keys_key_fpath, "/not/taken");

    EXPECT_EQ(m_tree.run(apply_gui_params, params).lines.size(), 3u) << "unchanged: no entry lines";
    ProgramRunner::writeFile(entry, "[Desktop Entry]\nExec=/elsewhere\n");
    EXPECT_TRUE(
        m_tree.run(apply_gui_params, params).said("Value: 'QK Relay Control W' has been updated"));

    params.run_when_win_starts = 0;
    EXPECT_TRUE(
        m_tree.run(apply_gui_params, params).said("Value: 'QK Relay Control W' has been deleted"));
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(m_tree.run(apply_gui_params, params).lines.size(), 3u);
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(ConfigControl, AMissingSettingTakesItsDefaultAndKeepsTheAutostartEntry) {
    ::setenv("XDG_CONFIG_HOME", scratch("xdg").c_str(), 1);
    const std::string entry = scratch("xdg/autostart/qk_relay_w.desktop");
    ProgramRunner::writeFile(entry, "[Desktop Entry]\nExec=/set/by/the/user\n");
    ProgramRunner::writeFile(
        m_tree.path("common/qk_relay_w.xml"),
        "<config><client_control_port>4001</client_control_port><start_mimimized>false</"
        "start_mimimized></config>");
    GuiTree::Outcome read = m_tree.run(read_file_gui_params);
    ASSERT_EQ(read.replies.size(), 1u) << ::testing::PrintToString(read.lines);
    const SQKGuiParams* params = read.replies[0]->payload<SQKGuiParams>();
    EXPECT_EQ(params->client_control_port, 4001);
    EXPECT_EQ(params->server_control_port, 5602);
    EXPECT_TRUE(
        read.said("GUI Parameter 'server_control_port' is missing in xml file. Default "
                  "value is used: 5602"))
        << ::testing::PrintToString(read.lines);
    CQKConfigControl::instance().procParams();
    EXPECT_TRUE(fs::exists(entry));
    ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace

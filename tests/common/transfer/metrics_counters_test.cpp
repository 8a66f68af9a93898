// The relay's counters move with what happens on real connections: files received and
// refused by reason at a listener, files sent, refused and failed attempts at a sender.
// The counters are the process's own, so each case compares before and after.
#include <gtest/gtest.h>

#include <Poco/File.h>

#include <chrono>
#include <thread>

#include "CQKTcpCln.h"
#include "CQKTcpSrv.h"
#include "Eventually.h"
#include "RawClient.h"
#include "TempDir.h"
#include "TestPki.h"
#include "base/qk_console.h"
#include "protocol/qk_protocol.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_wrong_port.h"

namespace {

class MetricsCountersTest : public ::testing::Test {
protected:
    void SetUp() override {
        qk_set_console_echo(getenv("QK_TEST_ECHO") != nullptr);
        m_params.m_in_dir = m_root / "in";
        m_params.m_key_fpath = m_pki->serverKey();
        m_params.m_cert_fpath = m_pki->serverCert();
        m_params.m_ca_cert_fpath = m_pki->caCert();
        Poco::File(m_params.m_in_dir).createDirectories();
        m_listener.setParams(m_params);
        m_listener.setTimeout(Poco::Timespan(30, 0));
        m_listener.start();
    }
    void TearDown() override {
        if (!m_listener.isStopped())
            m_listener.stop();
        qk_set_console_echo(true);
    }

    std::unique_ptr<RawClient> connect() {
        auto client = std::make_unique<RawClient>(m_listener.boundPort());
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        return client;
    }

    // One run of the console sender over the outgoing tree, to port.
    void send(std::uint16_t port) {
        SQKClnParams p;
        p.m_op_code = OperationCode::send_files;
        p.m_out_dir = m_root / "out";
        p.m_srv_address = "127.0.0.1";
        p.m_srv_port = port;
        p.m_sub_dirs = 1;
        p.m_ssl_key_fpath = m_pki->clientKey();
        p.m_ssl_cert_fpath = m_pki->clientCert();
        p.m_ssl_ca_cert_fpath = m_pki->caCert();
        CQKTcpCln sender;
        sender.setParams(p);
        sender.setTimeout(Poco::Timespan(30, 0));
        sender.setRetryDelay(std::chrono::milliseconds(10));
        sender.setDirGrace(std::chrono::milliseconds(0));
        sender.sendFiles();
    }

    const SQKReceiverMetrics& m_receiver = qk_receiver_metrics();
    const SQKSenderMetrics& m_sender = qk_sender_metrics();
    const TestPki* m_pki = &sharedTestPki();
    TempDir m_root;
    SQKSrvParams m_params;
    CQKTcpSrv m_listener;
};

TEST_F(MetricsCountersTest, ReceiverCountsFilesAndEachRefusalByItsReason) {
    const double open_before = m_receiver.connections_open.value();
    const std::uint64_t files = m_receiver.files.value();
    const std::uint64_t bytes = m_receiver.bytes.value();
    const std::uint64_t checksum = m_receiver.refused_checksum.value();
    const std::uint64_t name = m_receiver.refused_name.value();
    const std::uint64_t receiving = m_receiver.refused_receiving.value();

    EXPECT_EQ(connect()->sendFile("a.txt", "", "alpha"), QK_SEND_FILE_FOK);
    EXPECT_EQ(m_receiver.files.value(), files + 1);
    EXPECT_EQ(m_receiver.bytes.value(), bytes + 5);

    {
        auto client = connect();
        client->send(RawClient::headerFrame("bad.txt", "", 4));
        ASSERT_EQ(client->readStatus(), QK_SEND_FILE_FOK);
        client->send(std::string("data"));
        client->send(RawClient::finishedFrame(RawClient::crcOf("data") ^ 1));
        EXPECT_EQ(client->readStatus(), QK_SEND_FILE_FERROR);
    }
    EXPECT_EQ(m_receiver.refused_checksum.value(), checksum + 1);

    m_root.writeFile("in/taken/inside.txt", "");  // a directory where the file would go
    EXPECT_EQ(connect()->sendFile("taken", "", "x"), QK_SEND_FILE_FERROR);
    EXPECT_EQ(connect()->sendFile("..", "", "x"), QK_SEND_FILE_FERROR);
    EXPECT_EQ(m_receiver.refused_name.value(), name + 2);

    auto first = connect();
    first->send(RawClient::headerFrame("same.txt", "", 10));
    ASSERT_EQ(first->readStatus(), QK_SEND_FILE_FOK);
    EXPECT_EQ(connect()->sendFile("same.txt", "", "other"), QK_SEND_FILE_FERROR);
    EXPECT_EQ(m_receiver.refused_receiving.value(), receiving + 1);
    EXPECT_EQ(m_receiver.files.value(), files + 1) << "nothing refused counts as received";

    first->close();
    EXPECT_TRUE(eventually([&] { return m_receiver.connections_open.value() == open_before; }));
}

// Bytes that are no TLS at the TLS port: answered with an alert record, which a plain
// sender takes for no status, and counted both as a refused handshake and as a wrong port.
TEST_F(MetricsCountersTest, TlsListenerCountsAHandshakeThatFails) {
    CQKTcpSslSrv tls;
    tls.setParams(m_params);
    tls.setTimeout(Poco::Timespan(30, 0));
    tls.start();
    const std::uint64_t refused = m_receiver.tls_handshakes_refused.value();
    const std::uint64_t wrong_port = qk_source_gate_metrics().refused_wrong_port.value();
    RawClient client(tls.boundPort());
    client.send(std::string("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(client.readStatus(), QK_TLS_ALERT_RECORD[0]);
    EXPECT_TRUE(eventually([&] {
        return m_receiver.tls_handshakes_refused.value() == refused + 1 &&
               qk_source_gate_metrics().refused_wrong_port.value() == wrong_port + 1;
    }));
    tls.stop();
}

TEST_F(MetricsCountersTest, SenderCountsDeliveriesRefusalsAndFailedAttempts) {
    const std::uint64_t files = m_sender.files.value();
    const std::uint64_t bytes = m_sender.bytes.value();
    const std::uint64_t refused = m_sender.refused.value();
    const std::uint64_t failed = m_sender.failed_attempts.value();

    m_root.writeFile("out/one.txt", "12345");
    m_root.writeFile("out/d/two.txt", "123");
    m_root.writeFile("in/blocked/inside.txt", "");  // the receiver refuses "blocked"
    m_root.writeFile("out/blocked", "stays");
    const auto before = std::chrono::system_clock::now();
    send(m_listener.boundPort());
    EXPECT_EQ(m_sender.files.value(), files + 2);
    EXPECT_EQ(m_sender.bytes.value(), bytes + 8);
    EXPECT_EQ(m_sender.refused.value(), refused + 1);
    EXPECT_EQ(m_sender.failed_attempts.value(), failed);
    EXPECT_GE(m_sender.last_delivery_time.value(),
              std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch()).count());

    const std::uint16_t port = m_listener.boundPort();
    m_listener.stop();  // nothing listens: each of the run's three attempts fails
    send(port);
    EXPECT_EQ(m_sender.failed_attempts.value(), failed + 3);
}

}  // namespace

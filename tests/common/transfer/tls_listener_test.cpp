// The TLS listener with real certificates: who gets in, who is refused (revoked clients
// among them) over TLS 1.3 and TLS 1.2, and that the listener keeps serving after a refusal.
#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <openssl/ssl.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "CQKTcpSrv.h"
#include "CQKTcpSslCln.h"
#include "Eventually.h"
#include "RawClient.h"
#include "TempDir.h"
#include "TestPki.h"
#include "base/qk_log.h"
#include "pki/CQKCertificateAuthority.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKSrvConnection.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_tls.h"

namespace {

using namespace std::chrono_literals;

// The protocol version of the last handshake a client of greeted() completed on its side,
// whether or not the server then accepted it; empty for none.
std::string g_client_version;

void record_client_version(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0)
        g_client_version = SSL_get_version(ssl);
}

// Connects with the given client key and certificate (none when empty) and reads the
// greeting: with our sender's TLS settings, or as an older sender that speaks only TLS 1.2.
// True only when the handshake passed and the greeting 0x00 arrived within wait.
bool greeted(std::uint16_t port, const std::string& key, const std::string& cert,
             const std::string& ca, bool tls12_only = false,
             const Poco::Timespan& wait = Poco::Timespan(30, 0)) {
    g_client_version.clear();
    const Poco::Net::Context::Params params = qk_tls_params(key, cert, ca);
    const Poco::Net::Context::Usage usage = Poco::Net::Context::TLSV1_2_CLIENT_USE;
    Poco::Net::Context::Ptr context =
        tls12_only ? Poco::Net::Context::Ptr(new Poco::Net::Context(usage, params))
                   : qk_create_tls_context(usage, params);
    if (tls12_only)
        SSL_CTX_set_max_proto_version(context->sslContext(), TLS1_2_VERSION);
    SSL_CTX_set_info_callback(context->sslContext(), record_client_version);
    try {
        Poco::Net::SecureStreamSocket socket(context);
        socket.setPeerHostName(QK_TLS_SERVER_NAME);
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", port), wait);
        socket.setReceiveTimeout(wait);
        std::uint8_t status = 0xFF;
        return socket.receiveBytes(&status, 1) == 1 && status == QK_SEND_FILE_FOK;
    } catch (const Poco::Exception&) {
        return false;
    }
}

// True once condition holds, within the 15 seconds a receiver has to take a new revocation
// list into force.
template <typename Condition>
bool within_15s(Condition condition) {
    return eventually(condition, std::chrono::seconds(15));
}

class TlsListenerTest : public ::testing::Test {
protected:
    SQKSrvParams params() const {
        SQKSrvParams p;
        p.m_in_dir = m_root / "in";
        p.m_key_fpath = m_pki->serverKey();
        p.m_cert_fpath = m_pki->serverCert();
        p.m_ca_cert_fpath = m_pki->caCert();
        return p;
    }

    // A client certificate of our CA for the machine label, as an export issues it.
    struct Client {
        std::string key;
        std::string cert;
        std::string serial;
    };
    Client issueClient(const std::string& label) const {
        Client client{m_root / (label + ".key"), m_root / (label + ".cert"), ""};
        client.serial = m_ca.issue(QK_TLS_CLIENT_NAME, client.key, client.cert, 30, label);
        return client;
    }
    // Sends one file with sender; true when it arrived.
    bool delivers(CQKTcpSslCln& sender, const std::string& name) const {
        m_root.writeFile("out/" + name, "from " + name);
        sender.sendFiles();
        return m_root.exists("in/" + name);
    }
    // Sends one file with the client's certificate; true when it arrived.
    bool delivers(std::uint16_t port, const Client& client, const std::string& name) const {
        CQKTcpSslCln sender;
        configure(sender, port, client);
        return delivers(sender, name);
    }
    void configure(CQKTcpSslCln& sender, std::uint16_t port, const Client& client) const {
        SQKClnParams p;
        p.m_op_code = OperationCode::send_files;
        p.m_out_dir = m_root / "out";
        p.m_srv_address = "127.0.0.1";
        p.m_srv_port = port;
        p.m_use_ssl = 1;
        p.m_ssl_key_fpath = client.key;
        p.m_ssl_cert_fpath = client.cert;
        p.m_ssl_ca_cert_fpath = m_pki->caCert();
        sender.setParams(p);
        sender.setTimeout(Poco::Timespan(30, 0));
        sender.setRetryDelay(std::chrono::milliseconds(10));
        sender.setDirGrace(std::chrono::milliseconds(0));
    }

    const TestPki* m_pki = &sharedTestPki();
    TempDir m_root;
    const CQKCertificateAuthority m_ca =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
};

// Under TLS 1.3 a client is done with its handshake before the server has checked its
// certificate: each refusal below comes after that, and counts once as a refused handshake.
TEST_F(TlsListenerTest, OnlyClientsOfOurCaWithTheClientNameGetInOverTls13And12) {
    CQKTcpSslSrv listener;
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(30, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    const TestPki& pki = *m_pki;
    const CQKCounter& refused = qk_receiver_metrics().tls_handshakes_refused;
    const std::uint64_t refused_before = refused.value();

    struct Refused {
        std::string key, cert;
        const char* what;
    };
    const Refused cases[] = {
        {pki.wrongNameKey(), pki.wrongNameCert(), "a certificate of our CA with another name"},
        {pki.otherClientKey(), pki.otherClientCert(), "a certificate of a foreign CA"},
        {"", "", "no certificate"},
        {pki.serverKey(), pki.serverCert(), "the server's own certificate"},
    };
    for (const Refused& c : cases) {
        EXPECT_FALSE(greeted(port, c.key, c.cert, pki.caCert())) << c.what;
        EXPECT_EQ(g_client_version, "TLSv1.3") << c.what;
    }
    EXPECT_TRUE(within_15s([&] { return refused.value() >= refused_before + 4; }));
    EXPECT_EQ(refused.value(), refused_before + 4);
    // Refusals end only their own connections; an older sender gets in with TLS 1.2.
    EXPECT_TRUE(greeted(port, pki.clientKey(), pki.clientCert(), pki.caCert()));
    EXPECT_EQ(g_client_version, "TLSv1.3");
    EXPECT_TRUE(greeted(port, pki.clientKey(), pki.clientCert(), pki.caCert(), true));
    EXPECT_EQ(g_client_version, "TLSv1.2");
    EXPECT_EQ(refused.value(), refused_before + 4);
    listener.stop();
}

// A resumed session would skip the client's certificate and the revocation check, so the
// listener must refuse to resume for a client that asks, under either version.
TEST_F(TlsListenerTest, EveryConnectionMakesAFullHandshake) {
    CQKTcpSslSrv listener;
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(30, 0));
    listener.start();
    for (const int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        Poco::Net::Context::Ptr context = new Poco::Net::Context(
            Poco::Net::Context::TLSV1_2_CLIENT_USE,
            qk_tls_params(m_pki->clientKey(), m_pki->clientCert(), m_pki->caCert()));
        context->enableSessionCache(true);
        SSL_CTX_set_max_proto_version(context->sslContext(), version);
        Poco::Net::Session::Ptr session;
        for (int i = 0; i < 2; ++i) {
            Poco::Net::SecureStreamSocket socket(context, session);
            socket.setPeerHostName(QK_TLS_SERVER_NAME);
            socket.connect(Poco::Net::SocketAddress("127.0.0.1", listener.boundPort()),
                           Poco::Timespan(5, 0));
            socket.setReceiveTimeout(Poco::Timespan(30, 0));
            std::uint8_t status = 0xFF;
            ASSERT_EQ(socket.receiveBytes(&status, 1), 1);
            EXPECT_FALSE(socket.sessionWasReused()) << version;
            session = socket.currentSession();
        }
    }
    listener.stop();
}

TEST_F(TlsListenerTest, ClientThatNeverStartsTheHandshakeDoesNotHoldUpAStop) {
    CQKTcpSslSrv listener;
    listener.setParams(params());
    listener.start();  // the default 30 s time-out
    Poco::Net::StreamSocket silent(Poco::Net::SocketAddress("127.0.0.1", listener.boundPort()));
    ASSERT_TRUE(eventually([&] { return listener.connectionCount() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    listener.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Peers from many addresses (each under any share one address may hold) that never start
// their handshake or leave it half done fill every thread and more wait: each gives its thread
// up in turn, and a client that comes after them is greeted and delivers.
TEST_F(TlsListenerTest, ClientsThatNeverFinishTheirHandshakeGiveTheirThreadsUp) {
    CQKTcpSslSrv listener;
    listener.setParams(params());
    listener.start();  // the default 30 s time-out
    const std::uint16_t port = listener.boundPort();
    const std::uint64_t given_up = qk_receiver_metrics().idle_closed.value();
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<RawClient>(port, "127.0.0." + std::to_string(2 + i)));
        if (i % 2 == 1)
            idle.back()->send(std::vector<std::uint8_t>{0x16, 0x03, 0x01, 0x02, 0x00});
    }
    const Client client = issueClient("host-i");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        greeted(port, client.key, client.cert, m_pki->caCert(), false, Poco::Timespan(20, 0)));
    const auto waited = std::chrono::steady_clock::now() - start;
    std::cout << "[ measured ] TLS greeting beside 20 idle peers after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms"
              << std::endl;
    EXPECT_TRUE(delivers(port, client, "after-idle.txt"));
    EXPECT_GE(qk_receiver_metrics().idle_closed.value() - given_up, 10u);
    listener.stop();
}

// A byte of the handshake now and then, each within any time-out of a read, does not keep the
// connection: the whole handshake has its own time limit.
TEST_F(TlsListenerTest, AHandshakeSentByteByByteEndsAtItsTimeLimit) {
    CQKTcpSslSrv listener;
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(2, 0));
    listener.start();
    const std::uint64_t refused = qk_receiver_metrics().tls_handshakes_refused.value();
    RawClient client(listener.boundPort());
    client.send(std::vector<std::uint8_t>{0x16, 0x03, 0x01, 0x40, 0x00});  // a 16 KiB record
    const auto deadline = std::chrono::steady_clock::now() + QK_HANDSHAKE_LIMIT + 15s;
    bool ended = false;  // an alert or the end of the connection
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        try {
            client.send(std::vector<std::uint8_t>{0x00});
            ended = client.readStatus(Poco::Timespan(0, 250000)) != RawClient::kTimedOut;
        } catch (const Poco::Exception&) {
            ended = true;
        }
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(qk_receiver_metrics().tls_handshakes_refused.value() - refused, 1u);
    listener.stop();
}

TEST_F(TlsListenerTest, MissingFilesStopTheStartWithTheirTexts) {
    struct Case {
        std::string SQKSrvParams::*field;
        const char* text;
    };
    const Case cases[] = {
        {&SQKSrvParams::m_key_fpath, "Error of SSL files initializing. Key File Error..."},
        {&SQKSrvParams::m_cert_fpath, "Error of SSL files initializing. Certificate File Error..."},
        {&SQKSrvParams::m_ca_cert_fpath,
         "Error of SSL files initializing. CA Certificate File Error..."},
    };
    for (const Case& c : cases) {
        SQKSrvParams p = params();
        p.*(c.field) = m_root / "missing.pem";
        CQKTcpSslSrv listener;
        try {
            listener.setParams(p);
            FAIL() << c.text;
        } catch (const Poco::Exception& e) {
            EXPECT_EQ(e.message(), c.text);
        }
        EXPECT_THROW(listener.start(), Poco::Exception);
        EXPECT_EQ(listener.boundPort(), 0);
    }
}

TEST_F(TlsListenerTest, ARevokedClientIsRefusedWithoutARestartWhileTheOthersDeliver) {
    const Client stolen = issueClient("host-a");
    const Client kept = issueClient("host-b");
    const std::string crl = m_root / QK_CRL_FILE;
    CQKTcpSslSrv listener;
    listener.setRevocationList(crl);  // no file yet: nobody is refused for it
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(30, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    const std::string& ca = m_pki->caCert();
    ASSERT_TRUE(greeted(port, stolen.key, stolen.cert, ca));
    const CQKCounter& revoked = qk_receiver_metrics().tls_revoked_refused;
    const std::uint64_t revoked_before = revoked.value();
    m_ca.writeRevocationList({{"serial=" + stolen.serial, std::time(nullptr)}}, crl, 1);
    EXPECT_TRUE(within_15s([&] { return !greeted(port, stolen.key, stolen.cert, ca); }));
    EXPECT_GT(revoked.value(), revoked_before);
    EXPECT_TRUE(delivers(port, kept, "kept.txt"));

    // A list that no longer parses leaves the last good one in force; each refusal counts once.
    m_root.writeFile(QK_CRL_FILE, "-----BEGIN X509 CRL-----\ngarbage\n-----END X509 CRL-----\n");
    const std::uint64_t revoked_then = revoked.value();
    EXPECT_FALSE(greeted(port, stolen.key, stolen.cert, ca));
    EXPECT_EQ(g_client_version, "TLSv1.3");
    EXPECT_FALSE(greeted(port, stolen.key, stolen.cert, ca, true));
    EXPECT_EQ(revoked.value(), revoked_then + 2);
    EXPECT_TRUE(greeted(port, kept.key, kept.cert, ca));
    // So does a list of another CA.
    CQKCertificateAuthority::load(m_pki->otherCaKey(), m_pki->otherCaCert())
        .writeRevocationList({}, crl, 2);
    EXPECT_FALSE(greeted(port, stolen.key, stolen.cert, ca));
    EXPECT_TRUE(greeted(port, kept.key, kept.cert, ca));
    listener.stop();
}

// A kept connection was verified at its handshake: a client revoked since is shut out at its
// next run on it, not only at its next connection.
TEST_F(TlsListenerTest, AKeptConnectionOfAClientRevokedSinceCarriesNoMoreFiles) {
    const Client client = issueClient("host-k");
    const std::string crl = m_root / QK_CRL_FILE;
    CQKTcpSslSrv listener;
    listener.setRevocationList(crl);
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(30, 0));
    listener.start();
    CQKTcpSslCln sender;
    configure(sender, listener.boundPort(), client);
    sender.setKeepConnection(std::chrono::seconds(60));
    ASSERT_TRUE(delivers(sender, "before.txt"));
    ASSERT_TRUE(delivers(sender, "kept.txt"));
    EXPECT_EQ(listener.connectionCount(), 1u) << "the second run went on the kept connection";

    m_ca.writeRevocationList({{"serial=" + client.serial, std::time(nullptr)}}, crl, 1);
    EXPECT_FALSE(delivers(sender, "after.txt"));
    EXPECT_TRUE(m_root.exists("out/after.txt"));
    listener.stop();
}

TEST_F(TlsListenerTest, ABrokenListAtTheStartLetsNoClientInUntilAGoodOneComes) {
    const Client client = issueClient("host-c");
    const std::string crl = m_root / QK_CRL_FILE;
    m_root.writeFile(QK_CRL_FILE, "not a list\n");
    CQKTcpSslSrv listener;
    listener.setRevocationList(crl);
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(30, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    EXPECT_FALSE(greeted(port, client.key, client.cert, m_pki->caCert()));

    m_ca.writeRevocationList({}, crl, 1);
    EXPECT_TRUE(
        within_15s([&] { return greeted(port, client.key, client.cert, m_pki->caCert()); }));
    listener.stop();
}

// A list copied back over a newer one (a stale copy from configuration management)
// re-admits nobody: it is refused with one ERROR and the newer list stays in force. The
// highest number seen is kept in the incoming root, so after a restart the older list is
// still refused, and until a newer list comes no client gets in.
TEST_F(TlsListenerTest, AnOlderListCopiedBackReadmitsNoRevokedClient) {
    const Client stolen = issueClient("host-s");
    const Client kept = issueClient("host-t");
    const std::string crl = m_root / QK_CRL_FILE;
    const std::string& ca = m_pki->caCert();
    m_ca.writeRevocationList({}, crl, 5);
    const std::string older = m_root.readFile(QK_CRL_FILE);
    m_ca.writeRevocationList({{"serial=" + stolen.serial, std::time(nullptr)}}, crl, 6);
    Poco::File(m_root / "in").createDirectories();
    Poco::File(m_root / "log").createDirectories();
    ASSERT_TRUE(init_log(LOG_MODE_DEFAULT, m_root / "log", "tls", "log", LOG_LEVEL_TRACE,
                         LOG_LEVEL_FATAL, 1 << 26, 2));
    auto refusals = [&] {
        std::ifstream log(m_root / "log/tls.000.log");
        int count = 0;
        for (std::string line; std::getline(log, line);)
            count += line.find("cannot be used: its number 5 is lower than 6") != std::string::npos;
        return count;
    };
    auto started = [&] {
        auto listener = std::make_unique<CQKTcpSslSrv>();
        listener->setRevocationList(crl);
        listener->setParams(params());
        listener->setTimeout(Poco::Timespan(2, 0));
        listener->start();
        return listener;
    };
    auto listener = started();
    ASSERT_FALSE(greeted(listener->boundPort(), stolen.key, stolen.cert, ca));
    EXPECT_EQ(m_root.readFile("in/.qk_relay.crl_number"), "6\n");

    m_root.writeFile(QK_CRL_FILE, older);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(greeted(listener->boundPort(), stolen.key, stolen.cert, ca));
        EXPECT_TRUE(greeted(listener->boundPort(), kept.key, kept.cert, ca));
    }
    EXPECT_EQ(refusals(), 1);
    listener->stop();
    listener = started();
    const int at_start = refusals();
    EXPECT_GE(at_start, 2);
    EXPECT_FALSE(greeted(listener->boundPort(), stolen.key, stolen.cert, ca));
    EXPECT_FALSE(greeted(listener->boundPort(), kept.key, kept.cert, ca));
    EXPECT_EQ(refusals(), at_start) << "no line per connection";
    m_ca.writeRevocationList({{"serial=" + stolen.serial, std::time(nullptr)}}, crl, 7);
    EXPECT_TRUE(
        within_15s([&] { return greeted(listener->boundPort(), kept.key, kept.cert, ca); }));
    EXPECT_FALSE(greeted(listener->boundPort(), stolen.key, stolen.cert, ca));
    listener->stop();
    close_log();
    EXPECT_EQ(m_root.readFile("in/.qk_relay.crl_number"), "7\n");
}

}  // namespace

// The TLS listener with real certificates: who gets in, who is refused (revoked clients
// among them), and that the listener keeps serving after a refusal.
#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <openssl/ssl.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

#include "TempDir.h"
#include "TestPki.h"
#include "pki/CQKCertificateAuthority.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKTcpSslCln.h"
#include "transfer/CQKTcpSslSrvS.h"
#include "transfer/qk_relay_metrics.h"
#include "transfer/qk_tls.h"

namespace {

// Connects with the given client key and certificate (none when empty), offering only
// tls_version when it is set, and reads the greeting. True only when the handshake passed
// and the greeting 0x00 arrived.
bool greeted(std::uint16_t port, const std::string& key, const std::string& cert,
             const std::string& ca, int tls_version = 0) {
    Poco::Net::Context::Params params = qk_tls_params(key, cert, ca);
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLSV1_2_CLIENT_USE, params);
    if (tls_version != 0) {
        SSL_CTX_set_min_proto_version(context->sslContext(), tls_version);
        SSL_CTX_set_max_proto_version(context->sslContext(), tls_version);
    }
    try {
        Poco::Net::SecureStreamSocket socket(context);
        socket.setPeerHostName(QK_TLS_SERVER_NAME);
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", port), Poco::Timespan(5, 0));
        socket.setReceiveTimeout(Poco::Timespan(5, 0));
        std::uint8_t status = 0xFF;
        return socket.receiveBytes(&status, 1) == 1 && status == QK_SEND_FILE_FOK;
    } catch (const Poco::Exception&) {
        return false;
    }
}

// True once the listener runs a connection (within a few seconds).
bool eventually_connected(const CQKTcpSrv& listener) {
    for (int i = 0; i < 500 && listener.connectionCount() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return listener.connectionCount() > 0;
}

// True once condition holds, within the 15 seconds a receiver has to take a new revocation
// list into force.
template <typename Condition>
bool within_15s(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
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
    // Sends one file with the client's certificate; true when it arrived.
    bool delivers(std::uint16_t port, const Client& client, const std::string& name) const {
        m_root.writeFile("out/" + name, "from " + name);
        SQKClnParams p;
        p.m_op_code = OperationCode::send_files;
        p.m_out_dir = m_root / "out";
        p.m_srv_address = "127.0.0.1";
        p.m_srv_port = port;
        p.m_use_ssl = 1;
        p.m_ssl_key_fpath = client.key;
        p.m_ssl_cert_fpath = client.cert;
        p.m_ssl_ca_cert_fpath = m_pki->caCert();
        CQKTcpSslCln sender;
        sender.setParams(p);
        sender.setTimeout(Poco::Timespan(5, 0));
        sender.setRetryDelay(std::chrono::milliseconds(10));
        sender.setDirGrace(std::chrono::milliseconds(0));
        sender.sendFiles();
        return m_root.exists("in/" + name);
    }

    const TestPki* m_pki = &sharedTestPki();
    TempDir m_root;
    const CQKCertificateAuthority m_ca =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
};

TEST_F(TlsListenerTest, OnlyClientsOfOurCaWithTheClientNameGetIn) {
    CQKTcpSslSrvS listener;
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(2, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    const TestPki& pki = *m_pki;

    EXPECT_FALSE(greeted(port, pki.wrongNameKey(), pki.wrongNameCert(), pki.caCert()))
        << "a certificate of our CA with another name";
    EXPECT_FALSE(greeted(port, pki.otherClientKey(), pki.otherClientCert(), pki.caCert()))
        << "a certificate of a foreign CA";
    EXPECT_FALSE(greeted(port, "", "", pki.caCert())) << "no certificate";
    EXPECT_FALSE(greeted(port, pki.serverKey(), pki.serverCert(), pki.caCert()))
        << "the server's own certificate";
    EXPECT_FALSE(greeted(port, pki.clientKey(), pki.clientCert(), pki.caCert(), TLS1_3_VERSION))
        << "TLS 1.3, whose cipher suites are not the configured one";
    EXPECT_TRUE(greeted(port, pki.clientKey(), pki.clientCert(), pki.caCert(), TLS1_2_VERSION));
    // Refusals end only their own connections.
    EXPECT_TRUE(greeted(port, pki.clientKey(), pki.clientCert(), pki.caCert()));
    listener.stop();
}

TEST_F(TlsListenerTest, ClientThatNeverStartsTheHandshakeDoesNotHoldUpAStop) {
    CQKTcpSslSrvS listener;
    listener.setParams(params());
    listener.start();  // the default 30 s time-out
    Poco::Net::StreamSocket silent(Poco::Net::SocketAddress("127.0.0.1", listener.boundPort()));
    ASSERT_TRUE(eventually_connected(listener));
    const auto start = std::chrono::steady_clock::now();
    listener.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
        CQKTcpSslSrvS listener;
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
    CQKTcpSslSrvS listener;
    listener.setRevocationList(crl);  // no file yet: nobody is refused for it
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(2, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    const std::string& ca = m_pki->caCert();
    ASSERT_TRUE(greeted(port, stolen.key, stolen.cert, ca));
    const CQKCounter& revoked = qk_receiver_metrics().tls_revoked_refused;
    const std::uint64_t revoked_before = revoked.value();
    m_ca.writeRevocationList({{"serial=" + stolen.serial, std::time(nullptr)}}, crl);
    EXPECT_TRUE(within_15s([&] { return !greeted(port, stolen.key, stolen.cert, ca); }));
    EXPECT_GT(revoked.value(), revoked_before);
    EXPECT_TRUE(delivers(port, kept, "kept.txt"));

    // A list that no longer parses leaves the last good one in force; each refusal counts once.
    m_root.writeFile(QK_CRL_FILE, "-----BEGIN X509 CRL-----\ngarbage\n-----END X509 CRL-----\n");
    const std::uint64_t revoked_then = revoked.value();
    EXPECT_FALSE(greeted(port, stolen.key, stolen.cert, ca));
    EXPECT_EQ(revoked.value(), revoked_then + 1);
    EXPECT_TRUE(greeted(port, kept.key, kept.cert, ca));
    // So does a list of another CA.
    CQKCertificateAuthority::load(m_pki->otherCaKey(), m_pki->otherCaCert())
        .writeRevocationList({}, crl);
    EXPECT_FALSE(greeted(port, stolen.key, stolen.cert, ca));
    EXPECT_TRUE(greeted(port, kept.key, kept.cert, ca));
    listener.stop();
}

TEST_F(TlsListenerTest, ABrokenListAtTheStartLetsNoClientInUntilAGoodOneComes) {
    const Client client = issueClient("host-c");
    const std::string crl = m_root / QK_CRL_FILE;
    m_root.writeFile(QK_CRL_FILE, "not a list\n");
    CQKTcpSslSrvS listener;
    listener.setRevocationList(crl);
    listener.setParams(params());
    listener.setTimeout(Poco::Timespan(2, 0));
    listener.start();
    const std::uint16_t port = listener.boundPort();
    EXPECT_FALSE(greeted(port, client.key, client.cert, m_pki->caCert()));

    m_ca.writeRevocationList({}, crl);
    EXPECT_TRUE(
        within_15s([&] { return greeted(port, client.key, client.cert, m_pki->caCert()); }));
    listener.stop();
}

}  // namespace

// The TLS listener with real certificates: who gets in, who is refused, and that the
// listener keeps serving after a refusal.
#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <thread>

#include "TempDir.h"
#include "TestPki.h"
#include "protocol/qk_protocol.h"
#include "transfer/CQKTcpSslSrvS.h"
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

    const TestPki* m_pki = &sharedTestPki();
    TempDir m_root;
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

}  // namespace

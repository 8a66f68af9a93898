// Tests of the CA code through the test key set: chain verification, names, key files,
// certificate profiles, loading, refusals of bad input, and a real TLS handshake.
#include "pki/CQKCertificateAuthority.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <Poco/File.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/SecureStreamSocket.h>

#include <cctype>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestPki.h"
#include "pki/qk_openssl_ptr.h"
#include "transfer/qk_tls.h"

namespace {

using CertPtr = QKOwned<X509, X509_free>;
using KeyPtr = QKOwned<EVP_PKEY, EVP_PKEY_free>;
using StorePtr = QKOwned<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = QKOwned<X509_STORE_CTX, X509_STORE_CTX_free>;
using BioPtr = QKOwned<BIO, BIO_free_all>;
using CrlPtr = QKOwned<X509_CRL, X509_CRL_free>;

CertPtr read_cert(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return CertPtr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr read_key(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool verifies(const std::string& cert_path, const std::string& ca_path, int purpose) {
    CertPtr cert = read_cert(cert_path);
    CertPtr ca = read_cert(ca_path);
    StorePtr store(X509_STORE_new());
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!cert || !ca || !store || !ctx || X509_STORE_add_cert(store.get(), ca.get()) != 1 ||
        X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1 ||
        X509_STORE_CTX_set_purpose(ctx.get(), purpose) != 1) {
        ADD_FAILURE() << "cannot set up the verification of " << cert_path;
        return false;
    }
    return X509_verify_cert(ctx.get()) == 1;
}

std::string common_name(X509* cert) {
    char name[128] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
    return name;
}

bool is_critical(X509* cert, int nid) {
    const int index = X509_get_ext_by_NID(cert, nid, -1);
    return index >= 0 && X509_EXTENSION_get_critical(X509_get_ext(cert, index)) == 1;
}

constexpr long DAY = 86400;

// Seconds between the certificate's start and end of validity.
long validity(X509* cert) {
    int days = -1;
    int seconds = -1;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert));
    return days * DAY + seconds;
}

unsigned file_mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class PkiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Poco::Net::initializeSSL();
        m_tmp = std::make_unique<TempDir>();
        m_pki = std::make_unique<TestPki>(m_tmp->path());
    }
    static void TearDownTestSuite() {
        m_pki.reset();
        m_tmp.reset();
        Poco::Net::uninitializeSSL();
    }

    struct Leaf {
        const char* label;
        std::string key;
        std::string cert;
        std::string ca;
        std::string name;
    };
    static std::vector<Leaf> leaves() {
        const TestPki& p = *m_pki;
        return {
            {"server", p.serverKey(), p.serverCert(), p.caCert(), QK_TLS_SERVER_NAME},
            {"client", p.clientKey(), p.clientCert(), p.caCert(), QK_TLS_CLIENT_NAME},
            {"gui", p.guiKey(), p.guiCert(), p.caCert(), QK_TLS_GUI_NAME},
            {"wrong name", p.wrongNameKey(), p.wrongNameCert(), p.caCert(), TestPki::WRONG_NAME},
            {"other client", p.otherClientKey(), p.otherClientCert(), p.otherCaCert(),
             QK_TLS_CLIENT_NAME},
            {"other server", p.otherServerKey(), p.otherServerCert(), p.otherCaCert(),
             QK_TLS_SERVER_NAME},
        };
    }

    inline static std::unique_ptr<TempDir> m_tmp;
    inline static std::unique_ptr<TestPki> m_pki;
};

TEST_F(PkiTest, CertificatesVerifyAgainstTheirOwnCaOnly) {
    for (const Leaf& leaf : leaves()) {
        SCOPED_TRACE(leaf.label);
        const std::string foreign_ca =
            leaf.ca == m_pki->caCert() ? m_pki->otherCaCert() : m_pki->caCert();
        for (int purpose : {X509_PURPOSE_SSL_SERVER, X509_PURPOSE_SSL_CLIENT}) {
            EXPECT_TRUE(verifies(leaf.cert, leaf.ca, purpose));
            EXPECT_FALSE(verifies(leaf.cert, foreign_ca, purpose));
        }
    }
}

TEST_F(PkiTest, CertificatesCarryTheirNameAsCommonNameAndDnsAltName) {
    for (const Leaf& leaf : leaves()) {
        SCOPED_TRACE(leaf.label);
        CertPtr cert = read_cert(leaf.cert);
        ASSERT_TRUE(cert);
        EXPECT_EQ(leaf.name, common_name(cert.get()));
        // Matching with the subject ignored proves the name is in the subjectAltName.
        const unsigned int san_only = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
        EXPECT_EQ(1, X509_check_host(cert.get(), leaf.name.c_str(), 0, san_only, nullptr));
        EXPECT_EQ(0, X509_check_host(cert.get(), "Orvane.Zorvex", 0, 0, nullptr));
    }
}

TEST_F(PkiTest, KeysArePrivateP256AndMatchTheirCertificates) {
    std::vector<Leaf> pairs = leaves();
    pairs.push_back({"our CA", m_pki->caKey(), m_pki->caCert(), "", ""});
    pairs.push_back({"other CA", m_pki->otherCaKey(), m_pki->otherCaCert(), "", ""});
    for (const Leaf& pair : pairs) {
        SCOPED_TRACE(pair.label);
        KeyPtr key = read_key(pair.key);
        CertPtr cert = read_cert(pair.cert);
        ASSERT_TRUE(key && cert);
        EXPECT_EQ(1, X509_check_private_key(cert.get(), key.get()));
        char group[64] = {};
        EXPECT_EQ(1, EVP_PKEY_get_group_name(key.get(), group, sizeof group, nullptr));
        EXPECT_STREQ("prime256v1", group);
        EXPECT_EQ(NID_ecdsa_with_SHA256, X509_get_signature_nid(cert.get()));
        EXPECT_EQ(0600u, file_mode(pair.key));
        EXPECT_EQ(0644u, file_mode(pair.cert));
    }
}

TEST_F(PkiTest, CaAndIssuedCertificatesHaveTheirProfiles) {
    CertPtr ca = read_cert(m_pki->caCert());
    ASSERT_TRUE(ca);
    EXPECT_EQ(1, X509_check_ca(ca.get()));
    EXPECT_TRUE(is_critical(ca.get(), NID_basic_constraints));
    EXPECT_EQ(static_cast<uint32_t>(KU_KEY_CERT_SIGN | KU_CRL_SIGN), X509_get_key_usage(ca.get()));
    ASSERT_NE(nullptr, X509_get0_subject_key_id(ca.get()));
    EXPECT_EQ(QK_CERT_DEFAULT_DAYS * DAY, validity(ca.get()));

    for (const Leaf& leaf : leaves()) {
        SCOPED_TRACE(leaf.label);
        CertPtr cert = read_cert(leaf.cert);
        ASSERT_TRUE(cert);
        EXPECT_EQ(0, X509_check_ca(cert.get()));
        EXPECT_TRUE(is_critical(cert.get(), NID_basic_constraints));
        EXPECT_EQ(static_cast<uint32_t>(KU_DIGITAL_SIGNATURE), X509_get_key_usage(cert.get()));
        EXPECT_EQ(static_cast<uint32_t>(XKU_SSL_SERVER | XKU_SSL_CLIENT),
                  X509_get_extended_key_usage(cert.get()));
        // Issued a moment after their CA with the same length, so cut to the CA's end.
        EXPECT_LE(QK_CERT_DEFAULT_DAYS * DAY - 60, validity(cert.get()));
        EXPECT_GE(0, ASN1_TIME_compare(X509_get0_notAfter(cert.get()),
                                       X509_get0_notAfter(read_cert(leaf.ca).get())));
        // Backdated by an hour, for peers whose clocks run a little behind.
        std::time_t an_hour_ago = std::time(nullptr) - 3540;
        EXPECT_EQ(-1, X509_cmp_time(X509_get0_notBefore(cert.get()), &an_hour_ago));
    }
    CertPtr server = read_cert(m_pki->serverCert());
    CertPtr client = read_cert(m_pki->clientCert());
    EXPECT_NE(0, ASN1_INTEGER_cmp(X509_get0_serialNumber(server.get()),
                                  X509_get0_serialNumber(client.get())));
    EXPECT_EQ(0, ASN1_OCTET_STRING_cmp(X509_get0_subject_key_id(ca.get()),
                                       X509_get0_authority_key_id(server.get())));
}

TEST_F(PkiTest, LoadedCaIssuesVerifiableCertificatesWithinItsOwnValidity) {
    TempDir tmp;
    const CQKCertificateAuthority loaded =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
    EXPECT_EQ("Orvane Zorvex Test CA", loaded.name());
    loaded.issue("Orvane.Zorvex.Extra", tmp / "extra.key", tmp / "extra.cert", 7);
    EXPECT_TRUE(verifies(tmp / "extra.cert", m_pki->caCert(), X509_PURPOSE_SSL_CLIENT));
    EXPECT_EQ(7 * DAY, validity(read_cert(tmp / "extra.cert").get()));

    const CQKCertificateAuthority short_lived = CQKCertificateAuthority::create("Short", 2);
    short_lived.save(tmp / "short.key", tmp / "short.pem");
    short_lived.issue("long.lived", tmp / "long.key", tmp / "long.cert");
    CertPtr ca = read_cert(tmp / "short.pem");
    CertPtr cert = read_cert(tmp / "long.cert");
    EXPECT_EQ(0, ASN1_TIME_compare(X509_get0_notAfter(ca.get()), X509_get0_notAfter(cert.get())));
}

TEST_F(PkiTest, LoadRefusesWhatCannotServeAsCa) {
    TempDir tmp;
    // An encrypted key must be refused, not prompted for.
    KeyPtr key = read_key(m_pki->caKey());
    BioPtr out(BIO_new_file((tmp / "encrypted.key").c_str(), "w"));
    ASSERT_EQ(1, PEM_write_bio_PrivateKey(out.get(), key.get(), EVP_aes_256_cbc(), nullptr, 0,
                                          nullptr, const_cast<char*>("secret")));
    out.reset();

    struct Case {
        const char* label;
        std::string key;
        std::string cert;
        const char* message;
    };
    const Case cases[] = {
        {"missing key", tmp / "missing.key", m_pki->caCert(), "missing.key"},
        {"certificate as key", m_pki->caCert(), m_pki->caCert(), "No unencrypted PEM"},
        {"encrypted key", tmp / "encrypted.key", m_pki->caCert(), "No unencrypted PEM"},
        {"key of another CA", m_pki->otherCaKey(), m_pki->caCert(), "does not belong"},
        {"end-entity certificate", m_pki->serverKey(), m_pki->serverCert(), "Not a CA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            CQKCertificateAuthority::load(c.key, c.cert);
            ADD_FAILURE() << "loaded";
        } catch (const Poco::Exception& e) {
            EXPECT_NE(std::string::npos, e.displayText().find(c.message)) << e.displayText();
        }
    }
}

TEST_F(PkiTest, IssueRefusesBadArgumentsAndWritesNothing) {
    TempDir tmp;
    const CQKCertificateAuthority ca =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
    const std::pair<std::string, int> cases[] = {
        {"", 1},           {"Bad Name", 1},           {"a..b", 1},
        {"x,DNS:evil", 1}, {std::string(65, 'a'), 1}, {"ok.name", 0}};
    for (const auto& [name, days] : cases) {
        SCOPED_TRACE(name + " / " + std::to_string(days));
        EXPECT_THROW(ca.issue(name, tmp / "x.key", tmp / "x.cert", days),
                     Poco::InvalidArgumentException);
        EXPECT_FALSE(tmp.exists("x.key"));
    }
    EXPECT_THROW(CQKCertificateAuthority::create("tab\there"), Poco::InvalidArgumentException);
    EXPECT_THROW(ca.issue("ok.name", tmp / "no/such/dir/x.key", tmp / "x.cert"),
                 Poco::FileException);
}

TEST_F(PkiTest, IssueReplacesAnExistingReadableKeyFileWithAPrivateOne) {
    TempDir tmp;
    tmp.writeFile("x.key", "old");
    ASSERT_EQ(0, ::chmod((tmp / "x.key").c_str(), 0644));
    const CQKCertificateAuthority ca =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
    ca.issue("ok.name", tmp / "x.key", tmp / "x.cert");
    EXPECT_EQ(0600u, file_mode(tmp / "x.key"));
    KeyPtr key = read_key(tmp / "x.key");
    CertPtr cert = read_cert(tmp / "x.cert");
    ASSERT_TRUE(key && cert);
    EXPECT_EQ(1, X509_check_private_key(cert.get(), key.get()));
    std::vector<std::string> files;
    Poco::File(tmp.path()).list(files);
    EXPECT_EQ(2u, files.size()) << "temporary files left behind";
}

// ---- revocation ----

// The outcome of OpenSSL's own CRL check of the client certificate cert_path.
int verify_with_crl(const std::string& cert_path, const std::string& ca_path,
                    const std::string& crl_path) {
    CertPtr cert = read_cert(cert_path);
    CertPtr ca = read_cert(ca_path);
    BioPtr bio(BIO_new_file(crl_path.c_str(), "r"));
    CrlPtr crl(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    StorePtr store(X509_STORE_new());
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!cert || !ca || !crl || !store || !ctx || X509_STORE_add_cert(store.get(), ca.get()) != 1 ||
        X509_STORE_add_crl(store.get(), crl.get()) != 1 ||
        X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK) != 1 ||
        X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) {
        ADD_FAILURE() << "cannot set up the verification of " << cert_path;
        return -1;
    }
    X509_verify_cert(ctx.get());
    return X509_STORE_CTX_get_error(ctx.get());
}

TEST_F(PkiTest, RevocationListIsTheCasAndRefusesOnlyTheCertificatesItNames) {
    TempDir tmp;
    const CQKCertificateAuthority ca =
        CQKCertificateAuthority::load(m_pki->caKey(), m_pki->caCert());
    const std::string revoked =
        ca.issue(QK_TLS_CLIENT_NAME, tmp / "a.key", tmp / "a.cert", 30, "a");
    ca.issue(QK_TLS_CLIENT_NAME, tmp / "b.key", tmp / "b.cert", 30, "b");
    const std::time_t when = std::time(nullptr) - DAY;
    // As openssl x509 -serial prints it, in the other case.
    std::string typed = "SERIAL=" + revoked;
    for (char& c : typed)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ca.writeRevocationList({{typed, when}}, tmp / "crl.pem", 7);

    EXPECT_EQ(0644u, file_mode(tmp / "crl.pem"));
    EXPECT_EQ(X509_V_ERR_CERT_REVOKED,
              verify_with_crl(tmp / "a.cert", m_pki->caCert(), tmp / "crl.pem"));
    EXPECT_EQ(X509_V_OK, verify_with_crl(tmp / "b.cert", m_pki->caCert(), tmp / "crl.pem"));
    BioPtr bio(BIO_new_file((tmp / "crl.pem").c_str(), "r"));
    CrlPtr crl(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(crl);
    CertPtr ca_cert = read_cert(m_pki->caCert());
    CertPtr other_ca = read_cert(m_pki->otherCaCert());
    EXPECT_EQ(1, X509_CRL_verify(crl.get(), X509_get0_pubkey(ca_cert.get())));
    EXPECT_NE(1, X509_CRL_verify(crl.get(), X509_get0_pubkey(other_ca.get())));
    // It ages with the CA, not before it.
    EXPECT_EQ(0, ASN1_TIME_compare(X509_CRL_get0_nextUpdate(crl.get()),
                                   X509_get0_notAfter(ca_cert.get())));
    ASSERT_EQ(1, sk_X509_REVOKED_num(X509_CRL_get_REVOKED(crl.get())));
    const X509_REVOKED* entry = sk_X509_REVOKED_value(X509_CRL_get_REVOKED(crl.get()), 0);
    EXPECT_EQ(0, ASN1_TIME_cmp_time_t(X509_REVOKED_get0_revocationDate(entry), when));
    // Numbered as asked, so that receivers can tell an older list; numbers start at 1.
    std::int64_t number = 0;
    ASN1_INTEGER* crl_number = static_cast<ASN1_INTEGER*>(
        X509_CRL_get_ext_d2i(crl.get(), NID_crl_number, nullptr, nullptr));
    ASSERT_NE(crl_number, nullptr);
    EXPECT_EQ(1, ASN1_INTEGER_get_int64(&number, crl_number));
    ASN1_INTEGER_free(crl_number);
    EXPECT_EQ(number, 7);
    EXPECT_THROW(ca.writeRevocationList({}, tmp / "bad.pem", 0), Poco::InvalidArgumentException);

    for (const char* bad : {"", "serial=", "12G4", "-1", "12 34"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(CQKCertificateAuthority::canonicalSerial(bad), Poco::InvalidArgumentException);
        EXPECT_THROW(ca.writeRevocationList({{bad, when}}, tmp / "bad.pem", 8),
                     Poco::InvalidArgumentException);
        EXPECT_FALSE(tmp.exists("bad.pem"));
    }
    EXPECT_EQ(revoked, CQKCertificateAuthority::canonicalSerial(typed));
}

// ---- TLS ----

struct Exchange {
    std::string server_received;
    std::string server_error;
    std::string client_received;
};

// Accepts one connection, reads what the client sends and answers "pong".
void serve_once(Poco::Net::SecureServerSocket& listener, Exchange& result) {
    try {
        if (!listener.poll(Poco::Timespan(30, 0), Poco::Net::Socket::SELECT_READ)) {
            throw Poco::TimeoutException("no client connected");
        }
        Poco::Net::SecureStreamSocket peer(listener.acceptConnection());
        peer.setPeerHostName(QK_TLS_CLIENT_NAME);
        peer.setReceiveTimeout(Poco::Timespan(30, 0));
        char buffer[16];
        const int n = peer.receiveBytes(buffer, sizeof buffer);
        result.server_received.assign(buffer, n > 0 ? n : 0);
        peer.sendBytes("pong", 4);
    } catch (const Poco::Exception& e) {
        result.server_error = e.displayText();
    }
}

// Our server (key, certificate and CA of TestPki) against a client with the given files.
Exchange exchange(const TestPki& pki, const std::string& client_key,
                  const std::string& client_cert) {
    using Poco::Net::Context;
    Context::Ptr server_context =
        new Context(Context::TLSV1_2_SERVER_USE,
                    qk_tls_params(pki.serverKey(), pki.serverCert(), pki.caCert()));
    Context::Ptr client_context = new Context(Context::TLSV1_2_CLIENT_USE,
                                              qk_tls_params(client_key, client_cert, pki.caCert()));
    Poco::Net::SecureServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0), 4,
                                           server_context);
    Exchange result;
    std::thread server([&] { serve_once(listener, result); });
    try {
        Poco::Net::SecureStreamSocket client(client_context);
        client.setPeerHostName(QK_TLS_SERVER_NAME);
        client.connect(Poco::Net::SocketAddress("127.0.0.1", listener.address().port()),
                       Poco::Timespan(5, 0));
        client.setReceiveTimeout(Poco::Timespan(30, 0));
        client.sendBytes("ping", 4);
        char buffer[16];
        const int n = client.receiveBytes(buffer, sizeof buffer);
        result.client_received.assign(buffer, n > 0 ? n : 0);
    } catch (const Poco::Exception&) {
        // A refused handshake shows in what each side received.
    }
    server.join();
    return result;
}

TEST_F(PkiTest, ServerAndClientCertificatesCompleteATls12Handshake) {
    const Exchange result = exchange(*m_pki, m_pki->clientKey(), m_pki->clientCert());
    EXPECT_EQ("", result.server_error);
    EXPECT_EQ("ping", result.server_received);
    EXPECT_EQ("pong", result.client_received);
}

TEST_F(PkiTest, ServerRefusesAClientCertificateOfOurCaWithAnotherName) {
    const Exchange result = exchange(*m_pki, m_pki->wrongNameKey(), m_pki->wrongNameCert());
    EXPECT_NE(std::string::npos, result.server_error.find("application verification failure"))
        << result.server_error;
    EXPECT_EQ("", result.server_received);
    EXPECT_EQ("", result.client_received);
}

}  // namespace

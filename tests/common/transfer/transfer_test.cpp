// Files travel from a real sender to a real listener on loopback, plain and over TLS:
// byte-identical arrival, the outgoing side emptied, backups on both sides, and the
// sender's refusal of servers it must not trust.
#include <gtest/gtest.h>

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>

#include <random>

#include "CQKTcpSrv.h"
#include "CQKTcpSslCln.h"
#include "TempDir.h"
#include "TestPki.h"
#include "base/qk_console.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    for (Poco::DirectoryIterator it(dir), end; it != end; ++it)
        names.push_back(it.name());
    return names;
}

// The outgoing tree of every test: empty, tiny and piece-boundary files in sub-directories.
const std::map<std::string, std::string>& sample_tree() {
    static const std::map<std::string, std::string> tree{
        {"empty.dat", ""},
        {"one.dat", "1"},
        {"a/b/65535.bin", random_bytes(65535, 1)},
        {"a/65536.bin", random_bytes(65536, 2)},
        {"c/65537.bin", random_bytes(65537, 3)},
        {"c/d/e/deep.txt", "deep"},
    };
    return tree;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        qk_set_console_echo(getenv("QK_TEST_ECHO") != nullptr);
        m_srv_params.m_in_dir = m_root / "in";
        m_srv_params.m_back_dir = m_root / "srv_back";
        m_srv_params.m_key_fpath = m_pki->serverKey();
        m_srv_params.m_cert_fpath = m_pki->serverCert();
        m_srv_params.m_ca_cert_fpath = m_pki->caCert();
        Poco::File(m_srv_params.m_in_dir).createDirectories();
        Poco::File(m_root / "out").createDirectories();
    }
    void TearDown() override { qk_set_console_echo(true); }

    void writeTree(const std::map<std::string, std::string>& tree) {
        for (const auto& [path, content] : tree)
            m_root.writeFile("out/" + path, content);
    }

    SQKClnParams clientParams(std::uint16_t port, bool tls) const {
        SQKClnParams p;
        p.m_op_code = OperationCode::send_files;
        p.m_out_dir = m_root / "out";
        p.m_back_dir = m_root / "cln_back";
        p.m_srv_address = "127.0.0.1";
        p.m_srv_port = port;
        p.m_use_ssl = tls ? 1 : 0;
        p.m_sub_dirs = 1;
        p.m_ssl_key_fpath = m_pki->clientKey();
        p.m_ssl_cert_fpath = m_pki->clientCert();
        p.m_ssl_ca_cert_fpath = m_pki->caCert();
        return p;
    }

    // One sending run with short delays; returns the sender's last result.
    int send(const SQKClnParams& params) {
        CQKTcpCln plain;
        CQKTcpSslCln tls;
        CQKTcpCln& sender = params.m_use_ssl ? tls : plain;
        sender.setParams(params);
        sender.setTimeout(Poco::Timespan(30, 0));
        sender.setRetryDelay(std::chrono::milliseconds(10));
        sender.setDirGrace(std::chrono::milliseconds(0));  // the tree was made just now
        sender.sendFiles();
        return sender.currResult();
    }

    void expectDelivered(const std::map<std::string, std::string>& tree) {
        for (const auto& [path, content] : tree) {
            ASSERT_TRUE(m_root.exists("in/" + path)) << path;
            EXPECT_TRUE(m_root.readFile("in/" + path) == content) << path << " differs";
            EXPECT_TRUE(m_root.readFile("cln_back/" + path) == content) << path << " backup";
        }
        EXPECT_TRUE(entries_of(m_root / "out").empty()) << "the outgoing side is emptied";
    }

    const TestPki* m_pki = &sharedTestPki();
    TempDir m_root;
    SQKSrvParams m_srv_params;
};

TEST_F(TransferTest, PlainTreeArrivesAndBackupsRotateOnBothSides) {
    CQKTcpSrv listener;
    listener.setParams(m_srv_params);
    listener.start();
    const auto& tree = sample_tree();

    writeTree(tree);
    ASSERT_EQ(send(clientParams(listener.boundPort(), false)), 0);
    expectDelivered(tree);

    // The same names again: both sides keep the earlier copies as numbered backups.
    std::map<std::string, std::string> second;
    for (const auto& [path, content] : tree)
        second[path] = content + "v2";
    writeTree(second);
    ASSERT_EQ(send(clientParams(listener.boundPort(), false)), 0);
    expectDelivered(second);
    for (const auto& [path, content] : tree) {
        EXPECT_TRUE(m_root.readFile("srv_back/" + path) == content) << path;
        EXPECT_TRUE(m_root.readFile("cln_back/" + path + ".000.bak") == content) << path;
    }
    listener.stop();
}

TEST_F(TransferTest, TlsTreeWithALargeFileArrivesByteIdentical) {
    CQKTcpSslSrv listener;
    listener.setParams(m_srv_params);
    listener.start();
    std::map<std::string, std::string> tree = sample_tree();
    tree["big/large.bin"] = random_bytes(100 * 1024 * 1024 + 7, 4);

    writeTree(tree);
    ASSERT_EQ(send(clientParams(listener.boundPort(), true)), 0);
    expectDelivered(tree);
    listener.stop();
}

TEST_F(TransferTest, SenderRefusesServersWithoutOurNameOrCa) {
    struct Case {
        const char* what;
        std::string key;
        std::string cert;
    };
    const Case cases[] = {
        {"our CA, wrong name", m_pki->wrongNameKey(), m_pki->wrongNameCert()},
        {"foreign CA, right name", m_pki->otherServerKey(), m_pki->otherServerCert()},
    };
    writeTree({{"keep.txt", "stays"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SQKSrvParams params = m_srv_params;
        params.m_key_fpath = c.key;
        params.m_cert_fpath = c.cert;
        if (std::string(c.what).find("foreign") != std::string::npos) {
            params.m_ca_cert_fpath = m_pki->otherCaCert();  // so it accepts our client
        }
        CQKTcpSslSrv listener;
        listener.setParams(params);
        listener.start();
        EXPECT_EQ(send(clientParams(listener.boundPort(), true)), QK_SEND_FILE_FERROR);
        listener.stop();
        EXPECT_EQ(m_root.readFile("out/keep.txt"), "stays");
        EXPECT_TRUE(entries_of(m_root / "in").empty());
    }
}

}  // namespace

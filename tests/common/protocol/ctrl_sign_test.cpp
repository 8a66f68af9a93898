// Signed forms of the control records: what the signature covers, keys, bounded strings.
#include <gtest/gtest.h>

#include <Poco/Crypto/CryptoException.h>

#include <cstring>

#include "TestPki.h"
#include "protocol/qk_ctrl_sign.h"

namespace {

template <typename Ctrl>
Ctrl zeroed() {
    Ctrl ctrl;
    std::memset(&ctrl, 0, sizeof ctrl);
    return ctrl;
}

SQKSrvSCtrl server_record() {
    SQKSrvSCtrl ctrl = zeroed<SQKSrvSCtrl>();
    qk_ctrl_set_string(ctrl.m_in_dir, "/srv/in");
    qk_ctrl_set_string(ctrl.m_back_dir, "/srv/back");
    ctrl.m_port = 5000;
    ctrl.m_ssl_port = 5001;
    return ctrl;
}

SQKClnSCtrl client_record() {
    SQKClnSCtrl ctrl = zeroed<SQKClnSCtrl>();
    qk_ctrl_set_string(ctrl.m_out_dir, "/cln/out");
    qk_ctrl_set_string(ctrl.m_srv_address, "127.0.0.1");
    ctrl.m_srv_port = 5001;
    ctrl.m_use_ssl = 1;
    return ctrl;
}

// Signs with the service's key, as a service hands a record out.
template <typename Ctrl>
void sign_by_client(Ctrl& ctrl) {
    const TestPki& pki = sharedTestPki();
    qk_ctrl_put_sign(ctrl,
                     qk_ctrl_sign(qk_ctrl_signed_form(ctrl), pki.clientCert(), pki.clientKey()));
}

template <typename Ctrl>
bool verifies(const Ctrl& ctrl, const std::string& cert) {
    return qk_ctrl_verify(qk_ctrl_signed_form(ctrl), ctrl.m_sign,
                          static_cast<std::size_t>(ctrl.m_sign_size), cert);
}

unsigned char& byte_at(void* record, std::size_t offset) {
    return static_cast<unsigned char*>(record)[offset];
}

// The signature covers every byte but the head and the padding, string tails included.
template <typename Ctrl>
void check_coverage(Ctrl ctrl, std::size_t string_tail, std::vector<std::size_t> padding) {
    const std::string cert = sharedTestPki().clientCert();
    sign_by_client(ctrl);
    ASSERT_GT(ctrl.m_sign_size, 0);
    ASSERT_LE(ctrl.m_sign_size, 72);  // P-256
    EXPECT_TRUE(verifies(ctrl, cert));
    EXPECT_FALSE(verifies(ctrl, sharedTestPki().guiCert()));

    for (std::size_t offset : padding) {
        Ctrl changed = ctrl;
        byte_at(&changed, offset) = 0x5A;
        EXPECT_TRUE(verifies(changed, cert)) << "padding byte " << offset;
    }
    Ctrl changed = ctrl;
    byte_at(&changed, string_tail) = 'x';
    EXPECT_FALSE(verifies(changed, cert)) << "byte after a terminator at " << string_tail;
}

}  // namespace

TEST(CtrlSign, ServerRecordSignatureCoversAllButHeadAndPadding) {
    check_coverage(server_record(), offsetof(SQKSrvSCtrl, m_back_dir) + 200, {90, 91, 618, 619});
}

TEST(CtrlSign, ClientRecordSignatureCoversAllButHeadAndPadding) {
    check_coverage(client_record(), offsetof(SQKClnSCtrl, m_srv_address) + 128, {90, 91});
}

TEST(CtrlSign, PutRefusesASignatureThatDoesNotFit) {
    SQKSrvSCtrl ctrl = server_record();
    EXPECT_THROW(qk_ctrl_put_sign(ctrl, Poco::DigestEngine::Digest(91, 1)),
                 Poco::Crypto::CryptoException);
    EXPECT_EQ(ctrl.m_sign_size, 0);
    qk_ctrl_put_sign(ctrl, Poco::DigestEngine::Digest(90, 1));
    EXPECT_EQ(ctrl.m_sign_size, 90);
}

TEST(CtrlSign, StringsAreCutToTheirWidthAndMustBeTerminated) {
    SQKClnSCtrl ctrl = zeroed<SQKClnSCtrl>();
    qk_ctrl_set_string(ctrl.m_out_dir, std::string(300, 'd'));
    qk_ctrl_set_string(ctrl.m_srv_address, std::string(129, 'a'));
    EXPECT_EQ(qk_ctrl_get_string(ctrl.m_out_dir, "m_out_dir"), std::string(260, 'd'));
    EXPECT_EQ(qk_ctrl_get_string(ctrl.m_srv_address, "m_srv_address"), std::string(128, 'a'));
    EXPECT_EQ(qk_ctrl_get_string(ctrl.m_file_path, "m_file_path"), "");

    std::memset(ctrl.m_srv_address, 'a', sizeof ctrl.m_srv_address);
    try {
        qk_ctrl_get_string(ctrl.m_srv_address, "m_srv_address");
        FAIL() << "an unterminated field was read";
    } catch (const Poco::DataFormatException& e) {
        EXPECT_EQ(e.message(), "String field without terminator: m_srv_address");
    }
}

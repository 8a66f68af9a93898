// Signed forms and ECDSA signatures of the control records.
#include "protocol/qk_ctrl_sign.h"

#include <Poco/Crypto/CryptoException.h>
#include <Poco/Crypto/ECDSADigestEngine.h>
#include <Poco/Crypto/ECKey.h>
#include <Poco/Crypto/X509Certificate.h>

#include <algorithm>

namespace {

// Bytes 0..95: m_sign, its padding and m_sign_size, never signed.
constexpr std::size_t kUnsignedHead = 96;
static_assert(kUnsignedHead == offsetof(SQKSrvSCtrl, m_in_dir) &&
                  kUnsignedHead == offsetof(SQKClnSCtrl, m_out_dir),
              "the signed part starts with the first string field");

// The padding between m_back_dir and m_port of SQKSrvSCtrl.
constexpr std::size_t kSrvPadding =
    offsetof(SQKSrvSCtrl, m_back_dir) + sizeof(SQKSrvSCtrl::m_back_dir);
constexpr std::size_t kSrvPaddingSize = offsetof(SQKSrvSCtrl, m_port) - kSrvPadding;

template <typename Ctrl>
std::vector<unsigned char> image_without_head(const Ctrl& ctrl) {
    std::vector<unsigned char> form(sizeof(Ctrl));
    std::memcpy(form.data(), &ctrl, sizeof(Ctrl));
    std::fill_n(form.begin(), kUnsignedHead, 0);
    return form;
}

template <typename Ctrl>
void put_sign(Ctrl& ctrl, const Poco::DigestEngine::Digest& sign) {
    if (sign.size() > sizeof(ctrl.m_sign)) {
        throw Poco::Crypto::CryptoException(
            "Signature does not fit the control record: " + std::to_string(sign.size()) +
            " bytes, at most " + std::to_string(sizeof(ctrl.m_sign)));
    }
    std::memset(ctrl.m_sign, 0, sizeof(ctrl.m_sign));
    std::copy(sign.begin(), sign.end(), ctrl.m_sign);
    ctrl.m_sign_size = static_cast<std::int32_t>(sign.size());
}

}  // namespace

std::vector<unsigned char> qk_ctrl_signed_form(const SQKSrvSCtrl& ctrl) {
    std::vector<unsigned char> form = image_without_head(ctrl);
    std::fill_n(form.begin() + kSrvPadding, kSrvPaddingSize, 0);
    return form;
}

std::vector<unsigned char> qk_ctrl_signed_form(const SQKClnSCtrl& ctrl) {
    return image_without_head(ctrl);
}

Poco::DigestEngine::Digest qk_ctrl_sign(const std::vector<unsigned char>& form,
                                        const std::string& cert_fpath,
                                        const std::string& key_fpath) {
    Poco::Crypto::ECKey key(cert_fpath, key_fpath, "");
    Poco::Crypto::ECDSADigestEngine engine(key, "SHA384");
    engine.update(form.data(), form.size());
    return engine.signature();
}

bool qk_ctrl_verify(const std::vector<unsigned char>& form, const unsigned char* sign,
                    std::size_t size, const std::string& cert_fpath) {
    Poco::Crypto::ECKey key{Poco::Crypto::X509Certificate(cert_fpath)};
    Poco::Crypto::ECDSADigestEngine engine(key, "SHA384");
    engine.update(form.data(), form.size());
    return engine.verify(Poco::DigestEngine::Digest(sign, sign + size));
}

void qk_ctrl_put_sign(SQKSrvSCtrl& ctrl, const Poco::DigestEngine::Digest& sign) {
    put_sign(ctrl, sign);
}

void qk_ctrl_put_sign(SQKClnSCtrl& ctrl, const Poco::DigestEngine::Digest& sign) {
    put_sign(ctrl, sign);
}

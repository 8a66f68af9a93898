#include "CtrlPeer.h"

#include <Poco/Crypto/ECDSADigestEngine.h>
#include <Poco/Crypto/ECKey.h>
#include <Poco/Crypto/X509Certificate.h>

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kRead = 0x05;
constexpr std::uint8_t kApply = 0x06;

}  // namespace

void CtrlPeer::putString(Bytes& record, Field field, const std::string& value) {
    std::fill_n(record.begin() + field.offset, field.width, 0);
    const std::size_t n = std::min(value.size(), field.width - 1);
    std::copy_n(value.begin(), n, record.begin() + field.offset);
}

std::string CtrlPeer::getString(const Bytes& record, Field field) {
    const auto begin = record.begin() + field.offset;
    return std::string(begin, std::find(begin, begin + field.width, 0));
}

void CtrlPeer::putInt(Bytes& record, std::size_t offset, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        record.at(offset + i) = static_cast<std::uint8_t>(u >> (8 * i));
}

std::int32_t CtrlPeer::getInt(const Bytes& record, std::size_t offset) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(record.at(offset + i)) << (8 * i);
    return static_cast<std::int32_t>(u);
}

// The whole record with bytes 0..95 zero, and for the server's record its padding at
// 618..619.
CtrlPeer::Bytes CtrlPeer::signedForm(const Bytes& record) {
    if (record.size() != Srv::kSize && record.size() != Cln::kSize)
        throw std::invalid_argument("not a control record");
    Bytes form(record);
    std::fill_n(form.begin(), 96, 0);
    if (record.size() == Srv::kSize)
        std::fill_n(form.begin() + 618, 2, 0);
    return form;
}

std::size_t CtrlPeer::sign(Bytes& record, const std::string& cert_fpath,
                           const std::string& key_fpath) {
    Poco::Crypto::ECKey key(cert_fpath, key_fpath, "");
    Poco::Crypto::ECDSADigestEngine engine(key, "SHA384");
    const Bytes form = signedForm(record);
    engine.update(form.data(), form.size());
    const Poco::DigestEngine::Digest signature = engine.signature();
    if (signature.size() > kSignWidth)
        throw std::length_error("signature too long");
    std::fill_n(record.begin() + kSign, kSignWidth, 0);
    std::copy(signature.begin(), signature.end(), record.begin() + kSign);
    putInt(record, kSignSize, static_cast<std::int32_t>(signature.size()));
    return signature.size();
}

bool CtrlPeer::verify(const Bytes& record, const std::string& cert_fpath) {
    const std::int32_t size = getInt(record, kSignSize);
    if (size < 1 || size > static_cast<std::int32_t>(kSignWidth))
        return false;
    Poco::Crypto::ECKey key{Poco::Crypto::X509Certificate(cert_fpath)};
    Poco::Crypto::ECDSADigestEngine engine(key, "SHA384");
    const Bytes form = signedForm(record);
    engine.update(form.data(), form.size());
    return engine.verify(
        Poco::DigestEngine::Digest(record.begin() + kSign, record.begin() + kSign + size));
}

CtrlPeer::CtrlPeer(std::uint16_t port, const std::string& local_host)
    : m_client(port, local_host) {}

CtrlPeer::Bytes CtrlPeer::read(std::size_t size, std::uint8_t verdict, int* final_status) {
    *final_status = RawClient::kClosed;
    if (m_client.readStatus() != kOk)
        return {};
    m_client.send(Bytes{kRead});
    Bytes record = m_client.readBytes(size);
    if (record.size() == size) {
        m_client.send(Bytes{verdict});
        *final_status = m_client.readStatus();
    }
    return record;
}

int CtrlPeer::apply(const Bytes& record) {
    if (m_client.readStatus() != kOk)
        return -100;
    m_client.send(Bytes{kApply});
    if (m_client.readStatus() != kOk)
        return -100;
    m_client.send(record);
    return m_client.readStatus();
}

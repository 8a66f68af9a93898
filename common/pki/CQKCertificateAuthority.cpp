// P-256 keys and X.509 certificates of our private CA, built with the OpenSSL 3 C API.
#include "pki/CQKCertificateAuthority.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Crypto/CryptoException.h>
#include <Poco/Exception.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "base/CQKReplacingFile.h"
#include "pki/qk_openssl_ptr.h"

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, CQKCertificateAuthority::SQKOpenSslFree>;
using CertPtr = std::unique_ptr<X509, CQKCertificateAuthority::SQKOpenSslFree>;

using BioPtr = QKOwned<BIO, BIO_free_all>;
using BignumPtr = QKOwned<BIGNUM, BN_free>;
using ExtensionPtr = QKOwned<X509_EXTENSION, X509_EXTENSION_free>;
using CrlPtr = QKOwned<X509_CRL, X509_CRL_free>;
using RevokedPtr = QKOwned<X509_REVOKED, X509_REVOKED_free>;
using TimePtr = QKOwned<ASN1_TIME, ASN1_TIME_free>;
using IntegerPtr = QKOwned<ASN1_INTEGER, ASN1_INTEGER_free>;

// Issued certificates start an hour in the past so that a peer whose clock runs a little
// behind does not refuse a certificate made a moment ago.
constexpr long BACKDATE_SECONDS = 3600;
constexpr std::size_t SERIAL_BYTES = 16;
// RFC 5280 bounds a serial number to 20 octets.
constexpr std::size_t MAX_SERIAL_DIGITS = 40;
constexpr std::size_t MAX_DNS_LABEL = 63;
constexpr mode_t KEY_FILE_MODE = 0600;
constexpr mode_t CERT_FILE_MODE = 0644;

// Takes every entry of the thread's OpenSSL error queue, so the next failure reports only
// its own causes.
std::string openssl_errors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text.empty() ? "no OpenSSL error reported" : text;
}

[[noreturn]] void throw_crypto(const std::string& what) {
    throw Poco::Crypto::CryptoException(what, openssl_errors());
}

void check(bool ok, const std::string& what) {
    if (!ok)
        throw_crypto(what);
}

// ---- argument checks ----

void check_days(int days) {
    if (days < 1 || days > QK_CERT_MAX_DAYS) {
        throw Poco::InvalidArgumentException(
            "Certificate validity must be 1 to " + std::to_string(QK_CERT_MAX_DAYS) + " days",
            std::to_string(days));
    }
}

void check_ca_name(const std::string& name) {
    bool printable = !name.empty() && name.size() <= QK_CERT_MAX_NAME;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            printable = false;
    }
    if (!printable) {
        throw Poco::InvalidArgumentException("A CA name must be 1 to 64 bytes of printable text",
                                             name);
    }
}

bool is_dns_label(const std::string& label) {
    if (label.empty() || label.size() > MAX_DNS_LABEL)
        return false;
    if (label.front() == '-' || label.back() == '-')
        return false;
    for (unsigned char c : label) {
        const bool ascii_alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ascii_alnum && c != '-')
            return false;
    }
    return true;
}

// The name goes into the subjectAltName as given, so it must be a host name a peer can
// match: dot-separated labels of letters, digits and inner hyphens.
void check_label(const std::string& label) {
    bool valid = !label.empty() && label.size() <= QK_CERT_MAX_NAME;
    for (unsigned char c : label) {
        const bool ascii_alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ascii_alnum && c != '.' && c != '_' && c != '-')
            valid = false;
    }
    if (!valid) {
        throw Poco::InvalidArgumentException(
            "A label must be 1 to 64 letters, digits, '.', '_' or '-'", label);
    }
}

void check_dns_name(const std::string& name) {
    bool valid = !name.empty() && name.size() <= QK_CERT_MAX_NAME;
    std::size_t start = 0;
    while (valid) {
        const std::size_t dot = name.find('.', start);
        valid = is_dns_label(name.substr(start, dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (!valid) {
        throw Poco::InvalidArgumentException(
            "A certificate name must be a DNS name of at most 64 bytes", name);
    }
}

// ---- files ----

// Writes what a memory BIO holds to path. A secure-memory BIO is cleansed when freed, so
// key material lives only there and in the file.
void write_bio(BIO* bio, const std::string& path, mode_t mode) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    check(len > 0 && data != nullptr, "No PEM data for " + path);
    CQKReplacingFile file(path);
    file.write(data, static_cast<std::size_t>(len));
    file.commit(mode);
}

void write_private_key(EVP_PKEY* key, const std::string& path) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    check(
        bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "Cannot encode the private key for " + path);
    write_bio(bio.get(), path, KEY_FILE_MODE);
}

void write_certificate(X509* cert, const std::string& path) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1,
          "Cannot encode the certificate for " + path);
    write_bio(bio.get(), path, CERT_FILE_MODE);
}

BioPtr open_for_reading(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        throw Poco::OpenFileException(path, openssl_errors());
    return bio;
}

// A pass phrase prompt would block an unattended run on the console: refuse instead.
int refuse_pass_phrase(char*, int, int, void*) {
    return -1;
}

KeyPtr read_private_key(const std::string& path) {
    BioPtr bio = open_for_reading(path);
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_pass_phrase, nullptr));
    check(key != nullptr, "No unencrypted PEM private key in " + path);
    return key;
}

CertPtr read_certificate(const std::string& path) {
    BioPtr bio = open_for_reading(path);
    CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, refuse_pass_phrase, nullptr));
    check(cert != nullptr, "No PEM certificate in " + path);
    return cert;
}

BioPtr open_text(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    check(bio != nullptr, "Cannot read PEM text");
    return bio;
}

CertPtr certificate_from_text(const std::string& pem, const std::string& what) {
    BioPtr bio = open_text(pem);
    CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, refuse_pass_phrase, nullptr));
    check(cert != nullptr, "No PEM certificate for " + what);
    return cert;
}

KeyPtr private_key_from_text(const std::string& pem, const std::string& what) {
    BioPtr bio = open_text(pem);
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_pass_phrase, nullptr));
    check(key != nullptr, "No unencrypted PEM private key for " + what);
    return key;
}

bool valid_now(X509* cert) {
    return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 &&
           X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

// ---- certificate parts ----

KeyPtr new_p256_key() {
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    check(key != nullptr, "Cannot generate a P-256 key");
    return key;
}

// Positive, 16 bytes of randomness with the top bit fixed: unique without a serial
// database, and always the same DER length.
void set_random_serial(X509* cert) {
    unsigned char bytes[SERIAL_BYTES];
    check(RAND_bytes(bytes, sizeof bytes) == 1, "Cannot draw a random serial number");
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x40);
    BignumPtr serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    check(serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr,
          "Cannot set the serial number");
}

// Both ends from one reading of the clock, so the period is exactly days days long.
void set_validity(X509* cert, int days) {
    std::time_t now = std::time(nullptr);
    check(X509_time_adj_ex(X509_getm_notBefore(cert), 0, -BACKDATE_SECONDS, &now) != nullptr &&
              X509_time_adj_ex(X509_getm_notAfter(cert), days, -BACKDATE_SECONDS, &now) != nullptr,
          "Cannot set the validity period");
}

void add_subject_entry(X509* cert, int nid, const std::string& value) {
    X509_NAME* subject = X509_get_subject_name(cert);
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.c_str());
    check(X509_NAME_add_entry_by_NID(subject, nid, MBSTRING_UTF8, bytes, -1, -1, 0) == 1,
          std::string("Cannot set the subject's ") + OBJ_nid2sn(nid) + " " + value);
}

void set_common_name(X509* cert, const std::string& name) {
    add_subject_entry(cert, NID_commonName, name);
}

std::string bignum_hex(const BIGNUM* number) {
    char* hex = BN_bn2hex(number);
    check(hex != nullptr, "Cannot print the serial number");
    std::string text(hex);
    OPENSSL_free(hex);
    return text;
}

std::string serial_hex(X509* cert) {
    BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    check(serial != nullptr, "Cannot read the serial number");
    return bignum_hex(serial.get());
}

// A serial number after an optional "serial=" (any case), as hexadecimal digits.
BignumPtr parse_serial(const std::string& text) {
    static const std::string prefix = "serial=";
    std::string digits = text;
    if (digits.size() > prefix.size() &&
        ::strncasecmp(digits.c_str(), prefix.c_str(), prefix.size()) == 0) {
        digits.erase(0, prefix.size());
    }
    bool valid = !digits.empty() && digits.size() <= MAX_SERIAL_DIGITS;
    for (unsigned char c : digits) {
        if (!std::isxdigit(c))
            valid = false;
    }
    if (!valid) {
        throw Poco::InvalidArgumentException("A serial number must be 1 to " +
                                                 std::to_string(MAX_SERIAL_DIGITS) +
                                                 " hexadecimal digits",
                                             text);
    }
    BIGNUM* number = nullptr;
    check(BN_hex2bn(&number, digits.c_str()) > 0, "Cannot read the serial number " + text);
    return BignumPtr(number);
}

void add_revoked(X509_CRL* crl, const BIGNUM* serial, std::time_t when) {
    RevokedPtr entry(X509_REVOKED_new());
    IntegerPtr number(BN_to_ASN1_INTEGER(serial, nullptr));
    TimePtr date(ASN1_TIME_set(nullptr, when));
    check(entry && number && date &&
              X509_REVOKED_set_serialNumber(entry.get(), number.get()) == 1 &&
              X509_REVOKED_set_revocationDate(entry.get(), date.get()) == 1 &&
              X509_CRL_add0_revoked(crl, entry.get()) == 1,
          "Cannot add the serial number " + bignum_hex(serial) + " to the revocation list");
    entry.release();  // the list owns it now
}

// Version 3 certificate of subject_key for name, not yet with issuer, extensions or
// signature.
CertPtr new_certificate(EVP_PKEY* subject_key, const std::string& name, int days) {
    CertPtr cert(X509_new());
    check(cert && X509_set_version(cert.get(), X509_VERSION_3) == 1, "Cannot create a certificate");
    set_random_serial(cert.get());
    set_validity(cert.get(), days);
    set_common_name(cert.get(), name);
    check(X509_set_pubkey(cert.get(), subject_key) == 1, "Cannot set the public key");
    return cert;
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str()));
    check(extension && X509_add_ext(cert, extension.get(), -1) == 1,
          std::string("Cannot add the extension ") + OBJ_nid2sn(nid) + " = " + value);
}

void sign(X509* cert, EVP_PKEY* issuer_key) {
    check(X509_sign(cert, issuer_key, EVP_sha256()) > 0, "Cannot sign the certificate");
}

std::string common_name(X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0)
        return std::string();
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, data);
    check(len >= 0, "Cannot decode the common name");
    std::string name(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return name;
}

}  // namespace

void CQKCertificateAuthority::SQKOpenSslFree::operator()(EVP_PKEY* key) const noexcept {
    EVP_PKEY_free(key);
}

void CQKCertificateAuthority::SQKOpenSslFree::operator()(X509* cert) const noexcept {
    X509_free(cert);
}

CQKCertificateAuthority::CQKCertificateAuthority(KeyPtr key, CertPtr cert)
    : m_key(std::move(key)), m_cert(std::move(cert)) {}

CQKCertificateAuthority CQKCertificateAuthority::create(const std::string& ca_name, int days) {
    check_ca_name(ca_name);
    check_days(days);
    ERR_clear_error();
    KeyPtr key = new_p256_key();
    CertPtr cert = new_certificate(key.get(), ca_name, days);
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1,
          "Cannot set the issuer name");
    add_extension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    sign(cert.get(), key.get());
    return CQKCertificateAuthority(std::move(key), std::move(cert));
}

CQKCertificateAuthority CQKCertificateAuthority::load(const std::string& key_fpath,
                                                      const std::string& cert_fpath) {
    ERR_clear_error();
    KeyPtr key = read_private_key(key_fpath);
    CertPtr cert = read_certificate(cert_fpath);
    check(X509_check_private_key(cert.get(), key.get()) == 1,
          "The key " + key_fpath + " does not belong to the certificate " + cert_fpath);
    if (X509_check_ca(cert.get()) != 1) {
        throw Poco::Crypto::CryptoException("Not a CA certificate (basicConstraints CA:TRUE)",
                                            cert_fpath);
    }
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) {
        throw Poco::Crypto::CryptoException("The CA certificate has expired", cert_fpath);
    }
    return CQKCertificateAuthority(std::move(key), std::move(cert));
}

void CQKCertificateAuthority::save(const std::string& key_fpath,
                                   const std::string& cert_fpath) const {
    ERR_clear_error();
    write_private_key(m_key.get(), key_fpath);
    write_certificate(m_cert.get(), cert_fpath);
}

void CQKCertificateAuthority::saveCertificate(const std::string& cert_fpath) const {
    ERR_clear_error();
    write_certificate(m_cert.get(), cert_fpath);
}

std::string CQKCertificateAuthority::issue(const std::string& name, const std::string& key_fpath,
                                           const std::string& cert_fpath, int days,
                                           const std::string& label) const {
    check_dns_name(name);
    check_days(days);
    if (!label.empty())
        check_label(label);
    ERR_clear_error();
    KeyPtr key = new_p256_key();
    CertPtr cert = new_certificate(key.get(), name, days);
    if (!label.empty())
        add_subject_entry(cert.get(), NID_organizationalUnitName, label);
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(m_cert.get())) == 1,
          "Cannot set the issuer name");
    // A certificate outliving its CA would fail verification from that day on anyway.
    if (ASN1_TIME_compare(X509_get0_notAfter(cert.get()), X509_get0_notAfter(m_cert.get())) > 0) {
        check(X509_set1_notAfter(cert.get(), X509_get0_notAfter(m_cert.get())) == 1,
              "Cannot limit the validity to the CA's");
    }
    add_extension(cert.get(), m_cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), m_cert.get(), NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), m_cert.get(), NID_ext_key_usage, "serverAuth,clientAuth");
    add_extension(cert.get(), m_cert.get(), NID_subject_key_identifier, "hash");
    add_extension(cert.get(), m_cert.get(), NID_authority_key_identifier, "keyid:always");
    // The name passed check_dns_name, so it cannot smuggle further entries into the list.
    add_extension(cert.get(), m_cert.get(), NID_subject_alt_name, "DNS:" + name);
    sign(cert.get(), m_key.get());
    write_private_key(key.get(), key_fpath);
    write_certificate(cert.get(), cert_fpath);
    return serial_hex(cert.get());
}

void CQKCertificateAuthority::checkIssued(const std::string& ca_pem, const std::string& cert_pem,
                                          const std::string& key_pem, const std::string& name) {
    ERR_clear_error();
    CertPtr ca = certificate_from_text(ca_pem, "the CA");
    if (X509_check_ca(ca.get()) != 1 || !valid_now(ca.get()))
        throw Poco::Crypto::CryptoException("The CA certificate is not a CA valid today");
    CertPtr cert = certificate_from_text(cert_pem, name);
    EVP_PKEY* ca_key = X509_get0_pubkey(ca.get());
    if (ca_key == nullptr || X509_check_issued(ca.get(), cert.get()) != X509_V_OK ||
        X509_verify(cert.get(), ca_key) != 1) {
        throw Poco::Crypto::CryptoException("The certificate of " + name +
                                            " was not issued by this CA");
    }
    if (!valid_now(cert.get()))
        throw Poco::Crypto::CryptoException("The certificate of " + name + " is not valid today");
    if (X509_check_host(cert.get(), name.c_str(), name.size(), 0, nullptr) != 1)
        throw Poco::Crypto::CryptoException("The certificate does not carry the name " + name);
    if (key_pem.empty())
        return;
    KeyPtr key = private_key_from_text(key_pem, name);
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        throw Poco::Crypto::CryptoException("The key does not belong to the certificate of " +
                                            name);
    ERR_clear_error();
}

std::string CQKCertificateAuthority::serialOf(const std::string& cert_pem) {
    ERR_clear_error();
    return serial_hex(certificate_from_text(cert_pem, "the serial number").get());
}

std::string CQKCertificateAuthority::canonicalSerial(const std::string& text) {
    ERR_clear_error();
    return bignum_hex(parse_serial(text).get());
}

void CQKCertificateAuthority::writeRevocationList(const std::vector<SQKRevokedCertificate>& revoked,
                                                  const std::string& crl_fpath,
                                                  std::int64_t number) const {
    if (number < 1)
        throw Poco::InvalidArgumentException("A revocation list number must be at least 1",
                                             std::to_string(number));
    std::vector<std::pair<BignumPtr, std::time_t>> entries;
    for (const SQKRevokedCertificate& certificate : revoked)
        entries.emplace_back(parse_serial(certificate.serial), certificate.revoked_at);
    ERR_clear_error();
    const std::time_t now = std::time(nullptr);
    CrlPtr crl(X509_CRL_new());
    TimePtr this_update(ASN1_TIME_set(nullptr, now));
    IntegerPtr crl_number(ASN1_INTEGER_new());
    check(crl && this_update && crl_number &&
              X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) == 1 &&
              X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(m_cert.get())) == 1 &&
              X509_CRL_set1_lastUpdate(crl.get(), this_update.get()) == 1 &&
              X509_CRL_set1_nextUpdate(crl.get(), X509_get0_notAfter(m_cert.get())) == 1,
          "Cannot create the revocation list " + crl_fpath);
    for (const auto& [serial, when] : entries)
        add_revoked(crl.get(), serial.get(), when);
    check(X509_CRL_sort(crl.get()) == 1, "Cannot sort the revocation list");

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, m_cert.get(), nullptr, nullptr, crl.get(), 0);
    ExtensionPtr key_id(
        X509V3_EXT_nconf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always"));
    check(key_id && X509_CRL_add_ext(crl.get(), key_id.get(), -1) == 1,
          "Cannot add the authority key identifier to the revocation list");
    check(ASN1_INTEGER_set_int64(crl_number.get(), number) == 1 &&
              X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, crl_number.get(), 0, 0) == 1,
          "Cannot number the revocation list");
    check(X509_CRL_sign(crl.get(), m_key.get(), EVP_sha256()) > 0,
          "Cannot sign the revocation list");

    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509_CRL(bio.get(), crl.get()) == 1,
          "Cannot encode the revocation list for " + crl_fpath);
    write_bio(bio.get(), crl_fpath, CERT_FILE_MODE);
}

std::string CQKCertificateAuthority::name() const {
    return common_name(m_cert.get());
}

// Our private certificate authority: creates or loads the CA and issues the certificates
// that the programs present to each other in TLS.
//
// Every key is ECDSA on P-256 and every signature SHA-256, the only kind the TLS cipher
// suite accepts. Issued certificates carry the given name both as the common name and as
// a DNS subject alternative name, because the peers check the name, and are good for both
// TLS server and client use.
//
// Files are written whole or not at all: the content goes to a hidden temporary file in
// the target's directory, is flushed to disk and renamed onto the target. A key file is
// created with mode 0600 (an existing file of another mode is replaced, never rewritten in
// place), a certificate file with 0644. Keys are written unencrypted (PKCS#8 PEM), since
// the services start unattended.
//
// Errors are Poco exceptions: Poco::InvalidArgumentException for a bad name or validity,
// Poco::FileException subclasses for files that cannot be read or written (text of the
// system or OpenSSL error included), Poco::Crypto::CryptoException for a failing OpenSSL
// operation or an unusable CA (OpenSSL error text included). An object can be used from
// one thread at a time; separate objects are independent.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// Validity of issued certificates unless the caller asks otherwise: ten years.
constexpr int QK_CERT_DEFAULT_DAYS = 3650;
// Upper bound of any validity we issue: a hundred years.
constexpr int QK_CERT_MAX_DAYS = 36500;
// X.509 bound of a common name (ub-common-name).
constexpr std::size_t QK_CERT_MAX_NAME = 64;

// A certificate the CA has revoked: its serial number in hexadecimal and when it was revoked.
struct SQKRevokedCertificate {
    std::string serial;
    std::time_t revoked_at = 0;
};

class CQKCertificateAuthority {
public:
    // A new self-signed CA with a fresh key; ca_name (1 to 64 bytes of printable UTF-8)
    // becomes its common name. Valid from an hour ago for days days.
    static CQKCertificateAuthority create(const std::string& ca_name,
                                          int days = QK_CERT_DEFAULT_DAYS);
    // Loads a CA from its PEM key and certificate files. Refuses an encrypted key (never
    // asks for a pass phrase), a key that does not belong to the certificate, a certificate
    // that is not a CA (basicConstraints CA:TRUE) and an expired certificate.
    static CQKCertificateAuthority load(const std::string& key_fpath,
                                        const std::string& cert_fpath);

    // Writes the CA's key (0600) and certificate.
    void save(const std::string& key_fpath, const std::string& cert_fpath) const;
    // Writes only the certificate: what every program gets to verify its peers.
    void saveCertificate(const std::string& cert_fpath) const;

    // Issues a certificate for name with a fresh key and writes both. name must be a DNS
    // name (letters, digits, '-' and '.', at most 64 bytes). Valid from an hour ago for
    // days days, but never beyond the CA's own end of validity. A label (letters, digits,
    // '.', '_' and '-', at most 64 bytes) becomes the subject's organizational unit, so that
    // certificates issued for one name to several machines can be told apart. Nothing is
    // written when issuing fails; when writing the certificate fails, the key may already
    // be written. Returns the serial number in upper-case hexadecimal.
    std::string issue(const std::string& name, const std::string& key_fpath,
                      const std::string& cert_fpath, int days = QK_CERT_DEFAULT_DAYS,
                      const std::string& label = std::string()) const;

    // The CA's common name.
    std::string name() const;

    // Checks PEM texts received from elsewhere: ca_pem is a CA certificate valid now,
    // cert_pem a certificate it signed for name, valid now, and key_pem (unless empty) the
    // private key of cert_pem. Throws Poco::Crypto::CryptoException saying what is wrong.
    static void checkIssued(const std::string& ca_pem, const std::string& cert_pem,
                            const std::string& key_pem, const std::string& name);
    // The serial number of a PEM certificate in upper-case hexadecimal.
    static std::string serialOf(const std::string& cert_pem);
    // A serial number as typed (hexadecimal digits of either case, 1 to 40, after an
    // optional "serial=" as "openssl x509 -serial" prints it) in the form serialOf gives;
    // Poco::InvalidArgumentException for anything else.
    static std::string canonicalSerial(const std::string& text);

    // Writes the list of the certificates this CA has revoked: an X.509 v2 CRL in PEM, mode
    // 0644, signed with the CA's key, with number as its CRL number (at least 1): receivers
    // refuse a list numbered lower than one they have seen, so each list must carry a larger
    // number than the lists before it. It is issued now and its next update is the CA's own
    // end of validity, so a receiver never holds a list that ran out before the CA did. An
    // empty list is a valid CRL. Each serial must pass canonicalSerial; nothing is written
    // otherwise.
    void writeRevocationList(const std::vector<SQKRevokedCertificate>& revoked,
                             const std::string& crl_fpath, std::int64_t number) const;

    struct SQKOpenSslFree {
        void operator()(EVP_PKEY* key) const noexcept;
        void operator()(X509* cert) const noexcept;
    };

private:
    using KeyPtr = std::unique_ptr<EVP_PKEY, SQKOpenSslFree>;
    using CertPtr = std::unique_ptr<X509, SQKOpenSslFree>;

    CQKCertificateAuthority(KeyPtr key, CertPtr cert);

    KeyPtr m_key;
    CertPtr m_cert;
};

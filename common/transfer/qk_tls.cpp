// Checks of the TLS files, the fixed TLS context parameters and the revocation check of the
// receivers.
#include "transfer/qk_tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <Poco/Exception.h>
#include <Poco/Net/SSLException.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "base/CQKReplacingFile.h"
#include "base/qk_log.h"
#include "base/qk_path.h"
#include "pki/qk_openssl_ptr.h"
#include "transfer/qk_relay_metrics.h"

void qk_check_tls_files(const std::string& key_fpath, const std::string& cert_fpath,
                        const std::string& ca_cert_fpath) {
    if (!qk_is_regular_file(key_fpath)) {
        throw Poco::Exception("Error of SSL files initializing. Key File Error...");
    }
    if (!qk_is_regular_file(cert_fpath)) {
        throw Poco::Exception("Error of SSL files initializing. Certificate File Error...");
    }
    if (!qk_is_regular_file(ca_cert_fpath)) {
        throw Poco::Exception("Error of SSL files initializing. CA Certificate File Error...");
    }
}

Poco::Net::Context::Params qk_tls_params(const std::string& key_fpath,
                                         const std::string& cert_fpath,
                                         const std::string& ca_cert_fpath) {
    Poco::Net::Context::Params params;
    params.privateKeyFile = key_fpath;
    params.certificateFile = cert_fpath;
    params.caLocation = ca_cert_fpath;
    params.verificationMode = Poco::Net::Context::VERIFY_STRICT;
    params.verificationDepth = 9;
    params.loadDefaultCAs = false;
    params.cipherList = "ECDHE-ECDSA-AES256-GCM-SHA384";
    params.dhParamsFile = "";
    params.ecdhCurve = "prime256v1";
    return params;
}

namespace {

// TLS 1.3 cipher suites, in the server's order of preference. AES-256-GCM first: the strength
// of our TLS 1.2 suite, and hardware-accelerated on current x86 and ARM. ChaCha20-Poly1305
// next, fast where AES has no instructions. AES-128-GCM last: every TLS 1.3 implementation
// must have it, so a peer limited to it is still served. The CCM suites are left out (the
// 8-byte tag of CCM_8 is short, and neither is needed by any peer of ours).
constexpr const char* kTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";

// Key exchange groups for both versions. X25519 first: a TLS 1.3 client sends its key share
// for the first group only, and X25519 is the fastest. P-256 stays, the curve of our
// certificates and the only one older peers offer (their TLS 1.2 suite is ECDHE on P-256).
constexpr const char* kGroups = "X25519:P-256";

}  // namespace

namespace {

// The sessions of our contexts by descriptor: entered when a handshake begins (the descriptor is
// set by then), left when the session is freed, which comes before its socket is closed.
class CQKSessionRegistry {
public:
    static CQKSessionRegistry& instance() {
        static CQKSessionRegistry registry;
        return registry;
    }

    void enter(SSL* session) {
        const int fd = SSL_get_fd(session);
        if (fd < 0)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions[fd] = session;
    }
    void leave(const SSL* session) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->second == session) {
                m_sessions.erase(it);
                return;
            }
        }
    }
    SSL* find(int fd) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_sessions.find(fd);
        return it == m_sessions.end() ? nullptr : it->second;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<int, SSL*> m_sessions;
};

// A session marked in this slot is in the registry; freeing it takes it out.
void leave_registry(void* session, void* marked, CRYPTO_EX_DATA*, int, long, void*) {
    if (marked != nullptr)
        CQKSessionRegistry::instance().leave(static_cast<SSL*>(session));
}

int registry_slot() {
    static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, leave_registry);
    return slot;
}

void enter_registry(const SSL* session, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0)
        return;
    SSL* ssl = const_cast<SSL*>(session);
    static int marker = 1;
    if (SSL_get_ex_data(ssl, registry_slot()) == nullptr &&
        SSL_set_ex_data(ssl, registry_slot(), &marker) != 1)
        return;
    CQKSessionRegistry::instance().enter(ssl);
}

// Enough for several full records per read or write, little beside a connection's pieces.
constexpr long kReadAheadBytes = 128 * 1024;
constexpr long kGatherBytes = 128 * 1024;

}  // namespace

Poco::Net::Context::Ptr qk_create_tls_context(Poco::Net::Context::Usage usage,
                                              const Poco::Net::Context::Params& params) {
    Poco::Net::Context::Ptr context = new Poco::Net::Context(usage, params);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ssl, TLS1_3_VERSION) != 1) {
        throw Poco::Net::SSLContextException("Cannot limit the TLS context to TLS 1.2 and 1.3");
    }
    // The TLS 1.2 suite comes from params.cipherList; TLS 1.3 suites are set apart.
    if (SSL_CTX_set_ciphersuites(ssl, kTls13Suites) != 1)
        throw Poco::Net::SSLContextException("Cannot set the TLS 1.3 cipher suites", kTls13Suites);
    if (SSL_CTX_set1_groups_list(ssl, kGroups) != 1)
        throw Poco::Net::SSLContextException("Cannot set the key exchange groups", kGroups);
    if (context->isForServerUse())
        SSL_CTX_set_options(ssl, SSL_OP_CIPHER_SERVER_PREFERENCE);
    // A resumed session skips the client's certificate, and with it the revocation check:
    // no session cache and no tickets, neither TLS 1.2's nor TLS 1.3's.
    SSL_CTX_set_info_callback(ssl, enter_registry);
    SSL_CTX_set_session_cache_mode(ssl, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ssl, SSL_OP_NO_TICKET);
    if (SSL_CTX_set_num_tickets(ssl, 0) != 1)
        throw Poco::Net::SSLContextException("Cannot turn session tickets off");
    return context;
}

namespace {

using BioPtr = QKOwned<BIO, BIO_free_all>;
using BignumPtr = QKOwned<BIGNUM, BN_free>;
using CertPtr = QKOwned<X509, X509_free>;
using CrlPtr = QKOwned<X509_CRL, X509_CRL_free>;
using IntegerPtr = QKOwned<ASN1_INTEGER, ASN1_INTEGER_free>;

// A CRL of a few thousand entries takes some hundred kilobytes.
constexpr std::size_t kMaxListSize = 8 * 1024 * 1024;

// Takes the thread's OpenSSL error queue, so a later failure reports only its own causes.
std::string openssl_errors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += (text.empty() ? "" : "; ") + std::string(buffer);
    }
    return text.empty() ? "no OpenSSL error reported" : text;
}

std::string serial_of(const ASN1_INTEGER* serial) {
    BignumPtr number(ASN1_INTEGER_to_BN(serial, nullptr));
    char* hex = number ? BN_bn2hex(number.get()) : nullptr;
    if (hex == nullptr)
        return "(unreadable)";
    std::string text(hex);
    OPENSSL_free(hex);
    return text;
}

// The subject's organizational unit: the label an exported client certificate carries.
std::string label_of(const X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (index < 0)
        return "(none)";
    unsigned char* utf8 = nullptr;
    const int len =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (len < 0)
        return "(unreadable)";
    std::string label(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return label;
}

// What tells one version of the list's file from another without reading it.
struct SQKFileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static SQKFileIdentity of(const std::string& fpath) {
        SQKFileIdentity identity;
        struct stat st;
        if (::stat(fpath.c_str(), &st) != 0)
            return identity;
        identity.exists = true;
        identity.device = st.st_dev;
        identity.inode = st.st_ino;
        identity.size = st.st_size;
        identity.modified = st.st_mtim;
        identity.changed = st.st_ctim;
        return identity;
    }
    bool operator==(const SQKFileIdentity& other) const {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
    bool operator!=(const SQKFileIdentity& other) const { return !(*this == other); }
};

std::string read_whole(const std::string& fpath) {
    std::ifstream in(fpath, std::ios::binary);
    if (!in)
        throw std::runtime_error(std::strerror(errno));
    std::string content;
    char buffer[16384];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        content.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (content.size() > kMaxListSize)
            throw std::runtime_error("larger than " + std::to_string(kMaxListSize) + " bytes");
    }
    if (in.bad())
        throw std::runtime_error(std::strerror(errno));
    return content;
}

// What a list that proved to come from the CA says.
struct SQKRevocationList {
    std::set<std::string> serials;
    std::optional<std::int64_t> number;  // none in lists some other tools make
};

std::optional<std::int64_t> number_of(const X509_CRL* crl) {
    int critical = 0;
    IntegerPtr number(
        static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(crl, NID_crl_number, &critical, nullptr)));
    if (!number && critical == -1)
        return std::nullopt;
    std::int64_t value = -1;
    if (!number || ASN1_INTEGER_get_int64(&value, number.get()) != 1 || value < 0) {
        ERR_clear_error();
        throw std::runtime_error("its number cannot be read");
    }
    return value;
}

// The list in fpath, once it has proved to come from ca. Throws std::runtime_error saying
// what is wrong.
SQKRevocationList read_list(const std::string& fpath, X509* ca) {
    const std::string content = read_whole(fpath);
    ERR_clear_error();
    BioPtr bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    CrlPtr crl(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!crl)
        throw std::runtime_error("no PEM revocation list (X509 CRL) in it: " + openssl_errors());
    EVP_PKEY* ca_key = X509_get0_pubkey(ca);
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(ca)) != 0 ||
        ca_key == nullptr || X509_CRL_verify(crl.get(), ca_key) != 1) {
        ERR_clear_error();
        throw std::runtime_error("it was not issued and signed by the CA the receiver trusts");
    }
    SQKRevocationList list;
    list.number = number_of(crl.get());
    const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
    for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i)
        list.serials.insert(
            serial_of(X509_REVOKED_get0_serialNumber(sk_X509_REVOKED_value(revoked, i))));
    return list;
}

// The highest list number a receiver has seen, kept in a file of its incoming root so that
// a restart does not forget it. Used under its check's mutex; the file is replaced whole.
class CQKListNumberRecord {
public:
    // No file when dpath is empty: load gives 0, store keeps nothing.
    explicit CQKListNumberRecord(const std::string& dpath)
        : m_fpath(dpath.empty() ? std::string()
                                : dpath + (dpath.back() == '/' ? "" : "/") + QK_CRL_NUMBER_FILE) {}

    // The number recorded; 0 with a WARN when the file is missing or holds no number.
    std::int64_t load() const {
        if (m_fpath.empty())
            return 0;
        std::string problem;
        const std::optional<std::int64_t> number = read(&problem);
        if (number)
            return *number;
        QKLogTag tag = qk_make_tag("qk_tls::revocation");
        log_message(LOG_LEVEL_WARN, &tag,
                    "Revocation list number record %s %s: taken as 0, so a list of any number "
                    "is accepted",
                    m_fpath.c_str(), problem.c_str());
        return 0;
    }

    // Records number, unless the file already holds a higher one (another listener's).
    void store(std::int64_t number) const {
        if (m_fpath.empty())
            return;
        std::string ignored;
        if (read(&ignored).value_or(0) >= number)
            return;
        try {
            CQKReplacingFile::replace(m_fpath, std::to_string(number) + '\n', 0600);
        } catch (const Poco::Exception& e) {
            QKLogTag tag = qk_make_tag("qk_tls::revocation");
            log_message(LOG_LEVEL_WARN, &tag,
                        "Cannot record revocation list number %lld in %s: %s. A restart forgets "
                        "it",
                        static_cast<long long>(number), m_fpath.c_str(), e.displayText().c_str());
        }
    }

private:
    std::optional<std::int64_t> read(std::string* problem) const {
        std::ifstream in(m_fpath);
        if (!in) {
            *problem = errno == ENOENT ? std::string("is missing")
                                       : "cannot be read: " + std::string(std::strerror(errno));
            return std::nullopt;
        }
        char text[32] = {};
        in.read(text, sizeof text - 1);
        std::size_t length = static_cast<std::size_t>(in.gcount());
        if (length > 0 && text[length - 1] == '\n')
            --length;
        std::int64_t value = 0;
        bool valid = length > 0;
        for (std::size_t i = 0; valid && i < length; ++i) {
            const int digit = text[i] - '0';
            valid = digit >= 0 && digit <= 9 && value <= (INT64_MAX - digit) / 10;
            value = value * 10 + (valid ? digit : 0);
        }
        if (!valid) {
            *problem = "holds no number";
            return std::nullopt;
        }
        return value;
    }

    const std::string m_fpath;
};

// The revocation check of one server context; handshakes on the listener's threads ask it
// at once, so it keeps its state under a mutex.
class CQKRevocationCheck {
public:
    enum class Verdict { Accepted, Revoked, NoList };

    CQKRevocationCheck(std::string crl_fpath, CertPtr ca, const std::string& number_dpath)
        : m_crl_fpath(std::move(crl_fpath)), m_ca(std::move(ca)), m_number_record(number_dpath) {
        std::lock_guard<std::mutex> lock(m_mutex);
        refresh();
    }

    Verdict verdict(const std::string& serial) {
        std::lock_guard<std::mutex> lock(m_mutex);
        refresh();
        if (!m_file_seen)
            return Verdict::Accepted;
        if (!m_list_read)
            return Verdict::NoList;
        return m_revoked.count(serial) != 0 ? Verdict::Revoked : Verdict::Accepted;
    }

    const std::string& path() const { return m_crl_fpath; }

private:
    // Reads the list again when its file changed since the last look.
    void refresh() {
        QKLogTag tag = qk_make_tag("qk_tls::revocation");
        const SQKFileIdentity now = SQKFileIdentity::of(m_crl_fpath);
        if (now == m_identity)
            return;
        m_identity = now;
        if (!now.exists) {
            if (m_file_seen) {
                log_message(LOG_LEVEL_ERROR, &tag, "Revocation list %s is gone. %s",
                            m_crl_fpath.c_str(), consequence().c_str());
            }
            return;
        }
        m_file_seen = true;
        try {
            SQKRevocationList list = read_list(m_crl_fpath, m_ca.get());
            admitNumber(list.number);
            m_revoked = std::move(list.serials);
            m_list_read = true;
            const std::string number =
                list.number ? "number " + std::to_string(*list.number) : "without a number";
            log_message(LOG_LEVEL_INFO, &tag,
                        "Revocation list %s in force: %zu revoked client certificate(s), %s",
                        m_crl_fpath.c_str(), m_revoked.size(), number.c_str());
        } catch (const std::exception& e) {
            log_message(LOG_LEVEL_ERROR, &tag, "Revocation list %s cannot be used: %s. %s",
                        m_crl_fpath.c_str(), e.what(), consequence().c_str());
        }
    }

    // Throws std::runtime_error for a list older than one seen; records a higher number.
    void admitNumber(const std::optional<std::int64_t>& number) {
        if (!m_number_loaded) {
            m_highest_number = std::max(m_highest_number, m_number_record.load());
            m_number_loaded = true;
        }
        const std::string highest = std::to_string(m_highest_number);
        if (!number && m_highest_number > 0)
            throw std::runtime_error("it has no number, and a list numbered " + highest +
                                     " was seen before (an older copy)");
        if (!number)
            return;
        if (*number < m_highest_number) {
            throw std::runtime_error("its number " + std::to_string(*number) + " is lower than " +
                                     highest +
                                     ", the number of a list seen before (an older copy)");
        }
        if (*number > m_highest_number) {
            m_highest_number = *number;
            m_number_record.store(*number);
        }
    }

    std::string consequence() const {
        if (m_list_read) {
            return "The list read before stays in force (" + std::to_string(m_revoked.size()) +
                   " revoked client certificate(s)).";
        }
        return "No client certificate is accepted until a list can be read.";
    }

    const std::string m_crl_fpath;
    const CertPtr m_ca;
    std::mutex m_mutex;
    SQKFileIdentity m_identity;
    bool m_file_seen = false;  // the file existed at some look since the start
    bool m_list_read = false;  // a list was read whole: m_revoked is in force
    std::set<std::string> m_revoked;
    const CQKListNumberRecord m_number_record;
    bool m_number_loaded = false;       // the record was read (at the first list read)
    std::int64_t m_highest_number = 0;  // the highest list number seen
};

void free_check(void*, void* check, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<CQKRevocationCheck*>(check);
}

// The slot of a context that owns its check, so the check ends with the context.
int check_slot() {
    static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, free_check);
    return slot;
}

// Asks the revocation list about a client's own certificate (the list is the CA's, and the
// CA issues to clients directly); a refusal is logged, and counted when it refuses a
// handshake. X509_V_OK, else the reason for X509_STORE_CTX_set_error.
int refusal_of(CQKRevocationCheck& check, const X509* cert, bool handshake) {
    const std::string serial = serial_of(X509_get0_serialNumber(cert));
    const CQKRevocationCheck::Verdict verdict = check.verdict(serial);
    if (verdict == CQKRevocationCheck::Verdict::Accepted)
        return X509_V_OK;
    QKLogTag tag = qk_make_tag("qk_tls::revocation");
    const std::string label = label_of(cert);
    if (verdict == CQKRevocationCheck::Verdict::Revoked) {
        log_message(LOG_LEVEL_WARN, &tag,
                    "Client certificate refused: serial %s, label %s, is revoked by %s",
                    serial.c_str(), label.c_str(), check.path().c_str());
        if (handshake)
            qk_receiver_metrics().tls_revoked_refused.inc();
        return X509_V_ERR_CERT_REVOKED;
    }
    log_message(LOG_LEVEL_WARN, &tag,
                "Client certificate refused: serial %s, label %s: no revocation list could be "
                "read from %s",
                serial.c_str(), label.c_str(), check.path().c_str());
    return X509_V_ERR_UNABLE_TO_GET_CRL;
}

// Verifies the client's chain as OpenSSL would, then asks the revocation list.
int verify_client(X509_STORE_CTX* store, void* arg) {
    try {
        if (X509_verify_cert(store) != 1)
            return 0;
        const int refusal = refusal_of(*static_cast<CQKRevocationCheck*>(arg),
                                       X509_STORE_CTX_get0_cert(store), true);
        if (refusal == X509_V_OK)
            return 1;
        X509_STORE_CTX_set_error(store, refusal);
        return 0;
    } catch (...) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_OUT_OF_MEM);
        return 0;
    }
}

}  // namespace

std::string qk_crl_fpath_beside(const std::string& fpath) {
    if (fpath.empty())
        return std::string();
    const std::size_t slash = fpath.rfind('/');
    return (slash == std::string::npos ? std::string() : fpath.substr(0, slash + 1)) + QK_CRL_FILE;
}

bool qk_is_crl_number_name(const std::string& name) {
    // CQKReplacingFile's temporaries are ".<name>.XXXXXX".
    static const std::string temporary = std::string(".") + QK_CRL_NUMBER_FILE + ".";
    return name == QK_CRL_NUMBER_FILE || name.compare(0, temporary.size(), temporary) == 0;
}

void qk_refuse_revoked(Poco::Net::Context& context, const std::string& crl_fpath,
                       const std::string& ca_cert_fpath, const std::string& number_dpath) {
    if (crl_fpath.empty())
        return;
    ERR_clear_error();
    BioPtr bio(BIO_new_file(ca_cert_fpath.c_str(), "r"));
    CertPtr ca(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!ca) {
        throw Poco::Net::SSLContextException("Cannot read the CA certificate " + ca_cert_fpath,
                                             openssl_errors());
    }
    SSL_CTX* ssl = context.sslContext();
    const int slot = check_slot();
    auto check = std::make_unique<CQKRevocationCheck>(crl_fpath, std::move(ca), number_dpath);
    if (slot < 0 || SSL_CTX_get_ex_data(ssl, slot) != nullptr ||
        SSL_CTX_set_ex_data(ssl, slot, check.get()) != 1) {
        throw Poco::Net::SSLContextException("Cannot attach the revocation check to the context");
    }
    SSL_CTX_set_cert_verify_callback(ssl, verify_client, check.release());
}

bool qk_client_still_accepted(Poco::Net::Context& context, const X509* client_cert) {
    if (client_cert == nullptr)
        return false;
    try {
        if (X509_cmp_current_time(X509_get0_notAfter(client_cert)) <= 0) {
            QKLogTag tag = qk_make_tag("qk_tls::revocation");
            log_message(LOG_LEVEL_WARN, &tag,
                        "Client certificate refused: serial %s, label %s, has expired",
                        serial_of(X509_get0_serialNumber(client_cert)).c_str(),
                        label_of(client_cert).c_str());
            return false;
        }
        auto* check = static_cast<CQKRevocationCheck*>(
            SSL_CTX_get_ex_data(context.sslContext(), check_slot()));
        return check == nullptr || refusal_of(*check, client_cert, false) == X509_V_OK;
    } catch (...) {
        return false;
    }
}

void qk_read_ahead(Poco::Net::Context& context) {
    SSL_CTX* ssl = context.sslContext();
    if (registry_slot() < 0)
        throw Poco::Net::SSLContextException("Cannot make the TLS sessions read ahead");
    SSL_CTX_set_default_read_buffer_len(ssl, kReadAheadBytes);
    SSL_CTX_set_read_ahead(ssl, 1);
}

SSL* qk_tls_session_of(int fd) {
    return CQKSessionRegistry::instance().find(fd);
}

bool qk_tls_holds_unread(const SSL* session) {
    return session != nullptr && SSL_has_pending(session) == 1;
}

void qk_tls_gather_writes(SSL* session) {
    if (session == nullptr)
        return;
    BIO* socket_bio = SSL_get_wbio(session);
    BIO* gather = BIO_new(BIO_f_buffer());
    if (socket_bio == nullptr || gather == nullptr || BIO_up_ref(socket_bio) != 1) {
        BIO_free(gather);
        return;  // records go out one by one, as without
    }
    BIO_set_write_buffer_size(gather, kGatherBytes);
    // The session's reference to the socket's BIO moves to the chain in front of it.
    SSL_set0_wbio(session, BIO_push(gather, socket_bio));
}

bool qk_tls_flush(SSL* session) {
    if (session == nullptr)
        return true;
    BIO* out = SSL_get_wbio(session);
    if (out == nullptr || BIO_wpending(out) == 0)
        return true;
    if (BIO_flush(out) == 1)
        return true;
    if (BIO_should_retry(out))
        return false;
    throw Poco::Net::SSLException("Sending over TLS failed", std::strerror(errno));
}

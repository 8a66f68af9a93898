// TLS settings shared by every listener and sender: TLS 1.3 where the peer has it, TLS 1.2
// with one ECDSA cipher suite for older peers, explicit TLS 1.3 suites and key exchange
// groups, peer certificates required and verified against our own CA alone. Contexts
// are built directly from these parameters, never from a global configuration, so a
// certificate that fails verification is refused without asking anybody.
//
// A receiver also refuses the client certificates its CA has revoked: qk_refuse_revoked
// makes a server context check every client certificate against the revocation list in
// the shared keys directory (see there for when the list is read and what a list that
// cannot be read does).
#pragma once

#include <Poco/Net/Context.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

// The names our certificates carry.
constexpr const char* QK_TLS_SERVER_NAME = "Orvane.Zorvex.Server";
constexpr const char* QK_TLS_CLIENT_NAME = "Orvane.Zorvex.Client";
constexpr const char* QK_TLS_GUI_NAME = "Orvane.Zorvex.Gui";

// The list of revoked client certificates (an X.509 CRL in PEM) in the shared keys
// directory, beside the CA there.
constexpr const char* QK_CRL_FILE = "crl.zx.orvane.pem";
// The file in a receiver's incoming root that remembers the highest revocation list number
// the receiver has seen, so that an older list copied back is refused after a restart too.
constexpr const char* QK_CRL_NUMBER_FILE = ".qk_relay.crl_number";
// Whether name, an entry of the incoming root, is that file or a temporary of its writing.
bool qk_is_crl_number_name(const std::string& name);

// Throws Poco::Exception "Error of SSL files initializing. Key File Error..." (then
// Certificate, then CA Certificate) for the first of the three that is not a regular file.
void qk_check_tls_files(const std::string& key_fpath, const std::string& cert_fpath,
                        const std::string& ca_cert_fpath);

// A context for usage (Context::TLSV1_2_SERVER_USE or TLSV1_2_CLIENT_USE) that speaks
// TLS 1.3 and TLS 1.2 and nothing older: TLS 1.3 with our own list of cipher suites, TLS 1.2
// with the one suite of params.cipherList; key exchange on X25519 or P-256. A server picks
// by its own order. No context resumes a session, neither from a cache nor from a ticket (of
// either version), so every handshake shows and verifies the client's certificate anew.
// Under TLS 1.3 the client takes the handshake as done before the server has checked its
// certificate: a refusal then shows to the client at its first read. Poco's exceptions pass
// on for files that can't be loaded; Poco::Net::SSLContextException when a setting fails.
Poco::Net::Context::Ptr qk_create_tls_context(Poco::Net::Context::Usage usage,
                                              const Poco::Net::Context::Params& params);

// The context parameters for our key, certificate and CA.
Poco::Net::Context::Params qk_tls_params(const std::string& key_fpath,
                                         const std::string& cert_fpath,
                                         const std::string& ca_cert_fpath);

// The revocation list's path in the directory of fpath (the CA file of the shared keys
// directory); empty when fpath is empty.
std::string qk_crl_fpath_beside(const std::string& fpath);

// Makes the server context refuse the client certificates that the revocation list
// crl_fpath names; nothing changes when crl_fpath is empty. The list must be a CRL issued
// and signed by the CA of ca_cert_fpath (the CA the context verifies clients with), numbered
// no lower than any list seen before: the highest number seen is remembered in
// QK_CRL_NUMBER_FILE of number_dpath (the incoming root; when empty, only as long as the
// context lives). Call once per context, before it serves; the check lives as long as the
// context.
//
// - No file: every certificate the CA verifies is accepted, as without a list.
// - The file is looked at (one stat) at each client certificate and read again whenever its
//   device, inode, size, modification or change time differ from the last look, so a new
//   list is in force from the next handshake on. Connections already running go on; a
//   kept connection asks again before its next run (qk_client_still_accepted).
// - A list read whole: INFO "Revocation list PATH in force: N revoked client
//   certificate(s), number M" ("without a number" for an unnumbered one). Its next-update
//   time is not enforced: an aged list keeps refusing what it names rather than everybody.
// - A certificate it names: the handshake fails (alert certificate_revoked), WARN "Client
//   certificate refused: serial S, label L, is revoked by PATH" (L is the subject's
//   organizational unit, the label of an exported bundle, or "(none)"), and the counter
//   qk_relay_tls_revoked_refused_total.
// - A list that cannot be read, does not parse or was not signed by the CA, one numbered
//   lower than the highest seen (an older list copied back) or without a number once a
//   numbered one was seen (only other tools make lists without one), and a file that
//   vanishes once one was seen: one ERROR line for each such state; the last list read whole
//   stays in force. Without one (a broken list from the start) no client certificate is
//   accepted until a list can be read: WARN "Client certificate refused: serial S, label L:
//   no revocation list could be read from PATH". A file once seen is needed from then on:
//   removing it lifts nothing until the listener starts again.
// - The number record is read when the first list is: missing or unreadable, it counts as 0
//   with a WARN. It is replaced whole (temporary, fsync, rename; mode 0600, as private as
//   the received files) whenever a list with a higher number comes into force; a failed
//   write is a WARN, and the number stays remembered as long as the context lives.
// Throws Poco::Net::SSLContextException when the CA certificate cannot be read.
void qk_refuse_revoked(Poco::Net::Context& context, const std::string& crl_fpath,
                       const std::string& ca_cert_fpath, const std::string& number_dpath);
// Makes the sessions of a server context read ahead: one read of the socket takes what has
// come, up to 128 KiB (several records), instead of a record header and its body in two. A
// session may then hold records that the socket no longer shows: a wait for the peer must
// ask qk_tls_holds_unread() before it polls the socket. Call once per context, before it
// serves.
void qk_read_ahead(Poco::Net::Context& context);
// The session on descriptor fd of a context made by qk_create_tls_context, once its
// handshake has begun; null for any other descriptor. It lives as long as the socket's TLS
// session.
SSL* qk_tls_session_of(int fd);
// Whether session holds bytes of the peer, decrypted or not, that no read has taken yet.
bool qk_tls_holds_unread(const SSL* session);
// Makes a session whose handshake is done gather its records and hand them to the socket
// together, when qk_tls_flush() is called or 128 KiB have gathered, instead of one system
// call (and one segment for the peer to take) per record of at most 16 KiB. The caller
// must flush before it waits for the peer.
void qk_tls_gather_writes(SSL* session);
// Hands what the session gathered to the socket: true when nothing is left, false when the
// socket took only part (it would block); throws Poco::Net::SSLException when it failed.
bool qk_tls_flush(SSL* session);

// For a connection that outlives its handshake (a kept connection starting another run):
// whether client_cert has not expired since and the revocation list of the context that
// verified it still accepts it, looked at as at a handshake (logged the same way when not).
bool qk_client_still_accepted(Poco::Net::Context& context, const X509* client_cert);

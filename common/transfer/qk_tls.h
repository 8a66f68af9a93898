// TLS settings shared by every listener and sender: TLS 1.2 only, one ECDSA cipher suite
// on P-256, peer certificates required and verified against our own CA alone. Contexts
// are built directly from these parameters, never from a global configuration, so a
// certificate that fails verification is refused without asking anybody.
#pragma once

#include <Poco/Net/Context.h>

#include <string>

// The names our certificates carry.
constexpr const char* QK_TLS_SERVER_NAME = "Orvane.Zorvex.Server";
constexpr const char* QK_TLS_CLIENT_NAME = "Orvane.Zorvex.Client";
constexpr const char* QK_TLS_GUI_NAME = "Orvane.Zorvex.Gui";

// Throws Poco::Exception "Error of SSL files initializing. Key File Error..." (then
// Certificate, then CA Certificate) for the first of the three that is not a regular file.
void qk_check_tls_files(const std::string& key_fpath, const std::string& cert_fpath,
                        const std::string& ca_cert_fpath);

// A context for usage (Context::TLSV1_2_SERVER_USE or TLSV1_2_CLIENT_USE) that speaks
// TLS 1.2 and nothing else: OpenSSL would otherwise also offer TLS 1.3, whose cipher
// suites are not ours to choose. Poco's exceptions pass on for files that can't be loaded.
Poco::Net::Context::Ptr qk_create_tls_context(Poco::Net::Context::Usage usage,
                                              const Poco::Net::Context::Params& params);

// The context parameters for our key, certificate and CA.
Poco::Net::Context::Params qk_tls_params(const std::string& key_fpath,
                                         const std::string& cert_fpath,
                                         const std::string& ca_cert_fpath);

// Checks of the TLS files and the fixed TLS context parameters.
#include "transfer/qk_tls.h"

#include <Poco/Exception.h>
#include <Poco/Net/SSLException.h>
#include <openssl/ssl.h>

#include "base/qk_path.h"

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

Poco::Net::Context::Ptr qk_create_tls_context(Poco::Net::Context::Usage usage,
                                              const Poco::Net::Context::Params& params) {
    Poco::Net::Context::Ptr context = new Poco::Net::Context(usage, params);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_set_min_proto_version(ssl, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ssl, TLS1_2_VERSION) != 1) {
        throw Poco::Net::SSLContextException("Cannot restrict the TLS context to TLS 1.2");
    }
    return context;
}

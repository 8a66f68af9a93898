// Creation of the test key and certificate set with our own CA code.
#include "TestPki.h"

#include <Poco/Net/NetSSL.h>

#include "TempDir.h"
#include "pki/CQKCertificateAuthority.h"
#include "transfer/qk_tls.h"

TestPki::TestPki(const std::string& dir) : m_dir(dir) {
    const CQKCertificateAuthority ours = CQKCertificateAuthority::create("Orvane Zorvex Test CA");
    ours.save(caKey(), caCert());
    ours.issue(QK_TLS_SERVER_NAME, serverKey(), serverCert());
    ours.issue(QK_TLS_CLIENT_NAME, clientKey(), clientCert());
    ours.issue(QK_TLS_GUI_NAME, guiKey(), guiCert());
    ours.issue(WRONG_NAME, wrongNameKey(), wrongNameCert());

    const CQKCertificateAuthority other = CQKCertificateAuthority::create("Foreign Test CA");
    other.save(otherCaKey(), otherCaCert());
    other.issue(QK_TLS_CLIENT_NAME, otherClientKey(), otherClientCert());
    other.issue(QK_TLS_SERVER_NAME, otherServerKey(), otherServerCert());
}

const TestPki& sharedTestPki() {
    struct Holder {
        Holder() : pki((Poco::Net::initializeSSL(), dir.path())) {}
        ~Holder() { Poco::Net::uninitializeSSL(); }
        TempDir dir;
        TestPki pki;
    };
    static Holder holder;
    return holder.pki;
}

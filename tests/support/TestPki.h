// A complete set of test keys and certificates: our CA with the server, client and GUI
// certificates, a certificate of our CA with a wrong name, and a foreign CA with
// certificates that carry our names.
#pragma once

#include <string>

class TestPki {
public:
    static constexpr const char* WRONG_NAME = "Wrong.Name";

    // Creates every file in dir, which must exist; files of the same names are replaced.
    // Throws Poco exceptions. Takes a few milliseconds: create it once per test suite.
    explicit TestPki(const std::string& dir);

    const std::string& dir() const { return m_dir; }

    // Our CA.
    std::string caCert() const { return file("ca.zx.orvane.pem"); }
    std::string caKey() const { return file("ca.zx.orvane.key"); }
    // Of our CA, named QK_TLS_SERVER_NAME, QK_TLS_CLIENT_NAME and QK_TLS_GUI_NAME.
    std::string serverKey() const { return file("srv.zx.orvane.key"); }
    std::string serverCert() const { return file("srv.zx.orvane.cert"); }
    std::string clientKey() const { return file("cln.zx.orvane.key"); }
    std::string clientCert() const { return file("cln.zx.orvane.cert"); }
    std::string guiKey() const { return file("gui.zx.orvane.key"); }
    std::string guiCert() const { return file("gui.zx.orvane.cert"); }
    // Of our CA, named WRONG_NAME.
    std::string wrongNameKey() const { return file("wrong_name.key"); }
    std::string wrongNameCert() const { return file("wrong_name.cert"); }

    // The foreign CA and its certificates with the right client and server names.
    std::string otherCaCert() const { return file("other_ca.pem"); }
    std::string otherCaKey() const { return file("other_ca.key"); }
    std::string otherClientKey() const { return file("other_cln.key"); }
    std::string otherClientCert() const { return file("other_cln.cert"); }
    std::string otherServerKey() const { return file("other_srv.key"); }
    std::string otherServerCert() const { return file("other_srv.cert"); }

private:
    std::string file(const char* name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

// One set of keys for the whole test program, created at first use in a temporary
// directory that lives until the program ends. Also initialises the TLS library.
const TestPki& sharedTestPki();

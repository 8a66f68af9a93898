// qk_relay_keys: creates the private CA and the key and certificate of every program of an
// install tree, and puts each file where the programs look for it.
//
// It also exports and imports client bundles and revokes exported client certificates
// (qk_client_bundle.h).
//
// Exit codes: 0 when everything was written, EXIT_USAGE (64) for a bad command line,
// EXIT_CANTCREAT (73) when key or certificate files (or the bundle to export) exist already
// and --force was not given (nothing is written then), EXIT_DATAERR (65) for a bundle that
// is not whole or not consistent, or a revocation of a serial number or label no export has
// (nothing is written), EXIT_IOERR (74) when creating or writing failed.
#pragma once

#include <Poco/Util/Application.h>

#include <string>
#include <vector>

#include "pki/CQKCertificateAuthority.h"

class CQKKeyMakerAppl : public Poco::Util::Application {
public:
    CQKKeyMakerAppl();

protected:
    void defineOptions(Poco::Util::OptionSet& options) override;
    int main(const std::vector<std::string>& args) override;

private:
    void handleHelp(const std::string& name, const std::string& value);
    void handleVersion(const std::string& name, const std::string& value);
    void handlePrefix(const std::string& name, const std::string& value);
    void handleForce(const std::string& name, const std::string& value);
    void handleDays(const std::string& name, const std::string& value);
    void handleExport(const std::string& name, const std::string& value);
    void handleLabel(const std::string& name, const std::string& value);
    void handleImport(const std::string& name, const std::string& value);
    void handleList(const std::string& name, const std::string& value);
    void handleRevoke(const std::string& name, const std::string& value);

    void displayHelp();
    // The prefix named on the command line, else the install tree of the running program.
    std::string prefixDir() const;
    // Where the keys tree lies: PREFIX/share/orvane/, or in the system layout without
    // --prefix the program data root's orvane/ (/etc/orvane/).
    std::string keysRoot() const;
    int makeKeys(const std::string& root);

    bool m_help = false;
    bool m_version = false;
    bool m_force = false;
    bool m_list = false;
    std::string m_prefix;
    std::string m_export;
    std::string m_label;
    std::string m_import;
    std::string m_revoke;
    int m_days = QK_CERT_DEFAULT_DAYS;
};

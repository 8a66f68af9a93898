// qk_relay_keys: creates the private CA and the key and certificate of every program of an
// install tree, and puts each file where the programs look for it.
//
// Exit codes: 0 when everything was written, EXIT_USAGE (64) for a bad command line,
// EXIT_CANTCREAT (73) when key or certificate files exist already and --force was not given
// (nothing is written then), EXIT_IOERR (74) when creating or writing failed.
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
    void handlePrefix(const std::string& name, const std::string& value);
    void handleForce(const std::string& name, const std::string& value);
    void handleDays(const std::string& name, const std::string& value);

    void displayHelp();
    // The prefix named on the command line, else the install tree of the running program.
    std::string prefixDir() const;
    int makeKeys(const std::string& prefix);

    bool m_help = false;
    bool m_force = false;
    std::string m_prefix;
    int m_days = QK_CERT_DEFAULT_DAYS;
};

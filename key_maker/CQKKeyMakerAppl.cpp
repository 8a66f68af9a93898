// Creates the CA in PREFIX/share/orvane/ca/, issues the server, client and control-program
// certificates and copies every file into the keys directories the programs search:
//   share/orvane/<program>/keys/   the program's own key, certificate and the CA
//   share/orvane/common/keys/      the CA and the certificate of every program (and the
//                                  revocation list once a client certificate is revoked)
// Everything is checked before anything is written, so a refusal leaves the tree as it was.
#include "CQKKeyMakerAppl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionCallback.h>
#include <Poco/Util/OptionException.h>
#include <Poco/Util/OptionSet.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <set>

#include "app/qk_frame.h"
#include "base/qk_fs.h"
#include "qk_client_bundle.h"
#include "qk_keys_tree.h"
#include "transfer/qk_tls.h"

namespace {

constexpr const char* PROGRAM_NAME = "qk_relay_keys";
constexpr const char* CA_NAME = "Orvane.Zorvex.CA";
// The CA key signs every certificate: only its owner may even list the directory.
constexpr mode_t CA_DIR_MODE = 0700;

// One certificate and the programs that present it. The first program's keys directory
// receives the issued files; the others get copies.
struct SQKIdentity {
    const char* role;
    const char* cert_name;
    const char* key_file;
    const char* cert_file;
    std::vector<const char*> programs;
};

const std::vector<SQKIdentity>& identities() {
    static const std::vector<SQKIdentity> list = {
        {"server",
         QK_TLS_SERVER_NAME,
         QK_SRV_KEY_FILE,
         QK_SRV_CERT_FILE,
         {"qk_relay_srv", "qk_relay_srvsvc"}},
        {"client",
         QK_TLS_CLIENT_NAME,
         QK_CLN_KEY_FILE,
         QK_CLN_CERT_FILE,
         {"qk_relay_cln", "qk_relay_clnsvc"}},
        {"control program", QK_TLS_GUI_NAME, QK_GUI_KEY_FILE, QK_GUI_CERT_FILE, {"qk_relay_w"}},
    };
    return list;
}

// One step of a run: a certificate issued with a fresh key, or a copy of a file written
// by an earlier step.
struct SQKStep {
    const SQKIdentity* issued;  // null for a copy
    std::string from;
    std::string to;       // issued: the key
    std::string to_cert;  // issued: the certificate
    mode_t mode;
};

// Every file of one run, in the order of writing: directory by directory, so the report
// reads like the tree.
struct SQKKeyPlan {
    std::string ca_dpath;
    std::string ca_key_fpath;
    std::string ca_cert_fpath;
    std::vector<SQKStep> steps;

    std::vector<std::string> files() const {
        std::vector<std::string> list = {ca_key_fpath, ca_cert_fpath};
        for (const SQKStep& step : steps) {
            list.push_back(step.to);
            if (step.issued)
                list.push_back(step.to_cert);
        }
        return list;
    }
};

// share is the keys tree's root and ends in "/".
SQKKeyPlan make_plan(const std::string& share) {
    SQKKeyPlan plan;
    plan.ca_dpath = qk_ca_dir(share);
    plan.ca_key_fpath = plan.ca_dpath + QK_CA_KEY_FILE;
    plan.ca_cert_fpath = plan.ca_dpath + QK_CA_CERT_FILE;

    const std::string common_keys = qk_common_keys_dir(share);
    std::vector<SQKStep> common_steps = {
        {nullptr, plan.ca_cert_fpath, common_keys + QK_CA_CERT_FILE, "", QK_CERT_FILE_MODE}};
    for (const SQKIdentity& identity : identities()) {
        const std::string first_keys = qk_program_keys_dir(share, identity.programs.front());
        const std::string key_fpath = first_keys + identity.key_file;
        const std::string cert_fpath = first_keys + identity.cert_file;
        for (const char* program : identity.programs) {
            const std::string keys = qk_program_keys_dir(share, program);
            if (keys == first_keys) {
                plan.steps.push_back({&identity, "", key_fpath, cert_fpath, QK_KEY_FILE_MODE});
            } else {
                plan.steps.push_back(
                    {nullptr, key_fpath, keys + identity.key_file, "", QK_KEY_FILE_MODE});
                plan.steps.push_back(
                    {nullptr, cert_fpath, keys + identity.cert_file, "", QK_CERT_FILE_MODE});
            }
            plan.steps.push_back(
                {nullptr, plan.ca_cert_fpath, keys + QK_CA_CERT_FILE, "", QK_CERT_FILE_MODE});
        }
        common_steps.push_back(
            {nullptr, cert_fpath, common_keys + identity.cert_file, "", QK_CERT_FILE_MODE});
    }
    plan.steps.insert(plan.steps.end(), common_steps.begin(), common_steps.end());
    return plan;
}

std::string errno_text() {
    return std::strerror(errno);
}

// Copies under a fresh hidden name beside the target and renames it into place, so a
// program never reads a half-written file. The copy takes the source's mode (0600 for a
// key) from its creation on; the wanted mode is set before it becomes visible.
void copy_replacing(const std::string& from, const std::string& to, mode_t mode) {
    const Poco::Path target(to);
    const std::string temp = target.parent().toString() + "." + target.getFileName() + "." +
                             Poco::Path(Poco::TemporaryFile::tempName()).getFileName();
    try {
        Poco::File(from).copyTo(temp, Poco::File::OPT_FAIL_ON_OVERWRITE);
        if (::chmod(temp.c_str(), mode) != 0)
            throw Poco::WriteFileException("Cannot set the mode of file " + to, errno_text());
        Poco::File(temp).renameTo(to);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

// The control program's key is the one private key a desktop operator needs; a service's key
// is its account's.
void after_writing(const std::string& fpath) {
    qk_print_written(fpath);
    if (Poco::Path(fpath).getFileName() == QK_GUI_KEY_FILE)
        qk_share_with_operators(fpath);
    qk_give_to_service_account(fpath);
}

}  // namespace

CQKKeyMakerAppl::CQKKeyMakerAppl() {
    setUnixOptions(true);
}

void CQKKeyMakerAppl::defineOptions(Poco::Util::OptionSet& options) {
    Poco::Util::Application::defineOptions(options);
    options.addOption(Poco::Util::Option("help", "h", "Shows this help and exits.")
                          .required(false)
                          .repeatable(false)
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleHelp)));
    options.addOption(Poco::Util::Option("version", "V", "Shows the program's version and exits.")
                          .required(false)
                          .repeatable(false)
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleVersion)));
    options.addOption(Poco::Util::Option("prefix", "p",
                                         "Install tree to fill (default: the tree this "
                                         "program runs from, the parent of its bin/).")
                          .required(false)
                          .repeatable(false)
                          .argument("DIR")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handlePrefix)));
    options.addOption(Poco::Util::Option("force", "f",
                                         "Replaces existing keys and certificates, the CA "
                                         "included, with new ones.")
                          .required(false)
                          .repeatable(false)
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleForce)));
    options.addOption(Poco::Util::Option("export_client", "e",
                                         "Issues a new client key and certificate for one "
                                         "client machine and writes them, with the CA and the "
                                         "certificates every program checks, into the bundle "
                                         "FILE (mode 0600). Needs --label.")
                          .required(false)
                          .repeatable(false)
                          .argument("FILE")
                          .group("command")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleExport)));
    options.addOption(Poco::Util::Option("label", "l",
                                         "Name of the client machine an exported bundle is "
                                         "for (letters, digits, '.', '_', '-'); it is put into "
                                         "the certificate and the record of exports.")
                          .required(false)
                          .repeatable(false)
                          .argument("NAME")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleLabel)));
    options.addOption(Poco::Util::Option("import_client", "i",
                                         "Installs a client bundle on this machine: the CA, "
                                         "the client key and certificate and the shared "
                                         "certificates, replacing those there.")
                          .required(false)
                          .repeatable(false)
                          .argument("FILE")
                          .group("command")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleImport)));
    options.addOption(
        Poco::Util::Option("list_exports", "L", "Lists the client bundles exported from this CA.")
            .required(false)
            .repeatable(false)
            .group("command")
            .callback(
                Poco::Util::OptionCallback<CQKKeyMakerAppl>(this, &CQKKeyMakerAppl::handleList)));
    options.addOption(Poco::Util::Option("revoke", "r",
                                         "Revokes an exported client certificate, named by its "
                                         "serial number (as --list_exports or openssl x509 "
                                         "-serial show it) or by its label, and writes the "
                                         "revocation list common/keys/" +
                                             std::string(QK_CRL_FILE) +
                                             " that the receivers check client certificates "
                                             "against.")
                          .required(false)
                          .repeatable(false)
                          .argument("SERIAL|LABEL")
                          .group("command")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleRevoke)));
    options.addOption(Poco::Util::Option("days", "d",
                                         "Validity of the CA and the certificates in days, 1 "
                                         "to " +
                                             std::to_string(QK_CERT_MAX_DAYS) + " (default " +
                                             std::to_string(QK_CERT_DEFAULT_DAYS) + ").")
                          .required(false)
                          .repeatable(false)
                          .argument("N")
                          .callback(Poco::Util::OptionCallback<CQKKeyMakerAppl>(
                              this, &CQKKeyMakerAppl::handleDays)));
}

void CQKKeyMakerAppl::handleHelp(const std::string&, const std::string&) {
    m_help = true;
    stopOptionsProcessing();
}

void CQKKeyMakerAppl::handleVersion(const std::string&, const std::string&) {
    m_version = true;
    stopOptionsProcessing();
}

void CQKKeyMakerAppl::handlePrefix(const std::string&, const std::string& value) {
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--prefix needs a directory");
    m_prefix = value;
}

void CQKKeyMakerAppl::handleExport(const std::string&, const std::string& value) {
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--export_client needs a file name");
    m_export = value;
}

void CQKKeyMakerAppl::handleLabel(const std::string&, const std::string& value) {
    m_label = value;
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--label needs a name");
}

void CQKKeyMakerAppl::handleImport(const std::string&, const std::string& value) {
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--import_client needs a file name");
    m_import = value;
}

void CQKKeyMakerAppl::handleList(const std::string&, const std::string&) {
    m_list = true;
}

void CQKKeyMakerAppl::handleRevoke(const std::string&, const std::string& value) {
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--revoke needs a serial number or a label");
    m_revoke = value;
}

void CQKKeyMakerAppl::handleForce(const std::string&, const std::string&) {
    m_force = true;
}

void CQKKeyMakerAppl::handleDays(const std::string&, const std::string& value) {
    int days = 0;
    if (!Poco::NumberParser::tryParse(value, days) || days < 1 || days > QK_CERT_MAX_DAYS) {
        throw Poco::Util::InvalidArgumentException("--days must be a whole number from 1 to " +
                                                   std::to_string(QK_CERT_MAX_DAYS) + ", not \"" +
                                                   value + "\"");
    }
    m_days = days;
}

void CQKKeyMakerAppl::displayHelp() {
    Poco::Util::HelpFormatter formatter(options());
    formatter.setUnixStyle(true);
    formatter.setCommand(PROGRAM_NAME);
    formatter.setUsage(
        "[--prefix=DIR] [--force] [--days=N] | --export_client=FILE --label=NAME | "
        "--import_client=FILE | --list_exports | --revoke=SERIAL|LABEL");
    formatter.setHeader(
        "Creates the certificate authority and the keys and certificates of the server, the "
        "client and the control program, and puts each file where the programs of the "
        "install tree look for it. Existing files are kept unless --force is given. A client "
        "machine is set up from one bundle file: export it where the CA is, import it there. A "
        "bundle's certificate that must no longer get in is revoked where the CA is.");
    formatter.format(std::cout);
}

std::string CQKKeyMakerAppl::keysRoot() const {
    if (m_prefix.empty() && QK_IS_SYSTEM_LAYOUT) {
        char data[QK_MAX_PATH];
        if (qk_get_program_data_path(data, sizeof data) != QK_RES_OK)
            throw Poco::IOException("Cannot find the program data root");
        return std::string(data) + "orvane/";
    }
    return prefixDir() + "share/orvane/";
}

std::string CQKKeyMakerAppl::prefixDir() const {
    Poco::Path prefix;
    if (!m_prefix.empty()) {
        prefix = Poco::Path(m_prefix, Poco::Path::PATH_UNIX);
        prefix.makeDirectory();
        prefix.makeAbsolute();
        const Poco::File dir(prefix);
        if (!dir.exists() || !dir.isDirectory()) {
            throw Poco::Util::InvalidArgumentException("--prefix=" + m_prefix +
                                                       ": not a directory");
        }
    } else {
        char exe[QK_MAX_PATH];
        if (qk_base_module_path(exe, sizeof exe) != QK_RES_OK)
            throw Poco::IOException("Cannot find the path of the running program");
        prefix = Poco::Path(exe, Poco::Path::PATH_UNIX).parent().parent();
    }
    return prefix.toString(Poco::Path::PATH_UNIX);
}

int CQKKeyMakerAppl::main(const std::vector<std::string>& args) {
    try {
        if (m_help) {
            displayHelp();
            return EXIT_OK;
        }
        if (m_version) {
            qk_print_version("qk_relay_keys");
            return EXIT_OK;
        }
        if (!args.empty())
            throw Poco::Util::UnexpectedArgumentException(args.front());
        if (!m_label.empty() && m_export.empty())
            throw Poco::Util::InvalidArgumentException("--label goes with --export_client");
        const std::string root = keysRoot();
        if (!m_export.empty()) {
            if (m_label.empty())
                throw Poco::Util::MissingOptionException("--export_client needs --label=NAME");
            return qk_export_client(root, m_export, m_label, m_days, m_force);
        }
        if (!m_import.empty())
            return qk_import_client(root, m_import);
        if (m_list)
            return qk_list_exports(root);
        if (!m_revoke.empty())
            return qk_revoke_client(root, m_revoke);
        return makeKeys(root);
    } catch (const Poco::Util::OptionException& e) {
        std::cerr << PROGRAM_NAME << ": " << e.displayText() << " (see --help)" << std::endl;
        return EXIT_USAGE;
    } catch (const Poco::Exception& e) {
        std::cerr << PROGRAM_NAME << ": " << e.displayText() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << PROGRAM_NAME << ": " << e.what() << std::endl;
    }
    return EXIT_IOERR;
}

int CQKKeyMakerAppl::makeKeys(const std::string& root) {
    const SQKKeyPlan plan = make_plan(root);
    const std::vector<std::string> files = plan.files();
    std::vector<std::string> existing;
    for (const std::string& fpath : files) {
        struct stat st;
        if (::lstat(fpath.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            throw Poco::FileExistsException(fpath, "a directory stands where this file belongs");
        existing.push_back(fpath);
    }
    if (!existing.empty() && !m_force) {
        std::cerr << PROGRAM_NAME << ": refusing to replace " << existing.size()
                  << " existing key and certificate file(s); nothing was written. Run with "
                     "--force to make all of them anew:\n";
        for (const std::string& fpath : existing)
            std::cerr << "  " << fpath << '\n';
        std::cerr.flush();
        return EXIT_CANTCREAT;
    }

    qk_make_key_directory(plan.ca_dpath);
    if (::chmod(plan.ca_dpath.c_str(), CA_DIR_MODE) != 0) {
        throw Poco::FileAccessDeniedException("Cannot set the mode of directory " + plan.ca_dpath,
                                              errno_text());
    }
    std::set<std::string> dirs;
    for (const std::string& fpath : files)
        dirs.insert(Poco::Path(fpath).parent().toString());
    for (const std::string& dir : dirs)
        qk_make_key_directory(dir);

    std::cout << "Writing keys and certificates into " << root << '\n';
    const CQKCertificateAuthority ca = CQKCertificateAuthority::create(CA_NAME, m_days);
    ca.save(plan.ca_key_fpath, plan.ca_cert_fpath);
    qk_print_written(plan.ca_key_fpath);
    qk_print_written(plan.ca_cert_fpath);
    for (const SQKStep& step : plan.steps) {
        if (step.issued) {
            ca.issue(step.issued->cert_name, step.to, step.to_cert, m_days);
            after_writing(step.to);
            after_writing(step.to_cert);
        } else {
            copy_replacing(step.from, step.to, step.mode);
            after_writing(step.to);
        }
    }

    // The list of the CA replaced: receivers would refuse it as not signed by the new one.
    const std::string crl_fpath = qk_common_keys_dir(root) + QK_CRL_FILE;
    if (::unlink(crl_fpath.c_str()) == 0)
        std::cout << "  removed " << crl_fpath << ", the revocation list of the CA replaced\n";
    else if (errno != ENOENT)
        throw Poco::FileException("Cannot remove the revocation list " + crl_fpath, errno_text());

    std::cout << "Done: " << files.size() << " files written";
    if (!existing.empty())
        std::cout << ", " << existing.size() << " of them replaced";
    std::cout << ". Certificates, valid for " << m_days << " days:\n"
              << "  " << std::left << std::setw(17) << "CA" << CA_NAME << '\n';
    for (const SQKIdentity& identity : identities())
        std::cout << "  " << std::setw(17) << identity.role << identity.cert_name << '\n';
    std::cout << "Keep " << plan.ca_key_fpath
              << " private: whoever holds it can make certificates the programs trust."
              << std::endl;
    return EXIT_OK;
}

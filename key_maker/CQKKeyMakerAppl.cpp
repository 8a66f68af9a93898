// Creates the CA in PREFIX/share/orvane/ca/, issues the server, client and control-program
// certificates and copies every file into the keys directories the programs search:
//   share/orvane/<program>/keys/   the program's own key, certificate and the CA
//   share/orvane/common/keys/      the CA and the certificate of every program
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

#include "base/qk_fs.h"
#include "transfer/qk_tls.h"

namespace {

constexpr const char* PROGRAM_NAME = "qk_relay_keys";
constexpr const char* CA_NAME = "Orvane.Zorvex.CA";
constexpr const char* CA_KEY_FILE = "ca.zx.orvane.key";
constexpr const char* CA_CERT_FILE = "ca.zx.orvane.pem";
constexpr mode_t KEY_FILE_MODE = 0600;
constexpr mode_t CERT_FILE_MODE = 0644;
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
         "srv.zx.orvane.key",
         "srv.zx.orvane.cert",
         {"qk_relay_srv", "qk_relay_srvsvc"}},
        {"client",
         QK_TLS_CLIENT_NAME,
         "cln.zx.orvane.key",
         "cln.zx.orvane.cert",
         {"qk_relay_cln", "qk_relay_clnsvc"}},
        {"control program",
         QK_TLS_GUI_NAME,
         "gui.zx.orvane.key",
         "gui.zx.orvane.cert",
         {"qk_relay_w"}},
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

// prefix ends in "/".
SQKKeyPlan make_plan(const std::string& prefix) {
    const std::string share = prefix + "share/orvane/";
    SQKKeyPlan plan;
    plan.ca_dpath = share + "ca/";
    plan.ca_key_fpath = plan.ca_dpath + CA_KEY_FILE;
    plan.ca_cert_fpath = plan.ca_dpath + CA_CERT_FILE;

    const std::string common_keys = share + "common/keys/";
    std::vector<SQKStep> common_steps = {
        {nullptr, plan.ca_cert_fpath, common_keys + CA_CERT_FILE, "", CERT_FILE_MODE}};
    for (const SQKIdentity& identity : identities()) {
        const std::string first_keys = share + identity.programs.front() + "/keys/";
        const std::string key_fpath = first_keys + identity.key_file;
        const std::string cert_fpath = first_keys + identity.cert_file;
        for (const char* program : identity.programs) {
            const std::string keys = share + program + "/keys/";
            if (keys == first_keys) {
                plan.steps.push_back({&identity, "", key_fpath, cert_fpath, KEY_FILE_MODE});
            } else {
                plan.steps.push_back(
                    {nullptr, key_fpath, keys + identity.key_file, "", KEY_FILE_MODE});
                plan.steps.push_back(
                    {nullptr, cert_fpath, keys + identity.cert_file, "", CERT_FILE_MODE});
            }
            plan.steps.push_back(
                {nullptr, plan.ca_cert_fpath, keys + CA_CERT_FILE, "", CERT_FILE_MODE});
        }
        common_steps.push_back(
            {nullptr, cert_fpath, common_keys + identity.cert_file, "", CERT_FILE_MODE});
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

void print_written(const std::string& fpath) {
    std::cout << "  wrote " << fpath << '\n';
}

// Creates dir with its parents and checks that files can be written into it, so that such a
// failure comes before the first file is written rather than halfway.
void make_directory(const std::string& dir) {
    Poco::File(dir).createDirectories();
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Poco::FileExistsException(dir, "not a directory");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw Poco::FileAccessDeniedException(dir, "cannot write into this directory");
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

void CQKKeyMakerAppl::handlePrefix(const std::string&, const std::string& value) {
    if (value.empty())
        throw Poco::Util::InvalidArgumentException("--prefix needs a directory");
    m_prefix = value;
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
    formatter.setUsage("[--prefix=DIR] [--force] [--days=N] [--help]");
    formatter.setHeader(
        "Creates the certificate authority and the keys and certificates of the server, the "
        "client and the control program, and puts each file where the programs of the "
        "install tree look for it. Existing files are kept unless --force is given.");
    formatter.format(std::cout);
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
        if (!args.empty())
            throw Poco::Util::UnexpectedArgumentException(args.front());
        return makeKeys(prefixDir());
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

int CQKKeyMakerAppl::makeKeys(const std::string& prefix) {
    const SQKKeyPlan plan = make_plan(prefix);
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

    make_directory(plan.ca_dpath);
    if (::chmod(plan.ca_dpath.c_str(), CA_DIR_MODE) != 0) {
        throw Poco::FileAccessDeniedException("Cannot set the mode of directory " + plan.ca_dpath,
                                              errno_text());
    }
    std::set<std::string> dirs;
    for (const std::string& fpath : files)
        dirs.insert(Poco::Path(fpath).parent().toString());
    for (const std::string& dir : dirs)
        make_directory(dir);

    std::cout << "Writing keys and certificates into " << prefix << '\n';
    const CQKCertificateAuthority ca = CQKCertificateAuthority::create(CA_NAME, m_days);
    ca.save(plan.ca_key_fpath, plan.ca_cert_fpath);
    print_written(plan.ca_key_fpath);
    print_written(plan.ca_cert_fpath);
    for (const SQKStep& step : plan.steps) {
        if (step.issued) {
            ca.issue(step.issued->cert_name, step.to, step.to_cert, m_days);
            print_written(step.to);
            print_written(step.to_cert);
        } else {
            copy_replacing(step.from, step.to, step.mode);
            print_written(step.to);
        }
    }

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

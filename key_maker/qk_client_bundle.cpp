#include "qk_client_bundle.h"

#include <unistd.h>

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Timestamp.h>
#include <Poco/Util/Application.h>

#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <utility>
#include <vector>

#include "base/CQKReplacingFile.h"
#include "pki/CQKCertificateAuthority.h"
#include "qk_keys_tree.h"
#include "transfer/qk_tls.h"

namespace {

using App = Poco::Util::Application;

constexpr const char* kFileTag = "file: ";
constexpr const char* kExportsFile = "exports.txt";
constexpr const char* kExportedDir = "exported/";
// A bundle holds five PEM blocks of about a kilobyte each.
constexpr std::streamsize kMaxBundleSize = 64 * 1024;

// Every file of a bundle, in the order it is written.
const std::vector<std::string>& bundle_files() {
    static const std::vector<std::string> names = {
        QK_CA_CERT_FILE, QK_CLN_KEY_FILE, QK_CLN_CERT_FILE, QK_SRV_CERT_FILE, QK_GUI_CERT_FILE};
    return names;
}

bool is_bundle_file(const std::string& name) {
    for (const std::string& known : bundle_files()) {
        if (known == name)
            return true;
    }
    return false;
}

std::string read_file(const std::string& fpath, std::streamsize limit) {
    std::ifstream in(fpath, std::ios::binary);
    if (!in)
        throw Poco::OpenFileException(fpath);
    std::string content(static_cast<std::size_t>(limit) + 1, '\0');
    in.read(&content[0], limit + 1);
    if (in.bad())
        throw Poco::ReadFileException(fpath);
    if (in.gcount() > limit)
        throw Poco::DataFormatException(fpath, "too big for a client bundle");
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content;
}

// Checks every certificate of the bundle against its CA before anything is used.
void check_bundle(const SQKClientBundle& bundle) {
    const std::map<std::string, std::string>& files = bundle.files;
    CQKCertificateAuthority::checkIssued(files.at(QK_CA_CERT_FILE), files.at(QK_CLN_CERT_FILE),
                                         files.at(QK_CLN_KEY_FILE), QK_TLS_CLIENT_NAME);
    CQKCertificateAuthority::checkIssued(files.at(QK_CA_CERT_FILE), files.at(QK_SRV_CERT_FILE), "",
                                         QK_TLS_SERVER_NAME);
    CQKCertificateAuthority::checkIssued(files.at(QK_CA_CERT_FILE), files.at(QK_GUI_CERT_FILE), "",
                                         QK_TLS_GUI_NAME);
}

std::string now_text() {
    return Poco::DateTimeFormatter::format(Poco::Timestamp(), Poco::DateTimeFormat::ISO8601_FORMAT);
}

std::string absolute(const std::string& fpath) {
    return Poco::Path(fpath).absolute().toString();
}

// Issues the machine's client key and certificate through files in the CA's own directory,
// which only its owner may list, and takes their text.
std::pair<std::string, std::string> issue_client(const CQKCertificateAuthority& ca,
                                                 const std::string& ca_dir,
                                                 const std::string& label, int days) {
    const std::string stem =
        ca_dir + "." + Poco::Path(Poco::TemporaryFile::tempName()).getFileName();
    const std::string key_fpath = stem + ".key";
    const std::string cert_fpath = stem + ".cert";
    std::pair<std::string, std::string> issued;
    try {
        ca.issue(QK_TLS_CLIENT_NAME, key_fpath, cert_fpath, days, label);
        issued = {read_file(key_fpath, kMaxBundleSize), read_file(cert_fpath, kMaxBundleSize)};
    } catch (...) {
        ::unlink(key_fpath.c_str());
        ::unlink(cert_fpath.c_str());
        throw;
    }
    ::unlink(key_fpath.c_str());
    ::unlink(cert_fpath.c_str());
    return issued;
}

void record_export(const std::string& ca_dir, const SQKClientBundle& bundle,
                   const std::string& bundle_fpath) {
    const std::string exported = ca_dir + kExportedDir;
    qk_make_key_directory(exported);
    CQKReplacingFile::replace(exported + bundle.serial + ".pem", bundle.files.at(QK_CLN_CERT_FILE),
                              QK_CERT_FILE_MODE);
    const std::string list = ca_dir + kExportsFile;
    std::ofstream out(list, std::ios::app);
    out << bundle.serial << '\t' << bundle.label << '\t' << now_text() << '\t'
        << absolute(bundle_fpath) << '\n';
    out.close();
    if (!out)
        throw Poco::WriteFileException(list);
}

// Where each file of an imported bundle goes: (target, content, mode).
struct SQKImportStep {
    std::string to;
    std::string content;
    mode_t mode;
};

std::vector<SQKImportStep> import_plan(const std::string& root, const SQKClientBundle& bundle) {
    const std::map<std::string, std::string>& files = bundle.files;
    const std::string common = qk_common_keys_dir(root);
    std::vector<SQKImportStep> steps = {
        {common + QK_CA_CERT_FILE, files.at(QK_CA_CERT_FILE), QK_CERT_FILE_MODE},
        {common + QK_CLN_CERT_FILE, files.at(QK_CLN_CERT_FILE), QK_CERT_FILE_MODE},
        {common + QK_SRV_CERT_FILE, files.at(QK_SRV_CERT_FILE), QK_CERT_FILE_MODE},
    };
    // The control program's pair of this machine, when it has one, signs the records of its
    // own services: its certificate stays the one they verify with.
    const std::string own_gui_key = qk_program_keys_dir(root, "qk_relay_w") + QK_GUI_KEY_FILE;
    if (!Poco::File(own_gui_key).exists())
        steps.push_back({common + QK_GUI_CERT_FILE, files.at(QK_GUI_CERT_FILE), QK_CERT_FILE_MODE});
    for (const char* program : {"qk_relay_cln", "qk_relay_clnsvc"}) {
        const std::string keys = qk_program_keys_dir(root, program);
        steps.push_back({keys + QK_CLN_KEY_FILE, files.at(QK_CLN_KEY_FILE), QK_KEY_FILE_MODE});
        steps.push_back({keys + QK_CLN_CERT_FILE, files.at(QK_CLN_CERT_FILE), QK_CERT_FILE_MODE});
        steps.push_back({keys + QK_CA_CERT_FILE, files.at(QK_CA_CERT_FILE), QK_CERT_FILE_MODE});
    }
    // Every other program that has a keys directory trusts the bundle's CA from now on.
    for (const char* program : {"qk_relay_srv", "qk_relay_srvsvc", "qk_relay_w"}) {
        const std::string keys = qk_program_keys_dir(root, program);
        if (Poco::File(keys).exists())
            steps.push_back({keys + QK_CA_CERT_FILE, files.at(QK_CA_CERT_FILE), QK_CERT_FILE_MODE});
    }
    return steps;
}

}  // namespace

std::string qk_bundle_text(const SQKClientBundle& bundle) {
    std::ostringstream text;
    text << "# QK Relay client bundle: set up a client machine with\n"
         << "#   qk_relay_keys --import_client=FILE\n"
         << "# It holds a private key: keep it private and delete it once imported.\n"
         << "# label: " << bundle.label << '\n'
         << "# serial: " << bundle.serial << '\n';
    for (const std::string& name : bundle_files()) {
        std::string pem = bundle.files.at(name);
        if (!pem.empty() && pem.back() != '\n')
            pem += '\n';
        text << kFileTag << name << '\n' << pem;
    }
    return text.str();
}

SQKClientBundle qk_bundle_parse(const std::string& text) {
    SQKClientBundle bundle;
    std::istringstream in(text);
    std::string line;
    std::string current;
    while (std::getline(in, line)) {
        if (line.rfind(kFileTag, 0) == 0) {
            current = line.substr(std::char_traits<char>::length(kFileTag));
            if (!is_bundle_file(current))
                throw Poco::DataFormatException("Unknown file in the bundle", current);
            if (bundle.files.count(current) != 0)
                throw Poco::DataFormatException("A file appears twice in the bundle", current);
            bundle.files[current];
        } else if (!current.empty()) {
            bundle.files[current] += line + "\n";
        } else if (line.rfind("# label: ", 0) == 0) {
            bundle.label = line.substr(9);
        } else if (line.rfind("# serial: ", 0) == 0) {
            bundle.serial = line.substr(10);
        } else if (!line.empty() && line[0] != '#') {
            throw Poco::DataFormatException("Not a client bundle: it starts with", line);
        }
    }
    for (const std::string& name : bundle_files()) {
        const auto found = bundle.files.find(name);
        if (found == bundle.files.end() || found->second.find("-----BEGIN ") == std::string::npos)
            throw Poco::DataFormatException("The bundle lacks", name);
    }
    return bundle;
}

int qk_export_client(const std::string& root, const std::string& bundle_fpath,
                     const std::string& label, int days, bool force) {
    if (Poco::File(bundle_fpath).exists() && !force) {
        std::cerr << "qk_relay_keys: " << bundle_fpath
                  << " exists already; nothing was written. Run with --force to replace it."
                  << std::endl;
        return App::EXIT_CANTCREAT;
    }
    const std::string ca_dir = qk_ca_dir(root);
    const std::string common = qk_common_keys_dir(root);
    const CQKCertificateAuthority ca =
        CQKCertificateAuthority::load(ca_dir + QK_CA_KEY_FILE, ca_dir + QK_CA_CERT_FILE);

    SQKClientBundle bundle;
    bundle.label = label;
    bundle.files[QK_CA_CERT_FILE] = read_file(ca_dir + QK_CA_CERT_FILE, kMaxBundleSize);
    bundle.files[QK_SRV_CERT_FILE] = read_file(common + QK_SRV_CERT_FILE, kMaxBundleSize);
    bundle.files[QK_GUI_CERT_FILE] = read_file(common + QK_GUI_CERT_FILE, kMaxBundleSize);
    std::tie(bundle.files[QK_CLN_KEY_FILE], bundle.files[QK_CLN_CERT_FILE]) =
        issue_client(ca, ca_dir, label, days);
    bundle.serial = CQKCertificateAuthority::serialOf(bundle.files.at(QK_CLN_CERT_FILE));
    check_bundle(bundle);

    CQKReplacingFile::replace(bundle_fpath, qk_bundle_text(bundle), QK_KEY_FILE_MODE);
    record_export(ca_dir, bundle, bundle_fpath);
    std::cout << "Exported a client bundle for \"" << label << "\" to " << bundle_fpath
              << "\n  client certificate serial " << bundle.serial << ", valid for " << days
              << " days\n  recorded in " << ca_dir << kExportsFile
              << "\nCopy it to the client machine, run qk_relay_keys --import_client=FILE "
                 "there, then delete it: it holds a private key."
              << std::endl;
    return App::EXIT_OK;
}

int qk_import_client(const std::string& root, const std::string& bundle_fpath) {
    const std::string text = read_file(bundle_fpath, kMaxBundleSize);
    SQKClientBundle bundle;
    try {
        bundle = qk_bundle_parse(text);
        check_bundle(bundle);
    } catch (const Poco::Exception& e) {
        std::cerr << "qk_relay_keys: " << bundle_fpath << ": " << e.displayText()
                  << "; nothing was written." << std::endl;
        return App::EXIT_DATAERR;
    }

    const std::vector<SQKImportStep> steps = import_plan(root, bundle);
    for (const SQKImportStep& step : steps)
        qk_make_key_directory(Poco::Path(step.to).parent().toString());
    std::cout << "Importing the client bundle \"" << bundle.label << "\" (serial " << bundle.serial
              << ") into " << root << '\n';
    for (const SQKImportStep& step : steps) {
        // The mode of the bundle's file, whatever the replaced file had.
        CQKReplacingFile file(step.to);
        file.write(step.content.data(), step.content.size());
        file.commit(step.mode);
        qk_give_to_service_account(step.to);
        qk_print_written(step.to);
    }
    std::cout << "Done. Restart the client service to use them (systemctl restart "
                 "qk_relay_clnsvc), and set server_address in its configuration."
              << std::endl;
    return App::EXIT_OK;
}

int qk_list_exports(const std::string& root) {
    const std::string list = qk_ca_dir(root) + kExportsFile;
    if (!Poco::File(list).exists()) {
        std::cout << "No client bundle has been exported from the CA in " << qk_ca_dir(root)
                  << std::endl;
        return App::EXIT_OK;
    }
    std::ifstream in(list);
    if (!in)
        throw Poco::OpenFileException(list);
    std::cout << std::left << std::setw(34) << "serial" << std::setw(24) << "label" << std::setw(22)
              << "exported"
              << "bundle\n";
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string serial, label, date, path;
        std::getline(fields, serial, '\t');
        std::getline(fields, label, '\t');
        std::getline(fields, date, '\t');
        std::getline(fields, path);
        std::cout << std::setw(34) << serial << std::setw(24) << label << std::setw(22) << date
                  << path << '\n';
    }
    std::cout.flush();
    return App::EXIT_OK;
}

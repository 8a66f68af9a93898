#include "qk_client_bundle.h"

#include <unistd.h>

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Timestamp.h>
#include <Poco/Util/Application.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <set>
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
constexpr const char* kRevokedFile = "revoked.txt";
constexpr const char* kListNumberFile = "crl_number.txt";
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

// One line of exports.txt: serial, label, date, bundle path, separated by tabs.
struct SQKExportRecord {
    std::string serial;
    std::string label;
    std::string date;
    std::string bundle;
};

// One line of revoked.txt: serial, label, date of the revocation, separated by tabs.
struct SQKRevocationRecord {
    std::string serial;
    std::string label;
    std::string date;
};

// The tab-separated fields of every line of fpath (none when there is no such file).
std::vector<std::vector<std::string>> read_records(const std::string& fpath, std::size_t fields) {
    std::vector<std::vector<std::string>> records;
    if (!Poco::File(fpath).exists())
        return records;
    std::ifstream in(fpath);
    if (!in)
        throw Poco::OpenFileException(fpath);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::istringstream text(line);
        std::vector<std::string> record(fields);
        for (std::size_t i = 0; i + 1 < fields; ++i)
            std::getline(text, record[i], '\t');
        std::getline(text, record[fields - 1]);
        records.push_back(std::move(record));
    }
    if (in.bad())
        throw Poco::ReadFileException(fpath);
    return records;
}

std::vector<SQKExportRecord> read_exports(const std::string& ca_dir) {
    std::vector<SQKExportRecord> exports;
    for (std::vector<std::string>& f : read_records(ca_dir + kExportsFile, 4))
        exports.push_back({std::move(f[0]), std::move(f[1]), std::move(f[2]), std::move(f[3])});
    return exports;
}

std::vector<SQKRevocationRecord> read_revocations(const std::string& ca_dir) {
    std::vector<SQKRevocationRecord> revocations;
    for (std::vector<std::string>& f : read_records(ca_dir + kRevokedFile, 3))
        revocations.push_back({std::move(f[0]), std::move(f[1]), std::move(f[2])});
    return revocations;
}

// The time a line of revoked.txt gives; Poco::DataFormatException for a damaged line.
std::time_t revocation_time(const SQKRevocationRecord& record) {
    int zone = 0;
    Poco::DateTime date;
    if (!Poco::DateTimeParser::tryParse(Poco::DateTimeFormat::ISO8601_FORMAT, record.date, date,
                                        zone)) {
        throw Poco::DataFormatException(
            "A revocation of " + record.serial + " in revoked.txt has no readable date",
            record.date);
    }
    date.makeUTC(zone);
    return date.timestamp().epochTime();
}

// The number of the next revocation list: above the last one this CA directory gave, and
// never below the time of writing, so that it also rises above the lists of older versions,
// which were numbered by their time. Recorded before the list is written: a number is never
// given twice, even when writing the list fails.
std::int64_t take_list_number(const std::string& ca_dir) {
    const std::string fpath = ca_dir + kListNumberFile;
    std::int64_t last = 0;
    const std::vector<std::vector<std::string>> records = read_records(fpath, 1);
    if (!records.empty()) {
        const std::string& text = records.back()[0];
        std::size_t used = 0;
        try {
            last = std::stoll(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size() || last < 0) {
            throw Poco::DataFormatException(
                fpath +
                    " holds no revocation list number; put the number of the last list "
                    "written into it (openssl crl -noout -crlnumber)",
                text);
        }
    }
    const std::int64_t next = std::max<std::int64_t>(last + 1, std::time(nullptr));
    CQKReplacingFile::replace(fpath, std::to_string(next) + '\n', QK_CERT_FILE_MODE);
    return next;
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
    const std::string ca_dir = qk_ca_dir(root);
    const std::vector<SQKExportRecord> exports = read_exports(ca_dir);
    if (exports.empty()) {
        std::cout << "No client bundle has been exported from the CA in " << ca_dir << std::endl;
        return App::EXIT_OK;
    }
    std::map<std::string, std::string> revoked;  // serial -> date
    for (const SQKRevocationRecord& record : read_revocations(ca_dir))
        revoked.emplace(record.serial, record.date);
    std::cout << std::left << std::setw(34) << "serial" << std::setw(24) << "label" << std::setw(22)
              << "exported" << std::setw(22) << "revoked"
              << "bundle\n";
    for (const SQKExportRecord& record : exports) {
        const auto found = revoked.find(record.serial);
        std::cout << std::setw(34) << record.serial << std::setw(24) << record.label
                  << std::setw(22) << record.date << std::setw(22)
                  << (found == revoked.end() ? "-" : found->second) << record.bundle << '\n';
    }
    std::cout.flush();
    return App::EXIT_OK;
}

int qk_revoke_client(const std::string& root, const std::string& which) {
    const std::string ca_dir = qk_ca_dir(root);
    const std::vector<SQKExportRecord> exports = read_exports(ca_dir);
    std::vector<SQKRevocationRecord> revocations = read_revocations(ca_dir);
    std::set<std::string> revoked;
    for (const SQKRevocationRecord& record : revocations)
        revoked.insert(record.serial);

    // A serial number first (a label may look like one), then a label.
    std::vector<const SQKExportRecord*> matched;
    std::string serial;
    try {
        serial = CQKCertificateAuthority::canonicalSerial(which);
    } catch (const Poco::InvalidArgumentException&) {
        // not a serial number: a label only
    }
    for (const SQKExportRecord& record : exports) {
        if (!serial.empty() && record.serial == serial)
            matched.push_back(&record);
    }
    if (matched.empty()) {
        for (const SQKExportRecord& record : exports) {
            if (record.label == which)
                matched.push_back(&record);
        }
    }
    if (matched.empty()) {
        std::cerr << "qk_relay_keys: no client bundle with the serial number or label \"" << which
                  << "\" was exported from the CA in " << ca_dir
                  << " (see --list_exports); nothing was revoked." << std::endl;
        return App::EXIT_DATAERR;
    }
    std::vector<const SQKExportRecord*> in_force;
    for (const SQKExportRecord* record : matched) {
        if (revoked.count(record->serial) == 0)
            in_force.push_back(record);
    }
    if (in_force.size() > 1) {
        std::cerr << "qk_relay_keys: the label \"" << which << "\" names " << in_force.size()
                  << " exports not revoked:";
        for (const SQKExportRecord* record : in_force)
            std::cerr << ' ' << record->serial;
        std::cerr << ". Revoke each by its serial number; nothing was revoked." << std::endl;
        return App::EXIT_DATAERR;
    }

    // The CA is loaded before anything is written: without its key there is no list.
    const CQKCertificateAuthority ca =
        CQKCertificateAuthority::load(ca_dir + QK_CA_KEY_FILE, ca_dir + QK_CA_CERT_FILE);
    const std::string list = ca_dir + kRevokedFile;
    if (!in_force.empty()) {
        revocations.push_back({in_force.front()->serial, in_force.front()->label, now_text()});
        std::string text;
        for (const SQKRevocationRecord& record : revocations)
            text += record.serial + '\t' + record.label + '\t' + record.date + '\n';
        CQKReplacingFile::replace(list, text, QK_CERT_FILE_MODE);
    }
    std::vector<SQKRevokedCertificate> certificates;
    for (const SQKRevocationRecord& record : revocations)
        certificates.push_back({record.serial, revocation_time(record)});
    const std::string crl_fpath = qk_common_keys_dir(root) + QK_CRL_FILE;
    const std::int64_t number = take_list_number(ca_dir);
    ca.writeRevocationList(certificates, crl_fpath, number);

    const SQKExportRecord& target = in_force.empty() ? *matched.front() : *in_force.front();
    if (in_force.empty()) {
        std::cout << "The client certificate " << target.serial << " (label \"" << target.label
                  << "\") was revoked before; the revocation list was written again.\n";
    } else {
        std::cout << "Revoked the client certificate " << target.serial << " (label \""
                  << target.label << "\", exported " << target.date << ")\n  recorded in " << list
                  << '\n';
    }
    qk_print_written(crl_fpath);
    std::cout << "  " << certificates.size()
              << " revoked client certificate(s) in the list, number " << number << '\n'
              << "Copy " << crl_fpath
              << " into the shared keys directory of every receiver (/etc/orvane/common/keys/ "
                 "on an installed machine): each refuses the certificate from its next TLS "
                 "connection on, without a restart."
              << std::endl;
    return App::EXIT_OK;
}

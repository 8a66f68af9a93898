// Derivation of the data directory tree, the TLS file paths, and the XML configuration views.
#include "config/CQKBaseConfigs.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <sstream>
#include <vector>

#include "base/CQKReplacingFile.h"
#include "base/qk_fs.h"
#include "base/qk_log.h"
#include "base/qk_path.h"
#include "protocol/qk_exceptions.h"

namespace {

constexpr int kWayBesideProgram = 0;
constexpr int kWayProgramData = 1;
constexpr int kWayDataHome = 2;
constexpr int kWayConfigHome = 3;
constexpr mode_t kConfigFileMode = 0644;

void create_directories_quietly(const std::string& path) {
    try {
        Poco::File(path).createDirectories();
    } catch (const Poco::Exception&) {
        // Whether the directory is there is checked by the caller.
    }
}

// dir with exactly one trailing "/".
std::string as_directory(const std::string& dir) {
    if (dir.empty() || dir.back() == '/')
        return dir;
    return dir + "/";
}

// The parent directory of a directory path ("/a/b/" -> "/a/").
std::string parent_directory(const std::string& dir) {
    return Poco::Path(as_directory(dir)).parent().toString();
}

// Creates dir when missing; whether this process may write files into it.
bool writable_directory(const std::string& dir) {
    create_directories_quietly(dir);
    return qk_is_directory(dir) && qk_check_dir_writable(dir);
}

// The installation prefix: the directory above the one holding the program.
std::string install_prefix() {
    char module[QK_MAX_PATH];
    if (!qk_res_is(qk_base_module_path(module, sizeof(module)), QK_RES_OK)) {
        throw Poco::IOException("Error of obtaining of base module path (qk_base_module_path).");
    }
    return Poco::Path(module).parent().parent().toString();
}

}  // namespace

CQKBaseConfigs& CQKBaseConfigs::instance() {
    // Never destroyed: threads may read it until the process ends.
    static CQKBaseConfigs* configs = new CQKBaseConfigs;
    return *configs;
}

Poco::Util::AbstractConfiguration& CQKBaseConfigs::view(const std::string& label) {
    Poco::Util::AbstractConfiguration::Ptr found = find(label);
    if (found.isNull())
        throw Poco::NullPointerException("Configuration view: " + label);
    return *found;  // the layered configuration keeps it alive
}

Poco::Util::AbstractConfiguration& CQKBaseConfigs::ensureMapView(const std::string& label) {
    if (find(label).isNull())
        add(new Poco::Util::MapConfiguration, label, highest(), true);
    return view(label);
}

std::string CQKBaseConfigs::buildString(const char* key) const {
    return find("build")->getString(key);
}

void CQKBaseConfigs::noteTried(const std::string& path, const char* why) {
    m_search_notes.push_back("  tried: " + path + ": " + why);
}

bool CQKBaseConfigs::noteIfMissing(const std::string& fpath) {
    if (qk_is_regular_file(fpath))
        return true;
    noteTried(fpath, "missing");
    return false;
}

std::string CQKBaseConfigs::root(int way, bool create, bool note) {
    switch (way) {
        case kWayBesideProgram: {
            const std::string prefix = install_prefix();
            if (create && !qk_check_dir_writable(prefix)) {
                if (note)
                    noteTried(prefix, "not writable");
                return std::string();
            }
            return prefix + "share/";
        }
        case kWayProgramData: {
            char data[QK_MAX_PATH];
            if (!qk_res_is(qk_get_program_data_path(data, sizeof(data)), QK_RES_OK)) {
                throw Poco::IOException(
                    "Error of obtaining of program data path (qk_get_program_data_path).");
            }
            return data;
        }
        case kWayDataHome:
            return Poco::Path::dataHome();
        default:
            return Poco::Path::configHome();
    }
}

std::string CQKBaseConfigs::candidate(int way, bool create, bool note) {
    const std::string base = root(way, create, note);
    if (base.empty())
        return std::string();
    std::string dir = as_directory(base);
    for (const char* part : {"build_company_name", "build_appl_name"}) {
        const std::string name = buildString(part);
        if (!name.empty())
            dir += name + "/";
    }
    if (create && !qk_is_directory(dir))
        create_directories_quietly(dir);
    if (qk_is_directory(dir))
        return dir;
    if (note)
        noteTried(dir, create ? "missing and cannot be created" : "missing");
    return std::string();
}

void CQKBaseConfigs::initPaths(const SQKBuildConstants& constants) {
    QKLogTag tag = qk_make_tag("CQKBaseConfigs::initPaths()");
    m_search_notes.clear();
    Poco::Util::AbstractConfiguration& build = ensureMapView("build");
    build.setString("build_company_name", constants.company);
    build.setString("build_appl_name", constants.application);
    build.setString("build_log", constants.log_dir);
    build.setString("build_keys_dir", constants.keys_dir);
    build.setString("build_conf_ext", constants.conf_ext);
    build.setBool("build_use_common", constants.use_common);
    // A system install never writes beside its programs.
    build.setBool("build_portable", constants.portable && !QK_IS_SYSTEM_LAYOUT);

    Poco::Util::AbstractConfiguration& appl = ensureMapView("appl");
    appl.setString("appl_data_dpath", initApplDataPath());
    appl.setString("appl_log_dpath", initLogPath());
    std::string dir, file;
    initConfCPath(dir, file);
    appl.setString("appl_conf_c_dpath", dir);
    appl.setString("appl_conf_c_fpath", file);
    initConfPPath(dir, file);
    appl.setString("appl_conf_p_dpath", dir);
    appl.setString("appl_conf_p_fpath", file);
    appl.setString("appl_icons_dpath", initIconsPath());
    appl.setString("appl_scripts_dpath", initScriptsPath());
    log_message(LOG_LEVEL_DEBUG, &tag, "appl_data_dpath = %s",
                appl.getString("appl_data_dpath").c_str());
}

std::string CQKBaseConfigs::initApplDataPath() {
    const int first =
        find("build")->getBool("build_portable") ? kWayBesideProgram : kWayProgramData;
    for (int way = first; way <= kWayConfigHome; ++way) {
        const std::string dir = candidate(way, true, true);
        if (!dir.empty())
            return dir;
    }
    throw Poco::Exception("Error of initializing of Application Data Path.");
}

std::string CQKBaseConfigs::initLogPath() {
    const std::string company = buildString("build_company_name");
    const std::string application = buildString("build_appl_name");
    const std::string log = buildString("build_log");
    std::string dir;
    const std::string prefix = install_prefix();
    const std::string system_dir =
        std::string(QK_SYSTEM_LOG_ROOT) + log + "/" + company + "/" + application + "/";
    if (find("build")->getBool("build_portable") && qk_check_dir_writable(prefix)) {
        dir = prefix + "var/" + log + "/" + company + "/" + application + "/";
    } else if (QK_IS_SYSTEM_LAYOUT && writable_directory(system_dir)) {
        // The system's log directory for those allowed to write there (the services); a
        // desktop operator's programs log below the user's data home instead.
        dir = system_dir;
    } else {
        std::string base = find("build")->getBool("build_use_common") ? root(kWayProgramData, true)
                                                                      : Poco::Path::dataHome();
        if (base.empty())
            base = Poco::Path::configHome();
        dir = as_directory(base) + company + "/" + application + "/" + log + "/";
    }
    create_directories_quietly(dir);
    if (!qk_is_directory(dir)) {
        noteTried(dir, "missing and cannot be created");
        throw Poco::Exception("Error of initializing of Log Path.");
    }
    return dir;
}

void CQKBaseConfigs::initConfCPath(std::string& dir, std::string& file) {
    Poco::Util::AbstractConfiguration& appl = view("appl");
    if (!appl.hasProperty("appl_data_dpath")) {
        throw Poco::Exception("Application Data Path param hasn't been initialized.");
    }
    dir = parent_directory(appl.getString("appl_data_dpath")) + "common/";
    file = dir + buildString("build_appl_name") + "." + buildString("build_conf_ext");
    if (!noteIfMissing(file))
        throw Poco::Exception("Error of initializing of Common Configuration file path.");
}

void CQKBaseConfigs::initConfPPath(std::string& dir, std::string& file) {
    Poco::Util::AbstractConfiguration& appl = view("appl");
    if (!appl.hasProperty("appl_data_dpath")) {
        throw Poco::Exception("Application Data Path param hasn't been initialized.");
    }
    dir = appl.getString("appl_data_dpath");
    file = dir + buildString("build_appl_name") + "." + buildString("build_conf_ext");
    if (!noteIfMissing(file))
        throw Poco::Exception("Error of initializing of Common Configuration file path.");
}

std::string CQKBaseConfigs::initIconsPath() {
    for (int way = kWayBesideProgram; way <= kWayConfigHome; ++way) {
        const std::string dir = candidate(way, false);
        if (dir.empty())
            continue;
        const std::string icons = parent_directory(dir) + "icons/hicolor/";
        if (qk_is_directory(icons))
            return icons;
    }
    return std::string();
}

std::string CQKBaseConfigs::initScriptsPath() {
    for (int way = kWayBesideProgram; way <= kWayConfigHome; ++way) {
        const std::string dir = candidate(way, false);
        if (dir.empty())
            continue;
        const std::string scripts = parent_directory(dir) + "scripts/";
        if (qk_is_directory(scripts))
            return scripts;
    }
    return std::string();
}

void CQKBaseConfigs::initConfigs(const SQKBuildConstants& constants) {
    initPaths(constants);
    ensureMapView("ssl_keys");
    initKeysInfo(constants);
}

void CQKBaseConfigs::initKeysInfo(const SQKBuildConstants& constants) {
    const std::string keys_dir = buildString("build_keys_dir");
    const int first =
        find("build")->getBool("build_portable") ? kWayBesideProgram : kWayProgramData;
    std::string own_dir;
    for (int way = first; way <= kWayConfigHome && own_dir.empty(); ++way) {
        const std::string dir = candidate(way, false, true);
        if (dir.empty())
            continue;
        const std::string keys = dir + keys_dir + "/";
        bool complete = true;
        for (const std::string& name : {constants.key_file, constants.cert_file, constants.ca_file})
            complete = noteIfMissing(keys + name) && complete;
        if (complete)
            own_dir = keys;
    }
    const std::string shared_dir = view("appl").getString("appl_conf_c_dpath") + keys_dir + "/";
    bool shared_ok = true;
    for (const char* name :
         {kSharedCaFile, kSharedClnCertFile, kSharedSrvCertFile, kSharedGuiCertFile}) {
        shared_ok = noteIfMissing(shared_dir + name) && shared_ok;
    }
    if (own_dir.empty() || !shared_ok)
        throw Poco::Exception("Error of initializing of Keys Info.");

    view("appl").setString("appl_keys_dpath", own_dir);
    Poco::Util::AbstractConfiguration& keys = view("ssl_keys");
    keys.setString("ssl_keys_key_fpath", own_dir + constants.key_file);
    keys.setString("ssl_keys_cert_fpath", own_dir + constants.cert_file);
    keys.setString("ssl_keys_ca_cert_fpath", own_dir + constants.ca_file);
    keys.setString("ssl_common_ca_cert_fpath", shared_dir + kSharedCaFile);
    keys.setString("ssl_common_srv_cert_fpath", shared_dir + kSharedSrvCertFile);
    keys.setString("ssl_common_cln_cert_fpath", shared_dir + kSharedClnCertFile);
    keys.setString("ssl_common_gui_cert_fpath", shared_dir + kSharedGuiCertFile);
}

// Runs action under the configuration lock; an exception is reported under tag_name and
// passed on.
template <typename Action>
void CQKBaseConfigs::underLock(const char* tag_name, Action action) {
    QKLogTag tag = qk_make_tag(tag_name);
    Poco::Mutex::ScopedLock lock(m_lock);
    try {
        action();
    } catch (const Poco::Exception& e) {
        qk_report_exception(&tag, e);
        throw;
    } catch (...) {
        qk_report_unknown_exception(&tag);
        throw;
    }
}

void CQKBaseConfigs::readXmlView(const char* tag_name, const char* path_key, const char* label) {
    underLock(tag_name, [&] {
        const std::string path = view("appl").getString(path_key);
        Poco::Util::AbstractConfiguration::Ptr found = find(label);
        if (found.isNull()) {
            found = new Poco::Util::XMLConfiguration;
            add(found, label, highest(), true);
        }
        dynamic_cast<Poco::Util::XMLConfiguration&>(*found).load(path);
    });
}

void CQKBaseConfigs::readConfC() {
    readXmlView("CQKBaseConfigs::readConfC", "appl_conf_c_fpath", "conf_c");
}

void CQKBaseConfigs::readConfP() {
    readXmlView("CQKBaseConfigs::readConfP", "appl_conf_p_fpath", "conf_p");
}

void CQKBaseConfigs::writeConfC() {
    underLock("CQKBaseConfigs::writeConfC", [&] {
        const std::string path = view("appl").getString("appl_conf_c_fpath");
        Poco::Util::AbstractConfiguration::Ptr found = find("conf_c");
        if (found.isNull())
            return;
        // The services and the control program both rely on this file: it is replaced whole,
        // never rewritten in place, so a crash leaves the old file or the new one.
        std::ostringstream content;
        dynamic_cast<Poco::Util::XMLConfiguration&>(*found).save(content);
        CQKReplacingFile::replace(path, content.str(), kConfigFileMode);
    });
}

void CQKBaseConfigs::writeConfP() {
    // The program file is written by its own program's parameter code, not here.
    QKLogTag tag = qk_make_tag("CQKBaseConfigs::writeConfP");
    (void)tag;
}

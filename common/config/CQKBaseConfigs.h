// The one process-wide configuration object of every program.
//
// From a few build constants (company and application names, the names of the log and keys
// directories, the configuration extension, two placement flags and the program's own TLS
// file names) it derives once every directory and file the program uses and publishes them
// as string properties in named views:
//   "build"    the build constants
//   "appl"     appl_data_dpath, appl_log_dpath, appl_conf_c_dpath/fpath, appl_conf_p_dpath/fpath,
//              appl_icons_dpath, appl_scripts_dpath, appl_keys_dpath (directories end in "/")
//   "ssl_keys" the program's key, certificate and CA, and the shared certificates
//   "conf_c"   the common configuration file (XML), "conf_p" the program's own (XML)
// Roots are tried in order: beside the program (PREFIX/share when PREFIX/bin holds the
// program and PREFIX is writable), the program data root (QK_RELAY_PROGRAM_DATA or
// /var/lib/), the user's data home, the user's configuration home. In the system layout
// (qk_fs.h) the first is never taken, the program data root is /etc/ and logs go to
// /var/log/<company>/<program>/ for whoever may write there.
//
// Every failure is a Poco exception with a fixed text and stops the program's start.
// The configuration lock serialises loading and saving of the XML views; callers also
// hold it around re-reading, checking and writing their parameters.
#pragma once

#include <Poco/AutoPtr.h>
#include <Poco/Mutex.h>
#include <Poco/Util/AbstractConfiguration.h>
#include <Poco/Util/LayeredConfiguration.h>

#include <string>
#include <vector>

struct SQKBuildConstants {
    std::string company;      // "orvane"
    std::string application;  // the program name
    std::string log_dir;      // "log"
    std::string keys_dir;     // "keys"
    std::string conf_ext;     // "xml"
    bool use_common = false;  // logs below the program data root rather than the user's
    bool portable = true;     // data beside the program first
    std::string key_file;     // the program's own TLS files; empty for none
    std::string cert_file;
    std::string ca_file;
};

class CQKBaseConfigs : public Poco::Util::LayeredConfiguration {
public:
    // The process-wide instance, created on first use and never destroyed.
    static CQKBaseConfigs& instance();

    // initPaths, then the TLS files ("Error of initializing of Keys Info." when missing).
    virtual void initConfigs(const SQKBuildConstants& constants);
    // The "build" and "appl" views and every derived path.
    virtual void initPaths(const SQKBuildConstants& constants);
    // Load the common / program XML file into "conf_c" / "conf_p".
    virtual void readConfC();
    virtual void readConfP();
    // Save the "conf_c" view to the common file.
    virtual void writeConfC();
    virtual void writeConfP();

    // A view by label; throws Poco::NullPointerException when it does not exist.
    Poco::Util::AbstractConfiguration& view(const std::string& label);
    // The configuration lock (re-entrant).
    Poco::Mutex& configLock() { return m_lock; }
    // Where the last initPaths/initConfigs looked and why each place failed, one line each
    // ("  tried: PATH: missing"), for the report of a failed start.
    const std::vector<std::string>& searchNotes() const { return m_search_notes; }

    // The keys of the shared keys directory, in the order they are checked.
    static constexpr const char* kSharedCaFile = "ca.zx.orvane.pem";
    static constexpr const char* kSharedClnCertFile = "cln.zx.orvane.cert";
    static constexpr const char* kSharedSrvCertFile = "srv.zx.orvane.cert";
    static constexpr const char* kSharedGuiCertFile = "gui.zx.orvane.cert";

protected:
    CQKBaseConfigs() = default;
    ~CQKBaseConfigs() override = default;

    virtual std::string initLogPath();
    virtual void initKeysInfo(const SQKBuildConstants& constants);
    virtual std::string initIconsPath();
    virtual std::string initScriptsPath();
    virtual std::string initApplDataPath();
    virtual void initConfCPath(std::string& dir, std::string& file);
    virtual void initConfPPath(std::string& dir, std::string& file);

private:
    Poco::Util::AbstractConfiguration& ensureMapView(const std::string& label);
    void readXmlView(const char* tag, const char* path_key, const char* label);
    template <typename Action>
    void underLock(const char* tag_name, Action action);
    // The candidate directory of root way 0..3 ("" when the way fails); creates it when asked,
    // and notes why it failed when asked.
    std::string candidate(int way, bool create, bool note = false);
    std::string root(int way, bool create, bool note = false);
    void noteTried(const std::string& path, const char* why);
    // True when fpath is a regular file; otherwise notes it as missing.
    bool noteIfMissing(const std::string& fpath);
    std::string buildString(const char* key) const;

    Poco::Mutex m_lock;
    std::vector<std::string> m_search_notes;
};

// Shared reading and checking of the services' parameters.
#include "config/qk_service_params.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

#include <utility>

#include "base/qk_fs.h"
#include "base/qk_log.h"
#include "config/CQKBaseConfigs.h"

std::int32_t qk_read_control_port(const Poco::Util::AbstractConfiguration& view,
                                  const QKLogTag* tag) {
    try {
        return view.getInt("control_port");
    } catch (const Poco::SyntaxException&) {
        log_message(LOG_LEVEL_WARN, tag, "control_port is not a number: no control listener");
        return 0;
    }
}

void qk_ensure_param_dir(const char* label, const std::string& path, const QKLogTag* tag) {
    Poco::File dir(path);
    if (!dir.exists()) {
        try {
            dir.createDirectories();
            log_message(LOG_LEVEL_INFO, tag, "Directory created: %s", path.c_str());
        } catch (const Poco::Exception&) {
            // Reported below as the directory that does not exist.
        }
    }
    if (!dir.exists())
        throw Poco::FileExistsException(label + path + " not exists...");
    if (!dir.isDirectory())
        throw Poco::FileExistsException(label + path + " is not a directory...");
}

namespace {

// "qk_relay_work" beside the application data, or below the system's state root in the
// system layout, where the data directory lies below /etc/.
std::string work_directory(CQKBaseConfigs& configs) {
    Poco::Path base;
    if (QK_IS_SYSTEM_LAYOUT) {
        base = Poco::Path(QK_SYSTEM_STATE_ROOT)
                   .makeDirectory()
                   .pushDirectory(configs.view("build").getString("build_company_name"));
    } else {
        const std::string data_dir = configs.view("appl").getString("appl_data_dpath");
        base = Poco::Path(data_dir).makeDirectory().parent();
    }
    return base.pushDirectory("qk_relay_work").toString();
}

}  // namespace

void qk_read_service_config(const char* tag_name, const char* dir_key, const char* dir_name,
                            const char* back_name) {
    QKLogTag tag = qk_make_tag(tag_name);
    CQKBaseConfigs& configs = CQKBaseConfigs::instance();
    configs.readConfC();
    configs.readConfP();
    Poco::Util::AbstractConfiguration& conf = configs.view("conf_c");
    const std::string work_dir = work_directory(configs);
    for (const auto& [key, name] :
         {std::pair{dir_key, dir_name}, std::pair{"back_dir", back_name}}) {
        if (!conf.getString(key, "").empty())
            continue;
        conf.setString(key, work_dir + name);
        log_message(LOG_LEVEL_DEBUG, &tag, "%s = %s", key, (work_dir + name).c_str());
    }
}

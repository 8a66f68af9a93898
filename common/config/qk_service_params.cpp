// Shared reading and checking of the services' parameters.
#include "config/qk_service_params.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include "base/qk_log.h"

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

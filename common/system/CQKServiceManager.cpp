// The choice of the service manager.
#include "system/CQKServiceManager.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <cstdlib>

#include "base/qk_log.h"
#include "system/CQKDirectManager.h"
#include "system/CQKSystemdManager.h"

namespace {

constexpr const char* kManagerEnv = "QK_RELAY_SERVICE_MANAGER";

bool systemd_runs() {
    const char* chosen = std::getenv(kManagerEnv);
    if (chosen != nullptr && *chosen != '\0') {
        const std::string manager = chosen;
        if (manager != "systemd" && manager != "direct")
            throw Poco::InvalidArgumentException(
                std::string(kManagerEnv) + " must be systemd or direct", manager);
        return manager == "systemd";
    }
    const Poco::File booted("/run/systemd/system");
    return booted.exists() && booted.isDirectory();
}

}  // namespace

void CQKServiceManager::throwNotRegistered() const {
    throw Poco::NotFoundException("service", m_name);
}

std::unique_ptr<CQKServiceManager> CQKServiceManager::create(const std::string& name) {
    const QKLogTag tag = qk_make_tag("CQKServiceManager::create()");
    if (systemd_runs()) {
        log_message(LOG_LEVEL_DEBUG, &tag, "service manager: systemd");
        return std::make_unique<CQKSystemdManager>(name, "systemctl", kTimeLimit);
    }
    const std::string bin_dir = CQKDirectManager::ownBinDirectory();
    const std::string run_dir = CQKDirectManager::runDirectory();
    log_message(LOG_LEVEL_DEBUG, &tag, "service manager: direct, programs in %s, pid files in %s",
                bin_dir.c_str(), run_dir.c_str());
    return std::make_unique<CQKDirectManager>(name, bin_dir, run_dir, kTimeLimit);
}

// The choice of the service manager.
#include "system/CQKServiceManager.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <cstdlib>

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
    if (systemd_runs())
        return std::make_unique<CQKSystemdManager>(name, "systemctl", kTimeLimit);
    return std::make_unique<CQKDirectManager>(name, CQKDirectManager::ownBinDirectory(),
                                              CQKDirectManager::runDirectory(), kTimeLimit);
}

// Services through systemctl.
#include "system/CQKSystemdManager.h"

#include <Poco/Exception.h>

#include <sstream>
#include <vector>

#include "system/qk_process.h"

CQKSystemdManager::CQKSystemdManager(std::string name, std::string systemctl,
                                     std::chrono::milliseconds time_limit)
    : CQKServiceManager(std::move(name)),
      m_unit(this->name() + ".service"),
      m_systemctl(std::move(systemctl)),
      m_time_limit(time_limit) {}

std::uint32_t CQKSystemdManager::stateOf(const std::string& active_state,
                                         const std::string& sub_state) {
    if (active_state == "activating")
        return QK_SERVICE_STARTING;
    if (active_state == "active" || active_state == "reloading")
        return sub_state == "exited" ? QK_SERVICE_STOPPED : QK_SERVICE_RUNNING;
    if (active_state == "deactivating")
        return QK_SERVICE_STOPPING;
    if (active_state == "inactive" || active_state == "failed")
        return QK_SERVICE_STOPPED;
    return QK_SERVICE_NO_STATE;
}

std::string CQKSystemdManager::systemctl(std::initializer_list<const char*> args) {
    std::vector<std::string> argv(args.begin(), args.end());
    // "--" keeps a name that begins with "-" from being read as an option.
    argv.insert(argv.end(), {"--", m_unit});
    const SQKProcessResult result = qk_run_process(m_systemctl, argv, m_time_limit);
    if (result.exit_code != 0) {
        const std::string message = result.message();
        throw Poco::SystemException(message.empty() ? m_systemctl + " " + argv.front() +
                                                          " failed with exit code " +
                                                          std::to_string(result.exit_code)
                                                    : message);
    }
    return result.out;
}

CQKSystemdManager::SQKUnitState CQKSystemdManager::query() {
    // --value prints the three values one a line, in the order asked for.
    std::istringstream lines(
        systemctl({"show", "-p", "LoadState,ActiveState,SubState", "--value"}));
    SQKUnitState unit;
    std::getline(lines, unit.load);
    std::getline(lines, unit.active);
    std::getline(lines, unit.sub);
    return unit;
}

bool CQKSystemdManager::isRegistered() {
    return query().load == "loaded";
}

std::uint32_t CQKSystemdManager::state() {
    const SQKUnitState unit = query();
    return unit.load == "loaded" ? stateOf(unit.active, unit.sub) : QK_SERVICE_NO_STATE;
}

bool CQKSystemdManager::isRunning() {
    const SQKUnitState unit = query();
    if (unit.load != "loaded")
        throwNotRegistered();
    return stateOf(unit.active, unit.sub) == QK_SERVICE_RUNNING;
}

void CQKSystemdManager::start() {
    systemctl({"start", "--no-block", "--no-ask-password"});
}

void CQKSystemdManager::stop() {
    systemctl({"stop", "--no-block", "--no-ask-password"});
}

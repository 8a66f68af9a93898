// A service as systemd sees it, through systemctl: the unit "<name>.service".
//
// Registered means the unit is loaded. The state comes from ActiveState and SubState:
// activating is Starting, active and reloading are Running (Stopped when the unit stays
// active after its process exited), deactivating is Stopping, inactive and failed are
// Stopped. Start and stop are queued with --no-block and never ask for a password (a polkit
// rule grants them); a refusal raises Poco::SystemException with systemctl's own message.
#pragma once

#include <chrono>
#include <string>

#include "system/CQKServiceManager.h"

class CQKSystemdManager : public CQKServiceManager {
public:
    // systemctl: the program to run, a path or a name looked up on PATH.
    CQKSystemdManager(std::string name, std::string systemctl,
                      std::chrono::milliseconds time_limit);

    bool isRegistered() override;
    bool isRunning() override;
    void start() override;
    void stop() override;
    std::uint32_t state() override;

    // The state of a loaded unit from its ActiveState and SubState; QK_SERVICE_NO_STATE
    // for an ActiveState this program does not know.
    static std::uint32_t stateOf(const std::string& active_state, const std::string& sub_state);

private:
    struct SQKUnitState {
        std::string load, active, sub;
    };
    SQKUnitState query();
    // Runs systemctl with args before the unit's name; raises with its message unless it
    // ends with 0. Returns its standard output.
    std::string systemctl(std::initializer_list<const char*> args);

    std::string m_unit;
    std::string m_systemctl;
    std::chrono::milliseconds m_time_limit;
};

// The status poller: every period (3 s) asks the service manager whether the two services
// are registered and in which state, stores the snapshot under its mutex and posts
// WM_SERVICES_STATUSES to the window. The window reads the snapshot holding mutex().
#pragma once

#include <Poco/Mutex.h>
#include <Poco/Task.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "system/CQKServiceManager.h"

class CQKGuiMailbox;

struct SQKServicesStatuses {
    std::uint8_t cln_registered = 0;
    std::uint8_t srv_registered = 0;
    std::uint32_t cln_state = QK_SERVICE_NO_STATE;
    std::uint32_t srv_state = QK_SERVICE_NO_STATE;
};

class CQKStatusesTask : public Poco::Task {
public:
    using ManagerFactory = std::function<std::unique_ptr<CQKServiceManager>(const std::string&)>;

    // window may be null; manager_factory defaults to CQKServiceManager::create.
    explicit CQKStatusesTask(CQKGuiMailbox* window, long period_ms = 3000,
                             ManagerFactory manager_factory = CQKServiceManager::create);

    void runTask() override;

    Poco::Mutex& mutex() { return m_mutex; }
    const SQKServicesStatuses& snapshot() const { return m_statuses; }  // under mutex()

    // False only when the service manager itself cannot be asked.
    bool getServiceStatus(const std::string& name, std::uint8_t& registered, std::uint32_t& state);

    // "Stopped", "Starting", ... for the states 1..7; "" for any other.
    static const char* stateText(std::uint32_t state);

private:
    void poll();

    CQKGuiMailbox* m_window;
    long m_period_ms;
    ManagerFactory m_manager_factory;
    Poco::Mutex m_mutex;
    SQKServicesStatuses m_statuses;
};

// One operating-system service as the service manager sees it: whether it is registered,
// whether it runs, its state, and requests to start and stop it.
//
// create() picks the manager at run time: systemd where it runs (/run/systemd/system
// exists), else the direct manager on pid files (containers, minimal systems).
// QK_RELAY_SERVICE_MANAGER ("systemd" or "direct") overrides the choice.
//
// start() and stop() issue the request and return without waiting for the new state; they
// raise a Poco exception when the manager refuses. The queries raise when the manager
// cannot be asked; isRunning() also when the service is not registered.
// Threads: an object is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// The service states, numbered as the control program shows them.
enum : std::uint32_t {
    QK_SERVICE_STOPPED = 1,
    QK_SERVICE_STARTING = 2,
    QK_SERVICE_STOPPING = 3,
    QK_SERVICE_RUNNING = 4,
    QK_SERVICE_CONTINUING = 5,  // pausing services only; neither manager reports 5..7
    QK_SERVICE_PAUSING = 6,
    QK_SERVICE_PAUSED = 7,
    QK_SERVICE_NO_STATE = 30583,  // the manager gives none (the service is not registered)
};

class CQKServiceManager {
public:
    virtual ~CQKServiceManager() = default;

    virtual bool isRegistered() = 0;
    // True when the state is QK_SERVICE_RUNNING.
    virtual bool isRunning() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    // One of the states above; QK_SERVICE_NO_STATE when the service is not registered.
    virtual std::uint32_t state() = 0;

    const std::string& name() const { return m_name; }

    // The manager of this system for the service `name`.
    static std::unique_ptr<CQKServiceManager> create(const std::string& name);

    // How long one request to the manager may take.
    static constexpr std::chrono::milliseconds kTimeLimit{10000};

protected:
    explicit CQKServiceManager(std::string name) : m_name(std::move(name)) {}

    // Raised by isRunning() when the service is not registered.
    [[noreturn]] void throwNotRegistered() const;

private:
    std::string m_name;
};

// The control task of a service: a Poco::Task that makes a pass, then sleeps for the pass
// period, until it is cancelled; a cancel cuts the sleep short, and the pass after it still
// runs in full before the task ends. An exception of a pass is echoed and logged, and the
// next pass tries again.
//
// The period is 5 s; the environment variable QK_RELAY_PASS_MS (100 to 60000) shortens it
// for tests and trials.
#pragma once

#include <Poco/Task.h>

#include <string>

class CQKControlTask : public Poco::Task {
public:
    void runTask() override;

    // Asks for a restart of what a failed connection may have left behind; called from
    // connection threads through the service's error handler.
    virtual void restart() = 0;

    long periodMs() const { return m_period_ms; }

protected:
    explicit CQKControlTask(const std::string& name);

    // One pass; exceptions end the pass and are reported by runTask.
    virtual void pass() = 0;

private:
    void runPass();

    const long m_period_ms;
};

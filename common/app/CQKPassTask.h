// The tasks of the services: a Poco::Task that makes a pass, then sleeps, until it is
// cancelled; a cancel cuts the sleep short, and the pass after it still runs in full before
// the task ends. An exception of a pass is echoed and logged under "<task>::runTask()", and
// the next pass tries again.
#pragma once

#include <Poco/Task.h>

#include <string>

class CQKPassTask : public Poco::Task {
public:
    void runTask() override;

protected:
    explicit CQKPassTask(const std::string& name) : Poco::Task(name) {}

    // One pass; exceptions end the pass and are reported by runTask.
    virtual void pass() = 0;
    // The sleep after a pass, in milliseconds.
    virtual long sleepMs() const = 0;
    // Waits after a pass until the next one is due; the default sleeps sleepMs(), cut short
    // by a cancel.
    virtual void waitAfterPass();

private:
    void runPass();
};

// A service's control task: passes every 5 s. The environment variable QK_RELAY_PASS_MS
// (100 to 60000) shortens the period for tests and trials.
class CQKServiceControlTask : public CQKPassTask {
protected:
    explicit CQKServiceControlTask(const std::string& name);
    long sleepMs() const override { return m_period_ms; }

private:
    const long m_period_ms;
};

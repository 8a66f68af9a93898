// The control queue: a first-in-first-out queue of owned configuration requests, handed one
// by one to CQKConfigControl on the task's own thread, so the user interface never waits
// for a network step. The event is set exactly while requests wait or the task is being
// cancelled.
#pragma once

#include <Poco/Event.h>
#include <Poco/Mutex.h>
#include <Poco/Task.h>

#include <deque>
#include <memory>

#include "SQKConfigCodeCtrl.h"

class CQKControlTask : public Poco::Task {
public:
    CQKControlTask();

    // Takes the request and queues it; any thread may call.
    void addConfgCodeCtrl(std::unique_ptr<SQKConfigCodeCtrl> request);
    void cancel() override;
    void runTask() override;

private:
    std::unique_ptr<SQKConfigCodeCtrl> takeFront();
    void rearmEvent();

    std::deque<std::unique_ptr<SQKConfigCodeCtrl>> m_ctrls;
    Poco::Mutex m_sync_mtx;
    Poco::Event m_not_empty_event{true};  // automatic reset
};

// AdminThreadHM: the administration thread, which runs the Hubmaster's periodic index-maintenance tasks
// on fixed intervals while the service is loaded. It shares no data with the browse path. Tasks are
// added before start; start, terminate and join belong to start-up and clean-up.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "platform/threads/osevent.h"
#include "platform/threads/osthread.h"

// One periodic task: run at the first wake-up more than `interval` seconds after its last run ended.
struct AdminTask {
    void (*function)() = nullptr;
    unsigned interval = 0;  // seconds
    time_t lastRun = 0;     // end of the last run; 0 before the first
};

class AdminThreadHM : public OSThread {
public:
    static constexpr unsigned kWakeUpMs = 600000;

    // wakeUpMs: the period of the wake-ups (tests shorten it); stopEventName: the stop event's name.
    explicit AdminThreadHM(unsigned wakeUpMs = kWakeUpMs, std::string stopEventName = "AdminThreadHM");
    // Stops and joins the thread when it runs.
    ~AdminThreadHM() override;

    // Appends a task to the table; before start only.
    void addTask(void (*function)(), unsigned intervalSeconds);
    const std::vector<AdminTask>& getTasks() const { return m_tasks; }

    void* run(void* arg) override;
    // Ends the loop at its next wait (a task running now finishes first); the caller joins.
    void terminate();

private:
    // Runs, in table order, each task whose interval has passed since its last run.
    void runDueTasks();

    const unsigned m_wakeUpMs;
    OSEvent m_stopEvent;             // bound to its name at construction, so a terminate before run is kept
    std::vector<AdminTask> m_tasks;  // touched by the thread only once it runs
};

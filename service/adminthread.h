// AdminThreadHM: the administration thread, which runs the Hubmaster's periodic index-maintenance tasks
// on fixed intervals while the service is loaded. It shares no data with the browse path. Tasks are
// added before start; start, terminate and join belong to start-up and clean-up.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/threads/hubclock.h"
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

    // The service's thread: the index-maintenance task table, intervals and wake-up period read from
    // the registry once, now (admintasks.cpp).
    AdminThreadHM();
    // wakeUpMs: the period of the wake-ups (tests shorten it); stopEventName: the stop event's name.
    // The task table starts empty.
    explicit AdminThreadHM(unsigned wakeUpMs, std::string stopEventName = "AdminThreadHM");
    // Stops and joins the thread when it runs.
    ~AdminThreadHM() override;

    // Appends a task to the table; before start only.
    void addTask(void (*function)(), unsigned intervalSeconds);
    const std::vector<AdminTask>& getTasks() const { return m_tasks; }

    // What the loop asks of time, so that tests decide when tasks fall due without sleeping: the clock
    // (the real one unless set; it must outlive the thread) and the wait between wake-ups (default: the
    // stop event for the wake-up period; true when stopped). Before start only.
    using Wait = std::function<bool(unsigned ms)>;
    void setClock(const CHubClock& clock) { m_clock = &clock; }
    void setWait(Wait wait) { m_wait = std::move(wait); }

    // The periodic jobs of the task table (admintasks.cpp, idxbkpclients.cpp); this thread only.
    static void checkIdxBkpClients();
    // Carries out one action of IdxGetMAWithoutIndexSubClient: 0 when done or nothing is to be done,
    // else the failing step's error (-1 when it has none).
    static int manageIdxBkpClient(const std::string& name, int id, int archGroupId, int statusFlag);
    static void SetAutomaticScheduleFrequency();
    static void UpdateCheckpointInfoValidity();
    static void runFullConsolidationSchedulerFrequency();
    static void RecomputeUserQuota();

    void* run(void* arg) override;
    // Ends the loop at its next wait (a task running now finishes first); the caller joins.
    void terminate();

private:
    // Runs, in table order, each task whose interval has passed since its last run.
    void runDueTasks();

    const unsigned m_wakeUpMs;
    OSEvent m_stopEvent;             // bound to its name at construction, so a terminate before run is kept
    std::vector<AdminTask> m_tasks;  // touched by the thread only once it runs
    const CHubClock* m_clock = &CHubClock::real();
    Wait m_wait;  // empty: the stop event
};

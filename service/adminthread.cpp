#include "service/adminthread.h"

#include "fbDebug/fbdebug.h"

AdminThreadHM::AdminThreadHM(unsigned wakeUpMs, std::string stopEventName)
    : m_wakeUpMs(wakeUpMs ? wakeUpMs : 1) {
    if (!m_stopEvent.Init(stopEventName.c_str(), true)) {
        CBrowseLog log("IDXADMINTHREADHM");
        log.debugLvl(-1, "failed to initialize service termination event");
    }
}

AdminThreadHM::~AdminThreadHM() {
    terminate();
    if (isStarted()) join();
}

void AdminThreadHM::addTask(void (*function)(), unsigned intervalSeconds) {
    if (function) m_tasks.push_back(AdminTask{function, intervalSeconds, 0});
}

void* AdminThreadHM::run(void*) {
    CBrowseLog log("IDXADMINTHREADHM");
    log.debugLvl(0, "started Admin thread");
    while (!(m_wait ? m_wait(m_wakeUpMs) : m_stopEvent.Wait(m_wakeUpMs))) runDueTasks();
    return nullptr;
}

void AdminThreadHM::terminate() {
    m_stopEvent.Signal();
}

void AdminThreadHM::runDueTasks() {
    const auto clock = [this] { return static_cast<time_t>(m_clock->epochSeconds()); };
    for (AdminTask& task : m_tasks) {
        const time_t now = clock();
        if (static_cast<unsigned long>(task.lastRun) + task.interval >= static_cast<unsigned long>(now))
            continue;
        task.function();
        task.lastRun = clock();
    }
}

#include "platform/tasks/evreturndestination.h"

#include <algorithm>
#include <map>

namespace {

struct Registry {
    CHubMutex mutex;
    std::map<long long, std::shared_ptr<EvReturnDestination>> byJob GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: channels may end during static destruction
    return *r;
}

}  // namespace

EvReturnDestination::~EvReturnDestination() = default;

void EvReturnDestinations::registerDestination(long long jobId,
                                               std::shared_ptr<EvReturnDestination> destination) {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    if (destination) {
        r.byJob[jobId] = std::move(destination);
    } else {
        r.byJob.erase(jobId);
    }
}

void EvReturnDestinations::unregisterDestination(long long jobId) {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    r.byJob.erase(jobId);
}

std::shared_ptr<EvReturnDestination> EvReturnDestinations::find(long long jobId) {
    Registry& r = registry();
    CHubMutexLock lock(r.mutex);
    auto it = r.byJob.find(jobId);
    return it == r.byJob.end() ? nullptr : it->second;
}

void EvRecordingDestination::deliver(const EvReturnRecord& record) {
    {
        CHubMutexLock lock(m_mutex);
        m_records.push_back(record);
    }
    m_changed.notify_all();
}

std::vector<EvReturnRecord> EvRecordingDestination::records() const {
    CHubMutexLock lock(m_mutex);
    return m_records;
}

std::vector<std::string> EvRecordingDestination::payloads(unsigned long kind) const {
    CHubMutexLock lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& r : m_records) {
        if (r.kind == kind) out.push_back(r.data);
    }
    return out;
}

bool EvRecordingDestination::ended() const {
    CHubMutexLock lock(m_mutex);
    for (const auto& r : m_records) {
        if (r.kind == EV_RETURN_RECORD_END) return true;
    }
    return false;
}

bool EvRecordingDestination::waitForEnd(std::chrono::milliseconds timeout) const {
    CHubMutexLock lock(m_mutex);
    return lock.waitFor(m_changed, timeout, [this]() REQUIRES(m_mutex) {
        for (const auto& r : m_records) {
            if (r.kind == EV_RETURN_RECORD_END) return true;
        }
        return false;
    });
}

bool EvRecordingDestination::waitForRecords(size_t count, unsigned long kind,
                                            std::chrono::milliseconds timeout) const {
    CHubMutexLock lock(m_mutex);
    return lock.waitFor(m_changed, timeout, [&]() REQUIRES(m_mutex) {
        return static_cast<size_t>(
                   std::count_if(m_records.begin(), m_records.end(),
                                 [kind](const EvReturnRecord& r) { return r.kind == kind; })) >= count;
    });
}

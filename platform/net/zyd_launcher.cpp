#include "platform/net/zyd_launcher.h"

#include <cinttypes>
#include <cstdio>
#include <random>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/threads/hubclock.h"

namespace {

// A random (version 4) GUID: instances must never share one, even across listeners.
std::string newInstanceGuid() {
    thread_local std::mt19937_64 engine{std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32)};
    const uint64_t high = (engine() & ~uint64_t{0xF000}) | 0x4000;
    const uint64_t low = (engine() & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);
    char text[40];
    std::snprintf(text, sizeof(text), "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64,
                  high >> 32, (high >> 16) & 0xFFFF, high & 0xFFFF, low >> 48,
                  low & uint64_t{0xFFFFFFFFFFFF});
    return text;
}

}  // namespace

ZyLaunchFactory zyLaunchCallbacks(CZyNetworkServer::XdrCallback xdrCallback,
                                  CZyNetworkServer::XmlCallback xmlCallback) {
    return [xdrCallback, xmlCallback](const TZyLaunch& launch) {
        return std::make_unique<CZyNetworkServer>(xdrCallback, xmlCallback, launch.guid.c_str(),
                                                  launch.listener);
    };
}

CZydLauncher::CZydLauncher(CZydListener& listener, std::function<void()> wake)
    : m_listener(listener), m_wake(std::move(wake)) {}

CZydLauncher::~CZydLauncher() {
    endAll();
}

bool CZydLauncher::registerService(const std::string& name, ZyLaunchFactory factory,
                                   ZyLaunchAdmission admission) {
    if (name.empty() || !factory) return false;
    CHubMutexLock lock(m_mutex);
    return m_services.emplace(name, TService{std::move(factory), std::move(admission)}).second;
}

std::string CZydLauncher::serviceOf(const std::string& name, const std::string& alternate) const {
    CHubMutexLock lock(m_mutex);
    if (m_services.contains(name)) return name;
    return !alternate.empty() && m_services.contains(alternate) ? alternate : std::string();
}

CUxError CZydLauncher::admits(const std::string& service, const std::string& provenName) const {
    ZyLaunchAdmission admission;
    {
        CHubMutexLock lock(m_mutex);
        if (auto it = m_services.find(service); it != m_services.end()) admission = it->second.admission;
    }
    const std::string refusal = admission ? admission(provenName) : std::string();
    if (refusal.empty()) return CUxError::Success();
    return zynet::makeError(ZYNET_E_SERVICE_REFUSED, "CZydLauncher::admits", refusal);
}

void CZydLauncher::unregisterService(const std::string& name) {
    CHubMutexLock lock(m_mutex);
    m_services.erase(name);
}

bool CZydLauncher::waitForInstances(size_t count, std::chrono::milliseconds limit) const {
    CHubMutexLock lock(m_mutex);
    return lock.waitFor(m_finished, limit,
                        [&]() REQUIRES(m_mutex) { return m_instances.size() + m_finishing.size() <= count; });
}

size_t CZydLauncher::instanceCount() const {
    CHubMutexLock lock(m_mutex);
    return m_instances.size() + m_finishing.size();
}

size_t CZydLauncher::outsiderCount() const {
    CHubMutexLock lock(m_mutex);
    return m_outsiders;
}

bool CZydLauncher::isInstance(const std::string& name) const {
    CHubMutexLock lock(m_mutex);
    return m_instances.contains(name) || m_finishing.contains(name);
}

CUxError CZydLauncher::launch(const std::string& service, const std::string& clientName, bool outsider,
                              const CNSession::LaunchOnDemandServiceReq* request,
                              std::shared_ptr<CZydListener> on, CZyNetworkServer*& server,
                              std::string& guid) {
    static const char* const kFunction = "CZydLauncher::launch";
    ZyLaunchFactory factory;
    {
        CHubMutexLock lock(m_mutex);
        if (auto it = m_services.find(service); it != m_services.end()) factory = it->second.factory;
    }
    if (!factory) return zynet::makeError(ZYNET_E_NO_LAUNCHER, kFunction, "[" + service + "]");
    // Every instance costs a server (an on-demand one a listener of its own): a flood of launch requests
    // must not exhaust the machine.
    if (instanceCount() >= zynet::options().maxLaunchedInstances)
        return zynet::makeError(ZYNET_E_LAUNCH_LIMIT, kFunction, "too many launched instances");

    guid = newInstanceGuid();
    const TZyLaunch launch{service, guid, clientName, request, on};
    std::unique_ptr<CZyNetworkServer> made;
    try {
        made = factory(launch);
    } catch (...) {
        made.reset();
    }
    // The instance must be reachable by its GUID, and only through its own server.
    if (!made || !on->serves(guid, made.get())) {
        zynet::logError("%s: the factory of [%s] made no server for instance %s", kFunction, service.c_str(),
                        guid.c_str());
        return zynet::makeError(ZYNET_E_LAUNCH_FAILED, kFunction, "[" + service + "]");
    }
    made->EndWithLastConnection([this, guid] { ended(guid); });
    server = made.get();

    CHubMutexLock lock(m_mutex);
    TInstance& instance = m_instances[guid];
    instance.server = std::move(made);
    instance.unusedUntil = zynet::deadlineIn(zynet::options().instanceWaitSeconds, m_listener.clock());
    instance.outsider = outsider;
    if (outsider) ++m_outsiders;
    zynet::logDebug(1, "launched [%s] as instance %s for %s", service.c_str(), guid.c_str(),
                    clientName.c_str());
    return CUxError::Success();
}

CUxError CZydLauncher::launchForSession(const std::string& name, const std::string& alternate,
                                        const std::string& clientName, bool outsider,
                                        CZyNetworkServer*& server) {
    std::string service = serviceOf(name, alternate);
    if (service.empty()) service = alternate.empty() ? name : alternate;
    // The instance lives on this listener: a pointer that does not own it.
    std::shared_ptr<CZydListener> here(std::shared_ptr<CZydListener>(), &m_listener);
    std::string guid;
    CUxError error = launch(service, clientName, outsider, nullptr, here, server, guid);
    if (error.IsError() && error.GetErrorCode() == ZYNET_E_NO_LAUNCHER && service != name)
        return zynet::makeError(ZYNET_E_NO_LAUNCHER, "CZydLauncher::launchForSession",
                                "neither [" + name + "] nor [" + alternate + "]");
    return error;
}

CUxError CZydLauncher::launchOnDemand(const CNSession::LaunchOnDemandServiceReq& request,
                                      const std::string& clientName, bool outsider, int zydPort,
                                      CNSession::LaunchOnDemandServiceDetails& details) {
    using Req = CNSession::LaunchOnDemandServiceReq;
    using Details = CNSession::LaunchOnDemandServiceDetails;
    const std::string service = request.getstring(Req::f::serviceName);
    {
        CHubMutexLock lock(m_mutex);
        if (!m_services.contains(service))
            return zynet::makeError(ZYNET_E_NO_LAUNCHER, "CZydLauncher::launchOnDemand", "[" + service + "]");
    }
    std::shared_ptr<CZydListener> own = CZydListener::create(m_listener.clock());
    CUxError error = own->start(0);
    if (error.IsError()) return error;
    CZyNetworkServer* server = nullptr;
    std::string guid;
    error = launch(service, clientName, outsider, &request, own, server, guid);
    if (error.IsError()) return error;

    const int instancePort = own->port();
    {
        // The instance cannot have ended yet: only this thread ends instances while the listener runs.
        CHubMutexLock lock(m_mutex);
        if (auto it = m_instances.find(guid); it != m_instances.end()) it->second.own = std::move(own);
    }
    // Also reachable by its GUID through this machine's listener.
    m_listener.attach(guid, server);
    details.setstring(Details::f::serviceName, service);
    details.setstring(Details::f::guid, guid);
    details.setint64(Details::f::instancePort, instancePort);
    details.setint64(Details::f::zydPort, zydPort);
    return CUxError::Success();
}

void CZydLauncher::ended(const std::string& guid) {
    {
        CHubMutexLock lock(m_mutex);
        auto it = m_instances.find(guid);
        if (it == m_instances.end()) return;  // being ended already
        it->second.ended = true;
    }
    m_wake();
}

zynet::Deadline CZydLauncher::reap() {
    const zynet::Deadline now = m_listener.clock().steadyNow();
    zynet::Deadline next = zynet::Deadline::max();
    std::vector<TInstance> done;
    {
        CHubMutexLock lock(m_mutex);
        for (auto it = m_instances.begin(); it != m_instances.end();) {
            TInstance& instance = it->second;
            if (!instance.ended && now >= instance.unusedUntil) {
                if (instance.server->CloseIfUnused()) {
                    zynet::logDebug(1, "instance %s was never reached; ended", it->first.c_str());
                    instance.ended = true;
                } else {
                    instance.unusedUntil = zynet::Deadline::max();  // its sessions decide now
                }
            }
            if (instance.ended) {
                m_finishing.insert(it->first);
                done.push_back(std::move(instance));
                it = m_instances.erase(it);
                continue;
            }
            next = std::min(next, instance.unusedUntil);
            ++it;
        }
    }
    for (TInstance& instance : done) finish(instance);
    return next;
}

void CZydLauncher::endAll() {
    std::map<std::string, TInstance> all;
    {
        CHubMutexLock lock(m_mutex);
        all.swap(m_instances);
        for (const auto& entry : all) m_finishing.insert(entry.first);
    }
    for (auto& [guid, instance] : all) finish(instance);
}

void CZydLauncher::finish(TInstance& instance) {
    m_listener.detach(instance.server.get());
    const std::string name = instance.server->GetName();
    instance.server.reset();
    instance.own.reset();
    zynet::logDebug(1, "instance %s ended", name.c_str());
    {
        CHubMutexLock lock(m_mutex);
        m_finishing.erase(name);
        if (instance.outsider) --m_outsiders;
    }
    m_finished.notify_all();
}

#include "platform/net/zynetwork_server.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/log/evdebug.h"
#include "platform/log/peerlog.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_xml.h"
#include "platform/threads/processrest.h"
#include "platform/threads/threadresources.h"

namespace {

std::atomic<long long> g_nextHandle{0};

// A message whose first bytes came this recently is on its way, not held back: its session is not closed
// for a newcomer. Past it (a caller that sends a byte at a time) it is.
constexpr std::chrono::seconds kMessageUnderWay{1};

// Anonymous callers' messages decoded at once in this process: decoding costs a multiple of a
// frame's size, and no crowd of outsiders may multiply that before its requests are judged.
class CDecodeSlots {
public:
    void take() {
        CHubMutexLock lock(m_mutex);
        lock.wait(m_free, [this]() REQUIRES(m_mutex) {
            return m_busy < std::max(1u, zynet::options().anonymousDecodesAtOnce);
        });
        ++m_busy;
    }
    void give() {
        {
            CHubMutexLock lock(m_mutex);
            --m_busy;
        }
        m_free.notify_one();
    }

private:
    CHubMutex m_mutex;
    std::condition_variable m_free;
    unsigned m_busy GUARDED_BY(m_mutex) = 0;
};

CDecodeSlots& decodeSlots() {
    static CDecodeSlots slots;
    return slots;
}

// What a received message costs until its callback returns: its frame, and what decoding makes of it
// (an XML message's element tree and fields take many times its text; an XDR record about its size).
uint64_t heldCost(zynet::FrameKind kind, uint32_t length) {
    constexpr uint64_t kXmlDecodedPerByte = 16, kXdrDecodedPerByte = 2, kFixed = 4096;
    return kFixed +
           uint64_t{length} * (kind == zynet::FrameKind::Xml ? kXmlDecodedPerByte : kXdrDecodedPerByte);
}

// Gives a taken share of the budget back when the message it paid for is done with, however that ends.
class CHeldShare {
public:
    CHeldShare() = default;
    CHeldShare(const CHeldShare&) = delete;
    CHeldShare& operator=(const CHeldShare&) = delete;
    ~CHeldShare() {
        if (m_bytes) zynet::outsidersHeld().give(m_bytes);
    }
    bool take(uint64_t bytes, bool small) {
        // The slots bound how many messages are decoded at a time, this how many live (decoded, being
        // answered); one that does not fit is refused, not queued: a queue would hold the same bytes.
        if (!zynet::outsidersHeld().take(bytes, small)) return false;
        m_bytes = bytes;
        return true;
    }

private:
    uint64_t m_bytes = 0;
};

}  // namespace

CZyNetworkServer::CZyNetworkServer(XdrCallback xdrCallback, XmlCallback xmlCallback, const char* name,
                                   CSessionPort& port)
    : m_xdrCallback(xdrCallback),
      m_xmlCallback(xmlCallback),
      m_name(name ? name : ""),
      m_role(port.GetPort() != 0 ? ListenerRole::Own : ListenerRole::Machine),
      m_listener(m_role == ListenerRole::Own ? CZydListener::create() : CZydListener::machineListener()),
      m_listenPort(port.GetPort() != 0 ? port.GetPort() : zynet::options().listenPort) {
    m_attached = m_listener->attach(m_name, this);
    if (!m_attached)
        zynet::logError("network server [%s]: the name is already served on this listener", m_name.c_str());
}

CZyNetworkServer::CZyNetworkServer(XdrCallback xdrCallback, XmlCallback xmlCallback, const char* name,
                                   std::shared_ptr<CZydListener> listener)
    : m_xdrCallback(xdrCallback),
      m_xmlCallback(xmlCallback),
      m_name(name ? name : ""),
      m_role(ListenerRole::Given),
      m_listener(std::move(listener)),
      m_listenPort(0) {
    m_attached = m_listener->attach(m_name, this);
    if (!m_attached)
        zynet::logError("network server [%s]: the name is already served on this listener", m_name.c_str());
}

CZyNetworkServer::~CZyNetworkServer() {
    ignoreResult(Quit(true, true), "stopping: nothing is left to do when it fails");
    // A connection whose callback called Quit is joined here, after it has returned.
    std::vector<std::thread> threads;
    {
        CHubMutexLock lock(m_mutex);
        lock.wait(m_changed, [this]() REQUIRES(m_mutex) { return m_threads.empty(); });
        threads.swap(m_finished);
        m_connections.clear();
    }
    for (std::thread& thread : threads) thread.join();
}

int CZyNetworkServer::GetPort() const {
    return m_listener->port();
}

CUxError CZyNetworkServer::SelectData(int, int, int) {
    {
        CHubMutexLock starting(m_listenerMutex);
        // The outcome of the start, told once to whoever waits on Listening.
        auto started = [this](const CUxError& outcome) REQUIRES(m_listenerMutex) {
            if (!m_listenedSet) m_listened.set_value(outcome);
            m_listenedSet = true;
        };
        if (!m_attached) {
            CUxError error = zynet::makeError(ZYNET_E_BAD_ARGUMENT, "CZyNetworkServer::SelectData",
                                              "service [" + m_name + "] is served by another server");
            started(error);
            return error;
        }
        bool quitting = false;
        {
            CHubMutexLock lock(m_mutex);
            quitting = m_quitting;
        }
        if (quitting) {
            started(zynet::makeError(ZYNET_E_BAD_ARGUMENT, "CZyNetworkServer::SelectData",
                                     "service [" + m_name + "] quit before it listened"));
            return CUxError::Success();
        }
        if (!m_listener->running()) {
            CUxError error = m_listener->start(m_listenPort);
            started(error);
            if (error.IsError()) return error;
        }
        started(CUxError::Success());
    }
    CHubMutexLock lock(m_mutex);
    lock.wait(m_changed, [this]() REQUIRES(m_mutex) { return m_quit; });
    return CUxError::Success();
}

CUxError CZyNetworkServer::Quit(bool, bool) {
    {
        CHubMutexLock stopping(m_listenerMutex);
        {
            CHubMutexLock lock(m_mutex);
            if (m_quitting) return CUxError::Success();
            m_quitting = true;
        }
        // From now on the listener hands nothing more to this server.
        if (m_attached) {
            const bool lastServer = m_listener->detach(this);
            if (m_role == ListenerRole::Own || (m_role == ListenerRole::Machine && lastServer))
                m_listener->stop();
        }
    }

    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::thread> threads;
    size_t open = 0;
    {
        CHubMutexLock lock(m_mutex);
        for (auto& [handle, connection] : m_connections) {
            if (!connection.ended && connection.session->IsConnected()) ++open;
            if (!connection.ended) connection.session->shutdown();
        }
        for (TParked* parked : m_parked) parked->wake.notify_one();
        m_changed.notify_all();  // callers waiting in line for a place
        // A callback that quits its own server is not waited for: it is still running this. Every
        // other thread has ended when Quit returns, parked ones included.
        lock.wait(m_changed, [this, self]() REQUIRES(m_mutex) {
            return std::all_of(m_connections.begin(), m_connections.end(),
                               [self](const auto& entry) {
                                   return entry.second.ended || entry.second.thread == self;
                               }) &&
                   std::all_of(m_threads.begin(), m_threads.end(),
                               [self](const auto& entry) { return entry.first == self; });
        });
        threads.swap(m_finished);
        m_quit = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : threads) thread.join();
    zynet::logDebug(0, "network server [%s] quit: its %zu open session(s) were closed", m_name.c_str(), open);
    return CUxError::Success();
}

CUxError CZyNetworkServer::adopt(zynet::CSocket& socket, const CZyNetwork::TPeer& peer,
                                 const uint8_t* pending, size_t pendingSize) {
    joinFinished();
    // Set up before the lock: a session's receive lock is never taken under the server's (deliver takes
    // them the other way round). Given the connection only once there is room for it, so that a refusal
    // leaves the connection with the listener to answer.
    auto session = std::make_shared<CZyNetwork>(m_listener->clock());
    session->prepare(peer, pending, pendingSize);
    CHubMutexLock lock(m_mutex);
    if (m_quitting || m_closed) return zynet::makeError(ZYNET_E_STOPPED, "CZyNetworkServer::adopt", m_name);
    const TZyNetOptions& o = zynet::options();
    const bool anonymous = !peer.trusted && !peer.proven;
    bool onTrial = false, waiting = false;
    if (!peer.trusted) {
        // Behind those already in line of its kind, the first come the first served; with none there, a
        // place now if one can be made, else in line while the line has room.
        size_t inLine = 0, inLineHere = 0;
        for (long long handle : m_line) {
            const TConnection& c = m_connections[handle];
            if (c.anonymous != anonymous) continue;
            ++inLine;
            inLineHere += anonymous ? c.address == peer.address : c.name == peer.clientName;
        }
        waiting = inLine > 0 || makeRoomForOutsider(peer, onTrial) != Room::Made;
        if (waiting && (o.outsiderWaitSeconds <= 0 ||
                        inLine >= (anonymous ? o.maxAnonymousConnections : o.maxClientMachineConnections) ||
                        inLineHere >= (anonymous ? o.maxAnonymousPerAddress : o.maxOutsiderPerName)))
            return zynet::makeError(ZYNET_E_REFUSED, "CZyNetworkServer::adopt", tooManyOutsiders());
    }
    // The infrastructure always finds room: outsiders hold only their share of the slots, and one of
    // them gives way when every slot is taken.
    if (static_cast<size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const auto& entry) { return holdsPlace(entry.second); })) >=
            o.maxConnections &&
        !waiting) {
        std::vector<long long> victims;
        if (!pickIdleOutsider([](const TConnection&) { return true; }, victims, peer.trusted))
            return zynet::makeError(ZYNET_E_REFUSED, "CZyNetworkServer::adopt",
                                    "too many connections to " + m_name);
        evict(victims, ("all " + std::to_string(o.maxConnections) + " connections are taken").c_str());
    }

    m_hadConnection = true;
    session->adopt(std::move(socket));
    const long long handle = ++g_nextHandle;
    TConnection& connection = m_connections[handle];
    connection.session = session;
    connection.idleSince = m_listener->clock().steadyNow();
    connection.outsider = !peer.trusted;
    connection.anonymous = anonymous;
    connection.onTrial = onTrial;
    connection.waiting = waiting;
    connection.address = peer.address;
    if (peer.proven) connection.name = peer.clientName;
    if (waiting) {
        m_line.push_back(handle);
        // A newcomer of another address or name than those at the front may have a place now.
        admitWaiting();
    }
    if (!m_parked.empty()) {
        // The thread that waited least: the likeliest to still have its caches warm.
        TParked* parked = m_parked.back();
        m_parked.pop_back();
        parked->handle = handle;
        parked->session = session;
        connection.thread = parked->thread;
        parked->wake.notify_one();
        return CUxError::Success();
    }
    // The process is busy while a server's thread lives (it lets go as it ends).
    holdProcessBusy();
    std::thread thread;
    try {
        thread = std::thread(&CZyNetworkServer::runThread, this, handle, session);
    } catch (...) {
        releaseProcessBusy();
        throw;
    }
    connection.thread = thread.get_id();
    m_threads.emplace(thread.get_id(), std::move(thread));
    return CUxError::Success();
}

bool CZyNetworkServer::pickIdleOutsider(const std::function<bool(const TConnection&)>& which,
                                        std::vector<long long>& taken, bool forInfrastructure) const {
    // One with a message under way (read, being read, or waiting to be) is no idle caller: closing it
    // would cut a request that came in good time; nor is one that has sent nothing yet within its
    // first-message limit since its welcome (an anonymous caller's thread closes it when that passes): a
    // console on a busy machine may take most of it. Of the rest, one whose token was refused goes first,
    // then the one that has waited longest with nothing under way.
    const auto now = m_listener->clock().steadyNow();
    const auto isTaken = [&taken](long long handle) {
        return std::find(taken.begin(), taken.end(), handle) != taken.end();
    };
    // The sessions each user's accepted token holds (those taken already no longer): while a user holds
    // no more than the bound, they keep their places.
    std::map<int, size_t> ofUser;
    for (const auto& [handle, c] : m_connections)
        if (c.anonymous && holdsPlace(c) && c.token.verdict == zynet::TCallerToken::Verdict::Accepted &&
            !isTaken(handle))
            ++ofUser[c.token.userId];
    const size_t perUser = zynet::options().maxAnonymousPerUser;
    const auto firstMessage = std::chrono::seconds(zynet::options().anonymousFirstFrameSeconds);
    struct TCandidate {
        int order;  // 0: its token refused; 1: idle; 2: kept but for the infrastructure
        CHubClock::Steady::time_point since;
        long long handle;
        const TConnection* connection;
        bool operator<(const TCandidate& other) const {
            return order != other.order ? order < other.order : since < other.since;
        }
    };
    std::vector<TCandidate> candidates;
    for (const auto& [handle, c] : m_connections) {
        if (!c.outsider || !holdsPlace(c) || c.busy || !which(c) || isTaken(handle)) continue;
        int order = 1;
        if (c.token.verdict == zynet::TCallerToken::Verdict::Refused) {
            order = 0;
        } else {
            const bool silent =
                !c.asked && !c.session->messageBegun() && (!c.welcomed || now - c.idleSince < firstMessage);
            const bool usersOwn = c.anonymous && c.token.verdict == zynet::TCallerToken::Verdict::Accepted &&
                                  ofUser[c.token.userId] <= perUser;
            if (silent || usersOwn) {
                if (!forInfrastructure) continue;
                order = 2;
            }
        }
        candidates.push_back({order, c.idleSince, handle, &c});
    }
    // What the peers are doing is asked of the likeliest first, not of every session (each asks the
    // system), so that a newcomer costs little under a crowd.
    std::sort(candidates.begin(), candidates.end());
    for (const TCandidate& candidate : candidates) {
        if (candidate.connection->session->activity(now, kMessageUnderWay) == CZyNetwork::Activity::Message)
            continue;
        taken.push_back(candidate.handle);
        return true;
    }
    return false;
}

void CZyNetworkServer::evict(const std::vector<long long>& victims, const char* full) {
    const auto now = m_listener->clock().steadyNow();
    for (long long victim : victims) {
        TConnection& c = m_connections[victim];
        const bool gone = c.session->activity(now, kMessageUnderWay) == CZyNetwork::Activity::Gone;
        c.evicted = true;
        c.session->shutdown();
        // Counted against the caller that gave way, as its own lines are.
        zylog::CPeerScope scope(c.session->m_peer.outsiderKey(), c.session->m_peer.proven);
        zynet::logDebug(0,
                        "[%s]: session %lld of a caller outside the infrastructure ([%s] %s), %s %lld ms, "
                        "closed for a newer one: %s",
                        m_name.c_str(), victim, c.name.c_str(), c.address.c_str(),
                        gone ? "left by its caller, idle for" : "idle for",
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(now - c.idleSince).count()),
                        full);
    }
}

size_t CZyNetworkServer::anonymousWithoutToken() const {
    return static_cast<size_t>(std::count_if(m_connections.begin(), m_connections.end(), [](const auto& e) {
        const TConnection& c = e.second;
        return c.anonymous && holdsPlace(c) && !c.onTrial &&
               c.token.verdict != zynet::TCallerToken::Verdict::Accepted;
    }));
}

std::string CZyNetworkServer::withoutTokenFull(size_t count) {
    return std::to_string(count) +
           " sessions of callers without a certificate or an accepted token (at most " +
           std::to_string(zynet::options().maxAnonymousWithoutToken) + ")";
}

size_t CZyNetworkServer::sessionsOfUser(int userId) const {
    return static_cast<size_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [userId](const auto& e) {
            const TConnection& c = e.second;
            return c.anonymous && holdsPlace(c) &&
                   c.token.verdict == zynet::TCallerToken::Verdict::Accepted && c.token.userId == userId;
        }));
}

CZyNetworkServer::Room CZyNetworkServer::makeRoomForOutsider(const CZyNetwork::TPeer& peer, bool& onTrial) {
    const TZyNetOptions& o = zynet::options();
    onTrial = false;
    // Callers without a certificate and client machines each have a share of their own, so that a crowd
    // of either kind cannot take the other's places. A client machine's certificate proves its name: its
    // sessions are counted by that name too, so one machine cannot fill the share from several
    // addresses, nor a console of another be shut out by it; an anonymous caller is counted by address.
    const bool anonymous = !peer.proven;
    size_t share = 0, here = 0, named = 0;
    for (const auto& [handle, c] : m_connections) {
        if (!c.outsider || !holdsPlace(c) || c.anonymous != anonymous) continue;
        ++share;
        here += anonymous && c.address == peer.address;
        named += !anonymous && c.name == peer.clientName;
    }
    const unsigned most = anonymous ? o.maxAnonymousConnections : o.maxClientMachineConnections;
    const bool addressFull = anonymous && here >= o.maxAnonymousPerAddress;
    const bool nameFull = !anonymous && named >= o.maxOutsiderPerName;
    const bool shareFull = share >= most;
    const auto ofKind = [anonymous](const TConnection& c) { return c.anonymous == anonymous; };
    std::vector<long long> victims;
    if (addressFull || nameFull || shareFull) {
        // A caller that keeps a session open doing nothing gives way to one that has come to ask: one of
        // the full count, any of its share when only the share is full.
        const auto ofFullCount = [&](const TConnection& c) {
            return ofKind(c) && (addressFull ? c.address == peer.address
                                 : nameFull  ? c.name == peer.clientName
                                             : true);
        };
        if (!pickIdleOutsider(ofFullCount, victims))
            return addressFull || nameFull ? Room::NotForThisCaller : Room::None;
        const std::string full =
            addressFull ? std::to_string(here) + " sessions from " + peer.address + " (at most " +
                              std::to_string(o.maxAnonymousPerAddress) + ")"
            : nameFull ? std::to_string(named) + " sessions proven to be [" + peer.clientName +
                             "] (at most " + std::to_string(o.maxOutsiderPerName) + ")"
            : anonymous ? std::to_string(share) + " sessions of callers without a certificate (at most " +
                              std::to_string(most) + ")"
                        : std::to_string(share) + " sessions of client machines (at most " +
                              std::to_string(most) + ")";
        evict(victims, full.c_str());
    }
    if (!anonymous) return Room::Made;
    // Of the anonymous share, callers whose token was not (yet) accepted hold at most a part: one of them
    // gives way to the newcomer, else the newcomer comes in on trial, to be closed once answered unless its
    // token was accepted (the rest of the share is kept for callers that show theirs). The newcomer has a
    // place either way.
    const size_t withoutToken = anonymousWithoutToken();
    if (withoutToken < o.maxAnonymousWithoutToken) return Room::Made;
    victims.clear();
    const auto withoutTokenNotOnTrial = [&](const TConnection& c) {
        return ofKind(c) && !c.onTrial && c.token.verdict != zynet::TCallerToken::Verdict::Accepted;
    };
    if (pickIdleOutsider(withoutTokenNotOnTrial, victims)) {
        evict(victims, withoutTokenFull(withoutToken).c_str());
        return Room::Made;
    }
    onTrial = true;
    return Room::Made;
}

void CZyNetworkServer::admitWaiting() {
    if (m_line.empty()) return;
    // Every slot taken: the line waits for one to free (the infrastructure's own newcomers make theirs).
    if (static_cast<size_t>(std::count_if(m_connections.begin(), m_connections.end(), [](const auto& entry) {
            return holdsPlace(entry.second);
        })) >= zynet::options().maxConnections)
        return;
    // Once a kind's share has nothing to give, nobody more of that kind gets in on this pass; once an
    // address's (or name's) count has nothing, nobody more of it.
    bool kindFull[2] = {false, false};
    std::vector<std::string> fullHere;
    bool admitted = false;
    const auto now = m_listener->clock().steadyNow();
    for (auto it = m_line.begin(); it != m_line.end();) {
        TConnection& c = m_connections[*it];
        const std::string& here = c.anonymous ? c.address : c.name;
        if (kindFull[c.anonymous] || std::find(fullHere.begin(), fullHere.end(), here) != fullHere.end()) {
            ++it;
            continue;
        }
        bool onTrial = false;
        switch (makeRoomForOutsider(c.session->m_peer, onTrial)) {
            case Room::Made:
                c.waiting = false;
                c.onTrial = onTrial;
                c.idleSince = now;
                it = m_line.erase(it);
                admitted = true;
                continue;
            case Room::NotForThisCaller:
                fullHere.push_back(here);
                break;
            case Room::None:
                kindFull[c.anonymous] = true;
                break;
        }
        ++it;
    }
    if (admitted) m_changed.notify_all();
}

bool CZyNetworkServer::awaitPlace(long long handle) {
    // Rechecked this often by the first in line: a place may come free with time alone (a message under
    // way so long it no longer counts as one).
    constexpr std::chrono::milliseconds kRecheck{250};
    const CHubClock& clock = m_listener->clock();
    CHubMutexLock lock(m_mutex);
    const auto waiting = [this, handle]() REQUIRES(m_mutex) { return m_connections[handle].waiting; };
    if (!waiting()) return true;
    const auto start = clock.steadyNow();
    const auto deadline = start + std::chrono::seconds(zynet::options().outsiderWaitSeconds);
    while (waiting() && !m_quitting) {
        if (m_line.front() == handle) admitWaiting();
        const auto now = clock.steadyNow();
        if (!waiting() || now >= deadline) break;
        clock.waitUntil(lock, m_changed, std::min(deadline, now + kRecheck),
                        [&]() REQUIRES(m_mutex) { return !waiting() || m_quitting; });
    }
    if (!waiting()) return true;
    std::erase(m_line, handle);
    if (m_quitting) return false;  // said by Quit
    const TConnection& c = m_connections[handle];
    zynet::logDebug(
        0,
        "[%s]: session %lld of a caller outside the infrastructure ([%s] %s) waited %lld ms in line "
        "and found no place; refused",
        m_name.c_str(), handle, c.name.c_str(), c.address.c_str(),
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(clock.steadyNow() - start).count()));
    return false;
}

bool CZyNetworkServer::answered(long long handle, const zynet::TCallerToken& told) {
    CHubMutexLock lock(m_mutex);
    auto it = m_connections.find(handle);
    if (it == m_connections.end()) return true;
    TConnection& c = it->second;
    c.busy = false;
    c.idleSince = m_listener->clock().steadyNow();
    // A message whose token was judged says what the caller is now; one that showed none leaves it.
    if (told.verdict != zynet::TCallerToken::Verdict::None) c.token = told;
    bool stays = true;
    if (c.onTrial) {
        const size_t withoutToken = anonymousWithoutToken();
        const bool accepted = c.token.verdict == zynet::TCallerToken::Verdict::Accepted;
        const size_t ofUser = accepted ? sessionsOfUser(c.token.userId) : 0;
        if ((accepted && ofUser <= zynet::options().maxAnonymousPerUser) ||
            withoutToken < zynet::options().maxAnonymousWithoutToken) {
            c.onTrial = false;
        } else {
            c.evicted = true;
            stays = false;
            const std::string why = accepted
                                        ? "its user holds " + std::to_string(ofUser) + " sessions (at most " +
                                              std::to_string(zynet::options().maxAnonymousPerUser) + ")"
                                        : std::string("had no token accepted");
            zynet::logDebug(0,
                            "[%s]: session %lld of a caller without a certificate (%s), let in while %s, %s; "
                            "closed once answered",
                            m_name.c_str(), handle, c.address.c_str(), withoutTokenFull(withoutToken).c_str(),
                            why.c_str());
        }
    }
    // Idle now, or closed: a caller in line may have its place.
    admitWaiting();
    return stays;
}

void CZyNetworkServer::setBusy(long long handle) {
    CHubMutexLock lock(m_mutex);
    if (auto it = m_connections.find(handle); it != m_connections.end())
        it->second.busy = it->second.asked = true;
}

bool CZyNetworkServer::WaitForRest(size_t parked, int seconds) {
    CHubMutexLock lock(m_mutex);
    return lock.waitFor(m_changed, std::chrono::seconds(seconds), [&]() REQUIRES(m_mutex) {
        return m_parked.size() == parked && m_threads.size() == parked;
    });
}

void CZyNetworkServer::runThread(long long handle, std::shared_ptr<CZyNetwork> session) {
    TParked parked;
    parked.thread = std::this_thread::get_id();
    std::vector<std::thread> ended;  // threads that ended before this one, joined by it as it ends
    for (;;) {
        serve(handle, std::move(session));
        // What the work of its session left with this thread (its database connection) is not kept
        // while it waits for the next one, nor after it ends.
        releaseThreadResources();
        CHubMutexLock lock(m_mutex);
        const auto& o = zynet::options();
        bool next = !m_quitting && !m_closed && m_parked.size() < o.parkedThreads;
        if (next) {
            parked.handle = 0;
            m_parked.push_back(&parked);
            m_changed.notify_all();
            lock.waitFor(parked.wake, std::chrono::seconds(o.parkedSeconds),
                         [&]() REQUIRES(m_mutex) { return parked.handle != 0 || m_quitting; });
            next = parked.handle != 0;  // adopt took it off the list when it gave it a connection
            if (!next) std::erase(m_parked, &parked);
        }
        if (!next) {
            // An ended thread keeps its stack until it is joined: each ending thread joins those that
            // ended before it, so a server gone quiet keeps only the last one's, which the next adopt,
            // Quit or the destructor joins. (Never the other way round: no two wait for each other.)
            ended.swap(m_finished);
            auto self = m_threads.find(parked.thread);
            m_finished.push_back(std::move(self->second));
            m_threads.erase(self);
            break;
        }
        handle = parked.handle;
        session = std::move(parked.session);
    }
    m_changed.notify_all();
    for (std::thread& thread : ended) thread.join();
    releaseProcessBusy();
}

void CZyNetworkServer::serve(long long handle, std::shared_ptr<CZyNetwork> session) {
    // An outsider's lines, from its messages to its disconnect, are its own to count (see peerlog.h); once
    // a message's token is accepted, its user's.
    zylog::CPeerScope scope(session->m_peer.outsiderKey(), session->m_peer.proven,
                            &zynet::acceptedCallerToken);
    // A caller that waited in line for a place and found none is told so, as one refused at the door is.
    const bool placed = awaitPlace(handle);
    const std::vector<uint8_t> payload =
        placed ? zynet::welcomeBytes() : zynet::refusalBytes(ZYNET_E_REFUSED, tooManyOutsiders());
    bool timedOut = false;
    const CUxError opened = session->sendFrame(
        zynet::FrameKind::Control, placed ? zynet::kWelcome : zynet::kRefused, payload.data(), payload.size(),
        zynet::options().connectSeconds, timedOut, "CZyNetworkServer::serve");
    if (placed && !opened.IsError()) {
        {
            // Its first-message limit runs from here, as its first receive's does.
            CHubMutexLock lock(m_mutex);
            TConnection& c = m_connections[handle];
            c.welcomed = true;
            c.idleSince = m_listener->clock().steadyNow();
        }
        zynet::logDebug(2, "[%s]: session %lld from %s opened", m_name.c_str(), handle,
                        session->m_peer.clientName.c_str());
        bool first = true;
        while (deliver(handle, *session, first)) first = false;
    } else if (placed && timedOut) {
        // A peer that left first closed it, and so did an eviction or the server's quit (said there).
        zynet::logDebug(0, "[%s]: session %lld of [%s] (%s) did not take its welcome within %d s; closed",
                        m_name.c_str(), handle, session->m_peer.clientName.c_str(),
                        session->m_peer.address.c_str(), zynet::options().connectSeconds);
    }

    if (session->m_state == CZyNetwork::State::Closing)
        session->lingerClose();
    else
        session->shutdown();
    // A session that never had a place was never the service's.
    if (m_xdrCallback && placed) {
        try {
            m_xdrCallback(ZYN_CALLBACK_DISCONNECTED, this, handle, 0, nullptr);
        } catch (...) {
            zynet::logError("[%s]: the disconnect callback of session %lld threw", m_name.c_str(), handle);
        }
    }

    std::function<void()> ended;
    {
        CHubMutexLock lock(m_mutex);
        auto it = m_connections.find(handle);
        it->second.ended = true;
        if (it->second.lent == 0) m_connections.erase(it);
        // Its place is free: the first in line that it can serve takes it.
        admitWaiting();
        // Closed under the same lock that adopt takes: no connection slips in after the last one.
        if (m_ended && !m_closed &&
            std::none_of(m_connections.begin(), m_connections.end(),
                         [](const auto& entry) { return !entry.second.ended; })) {
            m_closed = true;
            ended = m_ended;
        }
    }
    m_changed.notify_all();
    if (ended) ended();
}

void CZyNetworkServer::EndWithLastConnection(std::function<void()> ended) {
    CHubMutexLock lock(m_mutex);
    m_ended = std::move(ended);
}

bool CZyNetworkServer::CloseIfUnused() {
    CHubMutexLock lock(m_mutex);
    if (m_hadConnection) return false;
    m_closed = true;
    return true;
}

bool CZyNetworkServer::deliver(long long handle, CZyNetwork& session, bool first) {
    static const char* const kFunction = "CZyNetworkServer::deliver";
    // Declared first: the share is given back after the message and its decoded data are gone.
    CHeldShare held;
    std::unique_ptr<CNMessageBase> message;
    zynet::TReceivedXml received;  // a message of the relay's tag, with its text
    bool relayed = false;
    zysDatabuf_v2 data;
    zynet::FrameKind kind;
    uint32_t code;
    // A client machine's certificate proves its name, not that its sessions and messages may cost what
    // the infrastructure's may.
    const bool limited = !session.m_peer.trusted;
    {
        CHubMutexLock lock(session.m_receiveMutex);
        zynet::TFrame frame;
        bool timedOut = false;
        // An outsider has a few seconds for its first message, and a shorter idle limit.
        // A client machine keeps sessions it opened ahead of its requests (on a slow host its last may wait
        // long for its turn): past the first-message limit they are idle ones, given up to a newcomer of
        // its kind when its count is full (see pickIdleOutsider), and closed at the idle limit.
        const bool anonymous = limited && !session.m_peer.proven;
        const int idle = !limited             ? zynet::options().idleSeconds
                         : first && anonymous ? zynet::options().anonymousFirstFrameSeconds
                                              : zynet::options().anonymousIdleSeconds;
        CUxError error =
            session.receiveFrame(frame, zynet::deadlineIn(idle, session.m_clock), timedOut, kFunction);
        if (error.IsError()) {
            if (timedOut)
                zynet::logDebug(0, "[%s]: session %lld of [%s] (%s) sent %s for %d s; closed", m_name.c_str(),
                                handle, session.m_peer.clientName.c_str(), session.m_peer.address.c_str(),
                                first ? "no first message" : "nothing more", idle);
            return false;
        }
        kind = frame.kind;
        code = frame.code;
        // From here to the callback's end the session has a message under way, not an idle one.
        if (limited) setBusy(handle);
        if (kind == zynet::FrameKind::Control) {
            ignoreResult(session.breakOff(ZYNET_E_BAD_FRAME, kFunction, "control frame inside a session"),
                         "the error stays on the session for its caller");
            return false;
        }
        if (limited && !held.take(heldCost(kind, frame.length),
                                  frame.length <= zynet::options().anonymousSmallMessageBytes)) {
            zynet::logOutsider(session.m_peer.address,
                               "a message of %s does not fit in what callers outside the infrastructure may "
                               "hold at once%s; session closed",
                               " (" + std::to_string(frame.length) + " bytes)");
            ignoreResult(
                session.breakOff(ZYNET_E_REFUSED, kFunction,
                                 "callers outside the infrastructure hold as much memory as they may"),
                "the error stays on the session for its caller");
            return false;
        }
        if (kind == zynet::FrameKind::Xml) {
            std::string why;
            if (limited) decodeSlots().take();
            relayed = m_relayCallback != nullptr && m_skim.tag != 0 && code == m_skim.tag;
            bool read = false;
            if (relayed) {
                read = zynet::messageFromXml(m_skim, frame.payload, frame.length, received, why);
            } else {
                message.reset(zynet::messageFromXml(code, frame.payload, frame.length, why));
                read = message != nullptr;
            }
            if (limited) decodeSlots().give();
            if (!read) {
                ignoreResult(session.breakOff(ZYNET_E_BAD_PAYLOAD, kFunction, why),
                             "the error stays on the session for its caller");
                return false;
            }
        } else if (session.decodeXdr(frame, &data, kFunction).IsError()) {
            return false;
        }
    }

    bool threw = false;
    // What the token checks the callback runs come to (see zynet::tellCallerToken).
    zynet::CCallerTokenScope token;
    try {
        if (kind == zynet::FrameKind::Xml) {
            if (relayed)
                m_relayCallback(ZYN_CALLBACK_MESSAGE, this, handle, received);
            else if (m_xmlCallback)
                m_xmlCallback(ZYN_CALLBACK_MESSAGE, this, handle, message.release());
        } else if (m_xdrCallback) {
            m_xdrCallback(ZYN_CALLBACK_MESSAGE, this, handle, code, &data);
        }
    } catch (...) {
        zynet::logError("[%s]: a callback threw on message 0x%08x of session %lld; session closed",
                        m_name.c_str(), code, handle);
        threw = true;
    }
    // A caller let in on trial has had its answer.
    if (limited && !answered(handle, token.told())) return false;
    if (limited) {
        // What an outsider's big message took is not kept while its session idles, nor what its
        // request took of this thread (its database connection): idle outsiders hold none of them.
        constexpr size_t kKeptReceiveBytes = 64u << 10;
        releaseThreadResources();
        CHubMutexLock lock(session.m_receiveMutex);
        session.m_assembler.shrink(kKeptReceiveBytes);
    }
    return !threw && session.IsConnected();
}

void CZyNetworkServer::joinFinished() {
    std::vector<std::thread> threads;
    {
        CHubMutexLock lock(m_mutex);
        threads.swap(m_finished);
    }
    for (std::thread& thread : threads) thread.join();
}

CUxError CZyNetworkServer::AcquireSession(long long handle, CZyNetwork** session) {
    if (session == nullptr)
        return zynet::makeError(ZYNET_E_BAD_ARGUMENT, "CZyNetworkServer::AcquireSession",
                                "no session pointer");
    CHubMutexLock lock(m_mutex);
    auto it = m_connections.find(handle);
    if (it == m_connections.end() || it->second.ended)
        return zynet::makeError(ZYNET_E_UNKNOWN_HANDLE, "CZyNetworkServer::AcquireSession",
                                std::to_string(handle));
    ++it->second.lent;
    *session = it->second.session.get();
    return CUxError::Success();
}

CUxError CZyNetworkServer::ReleaseSession(long long handle) {
    CHubMutexLock lock(m_mutex);
    auto it = m_connections.find(handle);
    if (it == m_connections.end() || it->second.lent == 0)
        return zynet::makeError(ZYNET_E_UNKNOWN_HANDLE, "CZyNetworkServer::ReleaseSession",
                                std::to_string(handle));
    if (--it->second.lent == 0 && it->second.ended) m_connections.erase(it);
    return CUxError::Success();
}

CZySessionLease::CZySessionLease(CZyNetworkServer* server, long long handle) : m_handle(handle) {
    if (server == nullptr) {
        m_acquired = zynet::makeError(ZYNET_E_BAD_ARGUMENT, "CZySessionLease", "no server");
        return;
    }
    CZyNetwork* session = nullptr;
    m_acquired = server->AcquireSession(handle, &session);
    if (m_acquired.IsError()) return;
    m_server = server;
    m_session = session;
}

CZySessionLease::CZySessionLease(CZySessionLease&& other) noexcept
    : m_server(std::exchange(other.m_server, nullptr)),
      m_handle(other.m_handle),
      m_session(std::exchange(other.m_session, nullptr)),
      m_acquired(other.m_acquired) {}

CZySessionLease& CZySessionLease::operator=(CZySessionLease&& other) noexcept {
    if (this != &other) {
        ignoreResult(release(), "the session this lease held is replaced; its handle goes back either way");
        m_server = std::exchange(other.m_server, nullptr);
        m_handle = other.m_handle;
        m_session = std::exchange(other.m_session, nullptr);
        m_acquired = other.m_acquired;
    }
    return *this;
}

CZySessionLease::~CZySessionLease() {
    ignoreResult(release(), "the handle goes back whatever became of the session");
}

CUxError CZySessionLease::release() {
    if (m_server == nullptr) return CUxError::Success();
    CZyNetworkServer* server = std::exchange(m_server, nullptr);
    m_session = nullptr;
    return server->ReleaseSession(m_handle);
}

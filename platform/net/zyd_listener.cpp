#include "platform/net/zyd_listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/log/peerlog.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_frame.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynet_xml.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubclock.h"

namespace {

// Openings in progress at once (shared out among the accept threads). When a thread's share is taken,
// a new connection takes the place of the oldest one that has sent nothing while such ones are at least
// half the share, else of the oldest one: a client whose handshake is under way is not pushed out by
// connections that send nothing, however fast they come, and a crowd that sends a byte at a time (or
// stops after its handshake) still gives way to newer connections, so neither kind locks clients out.
constexpr size_t kMaxOpenings = 256;
// Accept threads: a handshake costs far more than an accept, and a busy machine opens many sessions.
size_t acceptThreads() {
    return std::clamp<size_t>(std::thread::hardware_concurrency() / 2, 1, 4);
}
// Connections taken from the backlog per turn of the loop, so that openings already held are read
// between batches. With several threads each takes one: a connection taken is read (its handshake
// run) at once, and one that waits behind a batch on a busy thread could have gone to an idle one.
size_t acceptBatch(size_t threads) {
    return threads > 1 ? 1 : 16;
}
// How long an accept thread waits to send an answer to an opening; answers are small.
constexpr int kAnswerSeconds = 1;
// While the process cannot take a connection (its descriptors, or the system's, run out), the backlog is
// looked at again this much later rather than at once, again and again: the accept threads would spin.
constexpr std::chrono::milliseconds kAcceptAgain{100};
// And says so at most this often.
constexpr std::chrono::seconds kStarvedLines{10};

}  // namespace

struct CZydListener::TOpening {
    zynet::CSocket socket;
    zynet::CFrameAssembler assembler{zynet::kMaxOpeningBytes};
    zynet::Deadline deadline;
    std::string address;
    bool decided = false;    // TLS or plain is known (from the first byte)
    bool secured = false;    // the TLS handshake is done
    bool wantWrite = false;  // the handshake waits to send

    bool silent() const { return !decided && assembler.buffered() == 0; }  // nothing arrived yet
};

std::shared_ptr<CZydListener> CZydListener::create(const CHubClock& clock) {
    return std::shared_ptr<CZydListener>(new CZydListener(clock));
}

std::shared_ptr<CZydListener> CZydListener::machineListener() {
    static const std::shared_ptr<CZydListener> listener = create();
    return listener;
}

CZydListener::CZydListener(const CHubClock& clock)
    : m_clock(clock),
      m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_stopFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_launcher(std::make_unique<CZydLauncher>(*this, [this] { wake(); })) {}

CZydListener::~CZydListener() {
    stop();
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_stopFd >= 0) close(m_stopFd);
}

CUxError CZydListener::start(int port) {
    CHubMutexLock run(m_runMutex);
    if (!m_threads.empty()) return CUxError::Success();
    if (m_wakeFd < 0 || m_stopFd < 0)
        return zynet::makeError(ZYNET_E_SOCKET, "CZydListener::start", "no wake-up descriptor");
    std::string why;
    int bound = 0;
    zynet::CSocket socket = zynet::CSocket::listenOn(zynet::options().bindAddress, port, bound, why, m_clock);
    if (!socket.valid()) {
        zynet::logError("CZydListener::start: %s", why.c_str());
        return zynet::makeError(ZYNET_E_SOCKET, "CZydListener::start", why);
    }
    {
        CHubMutexLock lock(m_mutex);
        m_socket = std::move(socket);
        m_port = bound;
        m_stopping = false;
    }
    uint64_t drained;
    for (int fd : {m_wakeFd, m_stopFd})
        while (read(fd, &drained, sizeof(drained)) > 0) {
        }
    const size_t count = acceptThreads();
    for (size_t i = 0; i < count; ++i) m_threads.emplace_back(&CZydListener::acceptLoop, this, i, count);
    zynet::logDebug(1, "listener started on port %d", bound);
    return CUxError::Success();
}

void CZydListener::wake() {
    const uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof(one)) < 0) zynet::logDebug(3, "listener wake-up not written");
}

void CZydListener::stop() {
    CHubMutexLock run(m_runMutex);
    if (m_threads.empty()) return;
    {
        CHubMutexLock lock(m_mutex);
        m_stopping = true;
    }
    // Left set until the next start: every thread sees it, whichever polls first.
    const uint64_t one = 1;
    if (write(m_stopFd, &one, sizeof(one)) < 0) zynet::logDebug(3, "listener stop not written");
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
    m_launcher->endAll();
    CHubMutexLock lock(m_mutex);
    m_socket.close();
    zynet::logDebug(1, "listener on port %d stopped", m_port);
    m_port = 0;
}

bool CZydListener::running() const {
    CHubMutexLock lock(m_mutex);
    return m_socket.valid() && !m_stopping;
}

int CZydListener::port() const {
    CHubMutexLock lock(m_mutex);
    return m_port;
}

bool CZydListener::attach(const std::string& name, CZyNetworkServer* server) {
    CHubMutexLock lock(m_mutex);
    return m_servers.emplace(name, server).second;
}

bool CZydListener::detach(CZyNetworkServer* server) {
    CHubMutexLock lock(m_mutex);
    std::erase_if(m_servers, [server](const auto& entry) { return entry.second == server; });
    return m_servers.empty();
}

bool CZydListener::serves(const std::string& name, const CZyNetworkServer* server) const {
    CHubMutexLock lock(m_mutex);
    auto it = m_servers.find(name);
    return it != m_servers.end() && it->second == server;
}

bool CZydListener::registerLaunchable(const std::string& name, ZyLaunchFactory factory,
                                      ZyLaunchAdmission admission) {
    return m_launcher->registerService(name, std::move(factory), std::move(admission));
}

void CZydListener::unregisterLaunchable(const std::string& name) {
    m_launcher->unregisterService(name);
}

size_t CZydListener::launchedInstances() const {
    return m_launcher->instanceCount();
}

bool CZydListener::waitForLaunchedInstances(size_t count, std::chrono::milliseconds limit) const {
    return m_launcher->waitForInstances(count, limit);
}

void CZydListener::acceptLoop(size_t index, size_t count) {
    const bool reaper = index == 0;
    const size_t most = std::max<size_t>(1, kMaxOpenings / count);
    std::vector<TOpening> openings;
    std::vector<pollfd> fds;
    zynet::Deadline acceptAgain{};  // the backlog is left alone until then
    for (;;) {
        {
            CHubMutexLock lock(m_mutex);
            if (m_stopping) break;
        }
        fds.clear();
        const bool accepting = m_clock.steadyNow() >= acceptAgain;
        fds.push_back({accepting ? m_socket.fd() : -1, POLLIN, 0});
        fds.push_back({m_stopFd, POLLIN, 0});
        if (reaper) fds.push_back({m_wakeFd, POLLIN, 0});
        const size_t first = fds.size();
        // A clock that moves by jumps is read again soon.
        zynet::Deadline next = m_clock.steadyNow() + std::min<zynet::Clock::duration>(std::chrono::seconds(5),
                                                                                      m_clock.recheckEvery());
        if (reaper) {
            CHubMutexLock launching(m_launchMutex);
            next = std::min(next, m_launcher->reap());
        }
        if (!accepting) next = std::min(next, acceptAgain);
        for (const TOpening& opening : openings) {
            fds.push_back({opening.socket.fd(), static_cast<short>(opening.wantWrite ? POLLOUT : POLLIN), 0});
            next = std::min(next, opening.deadline);
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - m_clock.steadyNow()).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0) continue;

        std::vector<TOpening> still;
        for (size_t i = 0; i < openings.size(); ++i) {
            TOpening& opening = openings[i];
            if (fds[i + first].revents != 0 && !readOpening(opening)) continue;
            if (m_clock.steadyNow() >= opening.deadline) {
                zynet::logOutsider(opening.address,
                                   "connection from %s sent no whole opening in time%s; closed");
                continue;
            }
            still.push_back(std::move(opening));
        }
        openings = std::move(still);

        // The threads share the port: another may have taken the connection this one was woken for.
        if (fds[0].revents != 0 && !acceptSome(openings, most, acceptBatch(count)))
            acceptAgain = m_clock.steadyNow() + kAcceptAgain;
        if (reaper && fds[2].revents != 0) {
            uint64_t drained;
            while (read(m_wakeFd, &drained, sizeof(drained)) > 0) {
            }
        }
    }
}

bool CZydListener::acceptSome(std::vector<TOpening>& openings, size_t most, size_t batch) {
    const int seconds = zynet::options().openingSeconds;
    for (size_t taken = 0; taken < batch; ++taken) {
        int error = 0;
        zynet::CSocket accepted = m_socket.acceptOne(&error);
        if (!accepted.valid()) {
            if (error == 0) return true;
            const zynet::Clock::rep now = m_clock.steadyNow().time_since_epoch().count();
            zynet::Clock::rep said = m_starvedSaid.load();
            if (now - said >= std::chrono::duration_cast<zynet::Clock::duration>(kStarvedLines).count() &&
                m_starvedSaid.compare_exchange_strong(said, now))
                zynet::logError(
                    "listener on port %d cannot take a connection (%s): its callers wait in the "
                    "backlog",
                    port(), std::strerror(error));
            return false;
        }
        TOpening opening;
        opening.address = accepted.peerAddress();
        opening.socket = std::move(accepted);
        opening.deadline = zynet::deadlineIn(seconds, m_clock);
        // A client that sent its opening with the connection is served now, without taking a place.
        if (!readOpening(opening)) continue;
        if (openings.size() >= most) {
            // Openings are kept in the order they came: the first found is the oldest. While silent ones
            // are at least half the share, the oldest of them goes, so a crowd of them cannot push out a
            // handshake under way; else the oldest of all goes, so openings that send a byte at a time
            // give way before a connection just accepted, whose first bytes may not be read yet.
            const auto silentCount =
                std::count_if(openings.begin(), openings.end(), [](const auto& o) { return o.silent(); });
            auto victim = openings.begin();
            if (static_cast<size_t>(silentCount) * 2 >= openings.size())
                victim =
                    std::find_if(openings.begin(), openings.end(), [](const auto& o) { return o.silent(); });
            zynet::logOutsider(
                victim->address,
                "connection from %s gave way to a newer one before its opening was whole%s; closed");
            openings.erase(victim);
        }
        openings.push_back(std::move(opening));
    }
    return true;
}

bool CZydListener::secureOpening(TOpening& opening, bool& ready) {
    ready = false;
    if (!opening.decided) {
        uint8_t first = 0;
        const int peeked = opening.socket.peekByte(first);
        if (peeked <= 0) return peeked == 0;  // nothing yet, or the peer left
        opening.decided = true;
        if (first != zynet::kTlsHandshakeByte) {
            if (zynet::options().allowPlainSessions) {
                ready = true;
                return true;
            }
            // A plain client reads this refusal and can tell its user why; its line counts against its
            // address.
            zylog::CPeerScope scope(opening.address, false);
            refuse(opening,
                   zynet::makeError(ZYNET_E_SECURITY, "CZydListener::readOpening",
                                    "plain sessions are refused here: connect over TLS"),
                   "a plain session");
            return false;
        }
        std::string why;
        // A process that plays several machines serves as the one its options name.
        if (!opening.socket.startTls(zynet::serverContext(zynet::options().localClientName), true, why)) {
            zynet::logOutsider(opening.address,
                               "connection from %s asked for a secure session, which this "
                               "machine cannot serve without a certificate (%s); closed",
                               why);
            return false;
        }
    }
    if (!opening.secured) {
        std::string why;
        switch (opening.socket.handshakeStep(why, opening.wantWrite)) {
            case zynet::Io::Ok:
                opening.secured = true;
                opening.wantWrite = false;
                break;
            case zynet::Io::TimedOut:
                return true;
            default:
                zynet::logOutsider(opening.address, "secure handshake with %s failed (%s); closed", why);
                return false;
        }
    }
    ready = true;
    return true;
}

bool CZydListener::readOpening(TOpening& opening) {
    bool ready = false;
    if (!opening.secured && !(opening.decided && !opening.socket.secure())) {
        if (!secureOpening(opening, ready)) return false;
        if (!ready) return true;
    }
    // Everything that arrived (TLS may hold decrypted bytes the socket no longer shows), up to a frame.
    zynet::TFrame frame;
    zynet::FrameStatus status = zynet::FrameStatus::NeedMore;
    while (status == zynet::FrameStatus::NeedMore) {
        size_t room = 0;
        uint8_t* to = opening.assembler.prepare(room);
        size_t got = 0;
        int err = 0;
        const zynet::Io io = opening.socket.receiveSome(to, room, m_clock.steadyNow(), got, err);
        if (io == zynet::Io::TimedOut) return true;
        if (io != zynet::Io::Ok) return false;
        opening.assembler.commit(got);
        status = opening.assembler.next(frame);
    }
    fsr::CArena arena;
    TZynHello hello;
    TZynLaunch launch;
    const auto decoded = [&](const fsr::TLayout& layout, void* record) {
        return fsr::decodeRecord(layout, frame.payload, frame.length, arena, record) == fsr::Status::Ok;
    };
    const bool control = status == zynet::FrameStatus::Frame && frame.kind == zynet::FrameKind::Control;
    if (control && (frame.code == zynet::kHello || frame.code == zynet::kProbe) &&
        decoded(fsr::LayoutOf<TZynHello>::layout, &hello)) {
        if (frame.code == zynet::kProbe) {
            answer(opening, zynet::kWelcome, zynet::welcomeBytes());
        } else {
            handOver(opening, peerOf(opening, hello.protocolVersion, hello.clientName, hello.hostName),
                     hello.service);
        }
    } else if (control && frame.code == zynet::kLaunch &&
               decoded(fsr::LayoutOf<TZynLaunch>::layout, &launch)) {
        launchForSession(opening, launch);
    } else if (control && frame.code == zynet::kLaunchOnDemand) {
        launchOnDemand(opening, frame.payload, frame.length);
    } else {
        zynet::logOutsider(opening.address,
                           "connection from %s did not open with a valid opening (%s); closed",
                           zynet::frameStatusText(status));
    }
    return false;
}

void CZydListener::handOver(TOpening& opening, const CZyNetwork::TPeer& peer, const std::string& service) {
    CUxError error;
    {
        CHubMutexLock lock(m_mutex);
        CZyNetworkServer* server = nullptr;
        if (auto it = m_servers.find(service); it != m_servers.end()) {
            server = it->second;
        } else if (service.empty()) {
            // A listener of one service answers to any opening; launched instances are named only.
            const auto served = [this](const auto& entry) { return !m_launcher->isInstance(entry.first); };
            if (std::count_if(m_servers.begin(), m_servers.end(), served) == 1)
                server = std::find_if(m_servers.begin(), m_servers.end(), served)->second;
        }
        if (server == nullptr) {
            error = zynet::makeError(ZYNET_E_REFUSED, "CZydListener::handOver",
                                     "no service [" + service + "] here");
        } else {
            // The bytes after the opening (if the client did not wait for the welcome) go along.
            error =
                server->adopt(opening.socket, peer, opening.assembler.data(), opening.assembler.buffered());
        }
    }
    if (error.IsError()) {
        // An outsider's refusals are its own lines to count (see peerlog.h).
        zylog::CPeerScope scope(peer.outsiderKey(), peer.proven);
        refuse(opening, error, peer.clientName + " to [" + service + "]");
    }
}

CZyNetwork::TPeer CZydListener::peerOf(const TOpening& opening, unsigned protocolVersion,
                                       const char* claimedName, const char* hostName) {
    CZyNetwork::TPeer peer;
    peer.protocolVersion = protocolVersion;
    peer.hostName = *hostName ? hostName : opening.address;
    peer.address = opening.address;
    if (opening.socket.secure()) {
        // The certificate says who the peer is; what it claims is only noted.
        peer.clientName = opening.socket.peerCertificateName();
        peer.proven = !peer.clientName.empty();
        if (*claimedName && peer.clientName != claimedName)
            zynet::logDebug(2, "peer %s claims to be [%s]; its certificate says [%s]",
                            opening.address.c_str(), claimedName, peer.clientName.c_str());
    } else {
        peer.clientName = claimedName;
        peer.proven = true;  // plain sessions are switched on: a claim is all there is
    }
    peer.trusted = peer.proven && zynet::isInfrastructure(peer.clientName);
    return peer;
}

bool CZydListener::mayLaunch(TOpening& opening, const CZyNetwork::TPeer& peer, const std::string& service) {
    // Who the service answers is judged first: a caller it would refuse is told so, whatever runs.
    CUxError error = m_launcher->admits(service, peer.proven ? peer.clientName : std::string());
    // Callers outside the infrastructure start instances only while few of theirs are alive: neither an
    // outsider nor a client machine can fill the machine with them, and the infrastructure's own
    // instances (kept a while for reuse) take none of their share.
    if (!error.IsError() && !peer.trusted &&
        m_launcher->outsiderCount() >= zynet::options().anonymousLaunchesAtOnce)
        error = zynet::makeError(ZYNET_E_LAUNCH_LIMIT, "CZydListener::mayLaunch",
                                 "too many launched instances for callers outside the infrastructure");
    if (!error.IsError()) return true;
    refuse(opening, error, opening.address + " launching [" + service + "]");
    return false;
}

void CZydListener::launchForSession(TOpening& opening, const TZynLaunch& launch) {
    const CZyNetwork::TPeer peer =
        peerOf(opening, launch.protocolVersion, launch.clientName, launch.hostName);
    zylog::CPeerScope scope(peer.outsiderKey(), peer.proven);
    CHubMutexLock launching(m_launchMutex);
    if (!mayLaunch(opening, peer, m_launcher->serviceOf(launch.launcher, launch.alternate))) return;
    CZyNetworkServer* server = nullptr;
    CUxError error = m_launcher->launchForSession(launch.launcher, launch.alternate, peer.clientName,
                                                  !peer.trusted, server);
    // Instances are reaped under the same lock: the new one is there until the session is handed to it.
    if (!error.IsError())
        error = server->adopt(opening.socket, peer, opening.assembler.data(), opening.assembler.buffered());
    if (error.IsError())
        refuse(opening, error, peer.clientName + " launching [" + std::string(launch.launcher) + "]");
}

void CZydListener::launchOnDemand(TOpening& opening, const uint8_t* request, size_t size) {
    const CZyNetwork::TPeer peer = peerOf(opening, 0, "", "");
    zylog::CPeerScope scope(peer.outsiderKey(), peer.proven);
    CHubMutexLock launching(m_launchMutex);
    CNSession::LaunchOnDemandServiceReq launch;
    CNSession::LaunchOnDemandServiceDetails details;
    CUxError error;
    std::string xml;
    if (launch.unserialize(reinterpret_cast<const char*>(request), size) != 0) {
        error = zynet::makeError(ZYNET_E_BAD_PAYLOAD, "CZydListener::launchOnDemand", "not a launch request");
    } else {
        if (!mayLaunch(opening, peer, launch.getstring(CNSession::LaunchOnDemandServiceReq::f::serviceName)))
            return;
        error = m_launcher->launchOnDemand(launch, opening.address, !peer.trusted, port(), details);
        std::string why;
        if (!error.IsError() && !zynet::messageToXml(details, xml, why))
            error = zynet::makeError(ZYNET_E_BAD_PAYLOAD, "CZydListener::launchOnDemand", why);
    }
    if (error.IsError()) return refuse(opening, error, opening.address + " asking for an on-demand instance");
    // An instance whose details never arrive is not reached, and ends by itself.
    answer(opening, zynet::kLaunched, std::vector<uint8_t>(xml.begin(), xml.end()));
}

void CZydListener::refuse(TOpening& opening, const CUxError& error, const std::string& what) {
    zynet::logDebug(0, "session from %s (%s) refused and closed: %s", what.c_str(), opening.address.c_str(),
                    error.GetErrorText().c_str());
    if (!opening.socket.valid()) return;
    answer(opening, zynet::kRefused, zynet::refusalBytes(error.GetErrorCode(), error.GetErrorText()));
}

void CZydListener::answer(TOpening& opening, uint32_t code, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> frame =
        zynet::buildFrame(zynet::FrameKind::Control, code, payload.data(), payload.size());
    const iovec part{const_cast<uint8_t*>(frame.data()), frame.size()};
    size_t sent = 0;
    int err = 0;
    opening.socket.sendAll(&part, 1, zynet::deadlineIn(kAnswerSeconds, opening.socket.clock()), sent, err);
    opening.socket.shutdownWrite();
}

#include "platform/net/zynet_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/threads/hubclock.h"

namespace zynet {
namespace {

// Milliseconds until the deadline on `clock`, at most the clock's recheck: a wait that long reads the
// clock again.
int msUntil(Deadline deadline, const CHubClock& clock) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::min(deadline - clock.steadyNow(), clock.recheckEvery()))
                          .count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left + 1, INT_MAX));
}

// Waits for `events`; false when the deadline passed first, or `cancel` (-1: none) became readable.
bool waitFor(int fd, short events, Deadline deadline, int cancel, const CHubClock& clock) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {cancel, POLLIN, 0}};
        const int n = poll(p, cancel >= 0 ? 2 : 1, msUntil(deadline, clock));
        if (n > 0 && p[1].revents != 0) return false;
        if (n > 0) return true;
        if (n == 0) {
            if (clock.steadyNow() >= deadline) return false;
            continue;
        }
        if (errno != EINTR) return true;  // let the following call report the error
    }
}

void tune(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

Deadline deadlineIn(int seconds, const CHubClock& clock) {
    // Far enough for any caller, near enough not to overflow the clock.
    return clock.steadyNow() + std::chrono::seconds(std::clamp(seconds, 0, 10 * 365 * 24 * 3600));
}

CSocket::CSocket() = default;
CSocket::CSocket(int fd, const CHubClock& clock) : m_fd(fd), m_clock(&clock) {}
CSocket::~CSocket() {
    close();
}

CSocket::CSocket(CSocket&& other) noexcept
    : m_fd(other.m_fd),
      m_clock(other.m_clock),
      m_blocking(other.m_blocking),
      m_receiveStepMs(other.m_receiveStepMs),
      m_cancelFd(other.m_cancelFd.load()),
      m_tls(std::move(other.m_tls)) {
    other.m_fd = -1;
}

CSocket& CSocket::operator=(CSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_clock = other.m_clock;
        m_blocking = other.m_blocking;
        m_receiveStepMs = other.m_receiveStepMs;
        m_cancelFd = other.m_cancelFd.load();
        m_tls = std::move(other.m_tls);
        other.m_fd = -1;
    }
    return *this;
}

CSocket CSocket::connectTo(const std::string& host, int port, Deadline deadline, int cancelFd,
                           std::string& error, bool& timedOut, const CHubClock& clock) {
    timedOut = false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return CSocket();
    }
    error = "no address for " + host;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        CSocket s(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol), clock);
        if (!s.valid()) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        s.m_cancelFd = cancelFd;
        if (connect(s.fd(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                error = "connect to " + host + ":" + service + ": " + std::strerror(errno);
                continue;
            }
            if (!waitFor(s.fd(), POLLOUT, deadline, cancelFd, clock)) {
                error = "connect to " + host + ":" + service + " timed out";
                timedOut = true;
                break;
            }
            int soError = 0;
            socklen_t len = sizeof(soError);
            getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &soError, &len);
            if (soError != 0) {
                error = "connect to " + host + ":" + service + ": " + std::strerror(soError);
                continue;
            }
        }
        tune(s.fd());
        freeaddrinfo(found);
        error.clear();
        return s;
    }
    freeaddrinfo(found);
    return CSocket();
}

CSocket CSocket::listenOn(const std::string& address, int port, int& boundPort, std::string& error,
                          const CHubClock& clock) {
    sockaddr_in6 any6{};
    sockaddr_in addr4{};
    addr4.sin_family = AF_INET;
    addr4.sin_port = htons(static_cast<uint16_t>(port));
    const sockaddr* sa = reinterpret_cast<sockaddr*>(&addr4);
    socklen_t saLen = sizeof(addr4);
    int family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &addr4.sin_addr) != 1) {
        any6.sin6_family = AF_INET6;
        any6.sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, address.c_str(), &any6.sin6_addr) != 1) {
            error = "not a numeric address: " + address;
            return CSocket();
        }
        sa = reinterpret_cast<sockaddr*>(&any6);
        saLen = sizeof(any6);
        family = AF_INET6;
    }
    CSocket s(socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), clock);
    if (!s.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return CSocket();
    }
    const int one = 1;
    setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // The longest backlog the system allows (the kernel holds a larger one to net.core.somaxconn, whatever
    // the headers' SOMAXCONN says): connections that come in a burst while the accept threads are busy
    // wait there. Past a full backlog a connection's handshake is dropped and its caller waits through
    // the retries (a second, three, seven... over a minute), or is cut off.
    constexpr int kLongestBacklog = 65535;
    if (bind(s.fd(), sa, saLen) != 0 || listen(s.fd(), kLongestBacklog) != 0) {
        error = "listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return CSocket();
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof(bound);
    getsockname(s.fd(), reinterpret_cast<sockaddr*>(&bound), &boundLen);
    boundPort = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return s;
}

CSocket CSocket::acceptOne(int* error) {
    for (;;) {
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            tune(fd);
            if (error) *error = 0;
            return CSocket(fd, *m_clock);
        }
        // A connection its caller gave up before it was taken: the next one.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (error) *error = errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        return CSocket();
    }
}

Io CSocket::sendAll(const iovec* parts, int count, Deadline deadline, size_t& sent, int& err) {
    if (m_tls) return sendTls(parts, count, deadline, sent, err);
    sent = 0;
    err = 0;
    std::vector<iovec> local(parts, parts + count);
    iovec* iov = local.data();
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = sendmsg(m_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!waitFor(m_fd, POLLOUT, deadline, m_cancelFd, *m_clock)) return Io::TimedOut;
                continue;
            }
            err = errno;
            return errno == EPIPE || errno == ECONNRESET ? Io::Closed : Io::Failed;
        }
        sent += static_cast<size_t>(n);
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return Io::Ok;
}

bool CSocket::blockFor(int ms) {
    if (!m_blocking) {
        const int flags = fcntl(m_fd, F_GETFL);
        if (flags < 0 || fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
        m_blocking = true;
    }
    // Waits are cut into steps of at most a second, rounded up to a tenth: the same step serves
    // call after call, so the option is rarely set again.
    const int step = std::min(1000, (ms + 99) / 100 * 100);
    if (step != m_receiveStepMs) {
        timeval tv{step / 1000, (step % 1000) * 1000};
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return false;
        m_receiveStepMs = step;
    }
    return true;
}

Io CSocket::receiveSome(uint8_t* to, size_t room, Deadline deadline, size_t& got, int& err) {
    if (m_tls) return receiveTls(to, room, deadline, got, err);
    got = 0;
    err = 0;
    // A blocking read bounded by the socket's receive time-out: one call per wait, where a poll
    // before each read would be two.
    for (;;) {
        const int ms = msUntil(deadline, *m_clock);
        int flags = 0;
        // A cancellable wait polls (waitFor): a blocking read would not see the cancel.
        if (ms == 0 || m_cancelFd >= 0 || !blockFor(ms)) flags = MSG_DONTWAIT;
        const ssize_t n = recv(m_fd, to, room, flags);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Io::Ok;
        }
        if (n == 0) return Io::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (m_clock->steadyNow() >= deadline) return Io::TimedOut;
            if (flags == MSG_DONTWAIT && !waitFor(m_fd, POLLIN, deadline, m_cancelFd, *m_clock))
                return Io::TimedOut;
            continue;
        }
        err = errno;
        return errno == ECONNRESET ? Io::Closed : Io::Failed;
    }
}

bool CSocket::readable() const {
    if (m_tls && m_tls->pending()) return true;
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// ---- TLS ----------------------------------------------------------------------------------------
// The socket stays non-blocking: each OpenSSL call is one step under the connection's lock, and the
// waits between steps are polls outside it, so a sender and a receiver never hold each other up.

bool CSocket::startTls(std::shared_ptr<const TTlsContext> context, bool server, std::string& error,
                       const std::string& serverName) {
    auto tls = std::make_unique<CTls>(std::move(context), m_fd, server, serverName, *m_clock);
    if (!tls->valid()) {
        error = "no TLS context for this side";
        return false;
    }
    m_tls = std::move(tls);
    return true;
}

bool CSocket::resumed() const {
    return m_tls && m_tls->resumed();
}

Io CSocket::handshakeStep(std::string& error, bool& wantWrite) {
    wantWrite = false;
    switch (m_tls->handshake(error)) {
        case CTls::Result::Done:
            return Io::Ok;
        case CTls::Result::WantWrite:
            wantWrite = true;
            return Io::TimedOut;
        case CTls::Result::WantRead:
            return Io::TimedOut;
        case CTls::Result::Closed:
            return Io::Closed;
        default:
            return Io::Failed;
    }
}

bool CSocket::handshake(Deadline deadline, std::string& error, bool& timedOut, bool* closed) {
    timedOut = false;
    for (;;) {
        bool wantWrite = false;
        const Io io = handshakeStep(error, wantWrite);
        if (io == Io::Ok) return true;
        if (closed) *closed = io == Io::Closed;
        if (io == Io::Failed || io == Io::Closed) return false;
        if (!waitFor(m_fd, wantWrite ? POLLOUT : POLLIN, deadline, m_cancelFd, *m_clock)) {
            timedOut = true;
            error = "the secure handshake timed out";
            return false;
        }
    }
}

std::string CSocket::peerCertificateName() const {
    return m_tls ? m_tls->peerName() : std::string();
}

std::string CSocket::ownCertificateName() const {
    return m_tls ? m_tls->ownName() : std::string();
}

int CSocket::peekByte(uint8_t& byte) const {
    for (;;) {
        const ssize_t n = recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

Io CSocket::sendTls(const iovec* parts, int count, Deadline deadline, size_t& sent, int& err) {
    sent = 0;
    err = 0;
    // The parts go out as if joined: in records of at most 16 KB, so that a frame's header, or a small
    // frame after a large one, costs no record and no wake-up of the peer of its own. Only what shares a
    // record with another part is copied: a large part's first record, sized so that the rest of the
    // part is whole records, written from it.
    constexpr size_t kRecordBytes = 16384;
    thread_local std::vector<uint8_t> joined;
    struct TShrink {  // a large joined buffer is not kept for the thread's life
        ~TShrink() {
            if (joined.capacity() > (size_t(64) << 10)) std::vector<uint8_t>().swap(joined);
        }
    } shrink;
    struct TPiece {
        const uint8_t* from;  // null: bytes of `joined` from `at`
        size_t at, size;
    };
    std::vector<TPiece> pieces;
    std::vector<iovec> joinedParts;
    if (count > 1) {
        // One allocation of all that is copied: grown part by part, the buffer was given back and taken
        // again at every answer, each time merging the allocator's freed small blocks first.
        size_t copied = 0;
        for (int i = 0; i < count; ++i) copied += std::min(parts[i].iov_len, 2 * kRecordBytes);
        joined.clear();
        joined.reserve(copied);
        size_t stagedAt = 0;  // where the record being gathered begins in `joined`
        const auto stage = [&](const uint8_t* from, size_t size) {
            joined.insert(joined.end(), from, from + size);
        };
        const auto flush = [&] {
            if (joined.size() > stagedAt) pieces.push_back({nullptr, stagedAt, joined.size() - stagedAt});
            stagedAt = joined.size();
        };
        for (int i = 0; i < count; ++i) {
            const auto* from = static_cast<const uint8_t*>(parts[i].iov_base);
            size_t left = parts[i].iov_len;
            const size_t gathered = joined.size() - stagedAt;
            if (gathered + left < kRecordBytes) {
                stage(from, left);
                continue;
            }
            if (gathered > 0) {
                // The record gathered takes as much of this part as leaves whole records of the rest:
                // what is copied is at most a record, not the first record's fill and the last's tail.
                // (Never none of it: what was gathered would go out as a record of its own.)
                size_t fill = (gathered + left) % kRecordBytes;
                fill = fill > gathered ? fill - gathered : fill + kRecordBytes - gathered;
                stage(from, fill);
                from += fill;
                left -= fill;
                flush();
            }
            pieces.push_back({from, 0, left});
        }
        flush();
        joinedParts.reserve(pieces.size());
        for (const TPiece& piece : pieces)
            joinedParts.push_back(
                {const_cast<uint8_t*>(piece.from ? piece.from : joined.data() + piece.at), piece.size});
        parts = joinedParts.data();
        count = static_cast<int>(joinedParts.size());
    }
    for (int i = 0; i < count; ++i) {
        const auto* from = static_cast<const uint8_t*>(parts[i].iov_base);
        size_t left = parts[i].iov_len;
        while (left > 0) {
            size_t done = 0;
            std::string why;
            switch (m_tls->write(from, left, done, why)) {
                case CTls::Result::Done:
                    from += done;
                    left -= done;
                    sent += done;
                    continue;
                case CTls::Result::WantWrite:
                    if (!waitFor(m_fd, POLLOUT, deadline, m_cancelFd, *m_clock)) return Io::TimedOut;
                    continue;
                case CTls::Result::WantRead:
                    if (!waitFor(m_fd, POLLIN, deadline, m_cancelFd, *m_clock)) return Io::TimedOut;
                    continue;
                case CTls::Result::Closed:
                    err = EPIPE;
                    return Io::Closed;
                case CTls::Result::Failed:
                    logDebug(2, "TLS send failed: %s", why.c_str());
                    err = EPROTO;
                    return Io::Failed;
            }
        }
    }
    return Io::Ok;
}

Io CSocket::receiveTls(uint8_t* to, size_t room, Deadline deadline, size_t& got, int& err) {
    got = 0;
    err = 0;
    for (;;) {
        std::string why;
        switch (m_tls->read(to, room, got, why)) {
            case CTls::Result::Done:
                return Io::Ok;
            case CTls::Result::WantRead:
                if (m_clock->steadyNow() >= deadline ||
                    !waitFor(m_fd, POLLIN, deadline, m_cancelFd, *m_clock))
                    return Io::TimedOut;
                continue;
            case CTls::Result::WantWrite:
                if (!waitFor(m_fd, POLLOUT, deadline, m_cancelFd, *m_clock)) return Io::TimedOut;
                continue;
            case CTls::Result::Closed:
                return Io::Closed;
            case CTls::Result::Failed:
                logDebug(2, "TLS receive failed: %s", why.c_str());
                err = EPROTO;
                return Io::Failed;
        }
    }
}

std::string CSocket::peerAddress() const {
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return std::string();
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof(text));
    return text;
}

void CSocket::shutdownBoth() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

void CSocket::shutdownWrite() {
    if (m_tls) m_tls->closeNotify();
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

void CSocket::close() {
    m_tls.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace zynet

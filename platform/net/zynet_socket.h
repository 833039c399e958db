// TCP sockets whose every wait is bounded by a deadline (a poll, or a read under the socket's receive
// time-out), plain or carrying TLS once a handshake has run on them. One thread sends and one receives
// at a time; shutdownBoth() from any thread wakes both.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/threads/hubclock.h"

namespace zynet {

using Clock = CHubClock::Steady;
using Deadline = Clock::time_point;
// `seconds` from now on `clock`.
Deadline deadlineIn(int seconds, const CHubClock& clock = CHubClock::real());

enum class Io : uint8_t { Ok, TimedOut, Closed, Failed };

class CTls;
struct TTlsContext;

// The first byte of a TLS handshake record, which no plain opening frame starts with.
constexpr uint8_t kTlsHandshakeByte = 0x16;

// A socket's deadlines are read on the clock it was made with (a socket accepted takes its listening
// socket's), which must outlive it.
class CSocket {
public:
    CSocket();
    explicit CSocket(int fd, const CHubClock& clock = CHubClock::real());
    ~CSocket();
    CSocket(CSocket&& other) noexcept;
    CSocket& operator=(CSocket&& other) noexcept;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    const CHubClock& clock() const { return *m_clock; }

    // Connects to host:port (a name or a numeric address) before the deadline.
    // A wait also ends (as a time-out) once `cancelFd` (see watchCancel) is readable.
    static CSocket connectTo(const std::string& host, int port, Deadline deadline, int cancelFd,
                             std::string& error, bool& timedOut, const CHubClock& clock = CHubClock::real());
    // A listening socket on address:port (0: the system chooses); boundPort tells which.
    static CSocket listenOn(const std::string& address, int port, int& boundPort, std::string& error,
                            const CHubClock& clock = CHubClock::real());
    // The next pending connection, or an invalid socket when none is waiting or it cannot be taken
    // (`error`, when given: the errno, 0 when none was waiting).
    CSocket acceptOne(int* error = nullptr);

    // Sends every byte of the parts; `sent` tells how many went out (for telling a clean failure
    // from one that cut a frame). `err` is the errno of a failure.
    Io sendAll(const iovec* parts, int count, Deadline deadline, size_t& sent, int& err);
    // Receives at least one byte.
    Io receiveSome(uint8_t* to, size_t room, Deadline deadline, size_t& got, int& err);
    // True when a read would not block (data, end of stream or error waiting).
    bool readable() const;

    // TLS on a connected socket, as the client (`server` false) or the listener's side. The client's
    // handshake runs to its end before the deadline; the listener's runs a step at a time
    // (handshakeStep: Ok when done, TimedOut while it waits for the peer, `wantWrite` when it waits to
    // send; Closed when the peer left without a word). From then on every send and receive is
    // encrypted. False/Failed with `error` on failure; `closed` tells the peer left without a word.
    bool startTls(std::shared_ptr<const TTlsContext> context, bool server, std::string& error,
                  const std::string& serverName = {});
    bool handshake(Deadline deadline, std::string& error, bool& timedOut, bool* closed = nullptr);
    Io handshakeStep(std::string& error, bool& wantWrite);
    bool secure() const { return m_tls != nullptr; }
    // True when the TLS handshake resumed an earlier session.
    bool resumed() const;
    // The client name the peer's verified certificate proves ("" for none, or a plain socket).
    std::string peerCertificateName() const;
    // The client name this side's own certificate proves ("" for none, or a plain socket).
    std::string ownCertificateName() const;
    // The first byte waiting, without taking it: 1 when there is one, 0 when none is there yet, -1 when
    // the peer left or the socket failed.
    int peekByte(uint8_t& byte) const;

    // From now on every wait of this socket also ends (as a time-out) once `fd` is readable (-1: none).
    void watchCancel(int fd) { m_cancelFd = fd; }

    std::string peerAddress() const;
    void shutdownBoth();
    void shutdownWrite();  // the peer reads the end of the stream after what was sent
    void close();

private:
    // Puts the socket in blocking mode with a receive time-out for a wait of `ms`; false when the
    // system refuses (the read then polls instead). Used by the receiving thread only.
    bool blockFor(int ms);

    Io sendTls(const iovec* parts, int count, Deadline deadline, size_t& sent, int& err);
    Io receiveTls(uint8_t* to, size_t room, Deadline deadline, size_t& got, int& err);

    int m_fd = -1;
    const CHubClock* m_clock = &CHubClock::real();
    bool m_blocking = false;          // reads block (sends never do: they pass MSG_DONTWAIT); never with TLS
    int m_receiveStepMs = -1;         // the receive time-out set on the socket
    std::atomic<int> m_cancelFd{-1};  // see watchCancel; set by the borrower while others may wait
    std::unique_ptr<CTls> m_tls;
};

}  // namespace zynet

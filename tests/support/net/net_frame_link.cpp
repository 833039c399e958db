#include "tests/support/net/net_frame_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "platform/net/zynet_tls.h"
#include "platform/restoreproto/fsr_messages.h"

namespace hubtest {

std::vector<uint8_t> encodeMessage(uint32_t code, const void* record, size_t recordSize) {
    std::vector<uint8_t> bytes;
    if (const fsr::TMessage* message = fsr::findMessage(code))
        fsr::encode(*message, record, recordSize, bytes);
    return bytes;
}

namespace {

// A connection to 127.0.0.1:port from `from` (port chosen by the system), by the deadline.
zynet::CSocket connectFrom(const std::string& from, int port, zynet::Deadline deadline) {
    zynet::CSocket s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    if (!s.valid() || inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr) != 1 ||
        bind(s.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return zynet::CSocket();
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno != EINPROGRESS) return zynet::CSocket();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - zynet::Clock::now());
        pollfd p{s.fd(), POLLOUT, 0};
        int soError = 0;
        socklen_t len = sizeof soError;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
            getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
            return zynet::CSocket();
    }
    const int one = 1;
    setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

}  // namespace

bool CFrameLink::connect(int port, int seconds, bool secure, const std::string& as, const std::string& from) {
    std::string why;
    bool timedOut = false;
    const zynet::Deadline deadline = zynet::deadlineIn(seconds);
    m_socket = from.empty() ? zynet::CSocket::connectTo("127.0.0.1", port, deadline, -1, why, timedOut)
                            : connectFrom(from, port, deadline);
    if (!m_socket.valid() || !secure) return m_socket.valid();
    if (m_socket.startTls(zynet::clientContext(as), false, why) &&
        m_socket.handshake(deadline, why, timedOut))
        return true;
    m_socket.close();
    return false;
}

bool CFrameLink::serve(int seconds, const std::string& as) {
    const zynet::Deadline deadline = zynet::deadlineIn(seconds);
    uint8_t first = 0;
    for (;;) {
        const int peeked = m_socket.peekByte(first);
        if (peeked < 0) return false;
        if (peeked > 0) break;
        pollfd p{m_socket.fd(), POLLIN, 0};
        if (zynet::Clock::now() >= deadline) return false;
        poll(&p, 1, 100);
    }
    if (first != zynet::kTlsHandshakeByte) return true;
    std::string why;
    bool timedOut = false;
    return m_socket.startTls(zynet::serverContext(as), true, why) &&
           m_socket.handshake(deadline, why, timedOut);
}

bool CFrameLink::sendRaw(const std::vector<uint8_t>& bytes, int seconds) {
    const iovec part{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    size_t sent = 0;
    int err = 0;
    return m_socket.sendAll(&part, 1, zynet::deadlineIn(seconds), sent, err) == zynet::Io::Ok;
}

bool CFrameLink::send(zynet::FrameKind kind, uint32_t code, const std::vector<uint8_t>& payload,
                      int seconds) {
    return sendRaw(zynet::buildFrame(kind, code, payload.data(), payload.size()), seconds);
}

bool CFrameLink::receive(TRawFrame& frame, int seconds, std::string& why) {
    const zynet::Deadline deadline = zynet::deadlineIn(seconds);
    for (;;) {
        zynet::TFrame next;
        const zynet::FrameStatus status = m_assembler.next(next);
        if (status == zynet::FrameStatus::Frame) {
            frame.kind = next.kind;
            frame.code = next.code;
            frame.payload.assign(next.payload, next.payload + next.length);
            return true;
        }
        if (status != zynet::FrameStatus::NeedMore) {
            why = zynet::frameStatusText(status);
            return false;
        }
        size_t room = 0;
        uint8_t* to = m_assembler.prepare(room);
        size_t got = 0;
        int err = 0;
        switch (m_socket.receiveSome(to, room, deadline, got, err)) {
            case zynet::Io::Ok:
                m_assembler.commit(got);
                continue;
            case zynet::Io::TimedOut:
                why = "timed out";
                return false;
            case zynet::Io::Closed:
                why = "closed";
                return false;
            case zynet::Io::Failed:
                why = "failed";
                return false;
        }
    }
}

bool CFrameLink::waitForClose(int seconds) {
    TRawFrame frame;
    std::string why;
    while (receive(frame, seconds, why)) {
    }
    return why == "closed";
}

bool CFrameLink::sendOpening(const std::string& service, const std::string& clientName,
                             unsigned protocolVersion) {
    TZynHello hello;
    hello.protocolVersion = protocolVersion;
    hello.service = service.c_str();
    hello.clientName = clientName.c_str();
    hello.hostName = "localhost";
    return send(zynet::FrameKind::Control, zynet::kHello,
                zynet::encodeRecordBytes(fsr::LayoutOf<TZynHello>::layout, &hello));
}

bool CFrameLink::open(const std::string& service, const std::string& clientName, unsigned protocolVersion,
                      std::string& why) {
    if (!sendOpening(service, clientName, protocolVersion)) {
        why = "opening not sent";
        return false;
    }
    TRawFrame answer;
    if (!receive(answer, 10, why)) return false;
    if (answer.kind == zynet::FrameKind::Control && answer.code == zynet::kWelcome) return true;
    why = "unexpected answer";
    if (answer.code == zynet::kRefused) {
        fsr::CArena arena;
        TZynRefusal refusal;
        const bool read = fsr::decodeRecord(fsr::LayoutOf<TZynRefusal>::layout, answer.payload.data(),
                                            answer.payload.size(), arena, &refusal) == fsr::Status::Ok;
        why = std::string("refused: ") + (read ? refusal.reason : "no reason");
    }
    return false;
}

void CPolledCaller::open(int port, const std::string& service) {
    m_link = CFrameLink();
    const bool opened =
        m_link.connect(port, 10, true, m_as, m_from) && m_link.sendOpening(service, "console", 4098);
    m_state = opened ? State::Opening : State::Closed;
}

void CPolledCaller::poll(const std::function<void(const TRawFrame&)>& onMessage) {
    TRawFrame frame;
    std::string why;
    while (m_state != State::Closed) {
        if (!m_link.receive(frame, 0, why)) {
            if (why == "timed out") return;
            m_closes += m_state == State::Open;
            m_state = State::Closed;
            return;
        }
        if (m_state == State::Opening) {
            const bool welcome = frame.kind == zynet::FrameKind::Control && frame.code == zynet::kWelcome;
            m_refusals += !welcome;
            m_state = welcome ? State::Open : State::Closed;
        } else if (onMessage) {
            onMessage(frame);
        }
    }
}

void CPolledCaller::close() {
    m_link.close();
    m_state = State::Closed;
}

}  // namespace hubtest

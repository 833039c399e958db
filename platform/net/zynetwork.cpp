#include "platform/net/zynetwork.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/msg/cnmessagebase.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynet_xml.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/threads/hubclock.h"

using zynet::Clock;
using zynet::Deadline;
using zynet::FrameKind;
using zynet::Io;
using zynet::TFrame;

namespace {

// How long a session that ended by agreement waits for its peer to leave before closing.
constexpr int kLingerSeconds = 2;

}  // namespace

CZyNetwork::CZyNetwork(const CHubClock& clock)
    : m_clock(clock), m_assembler(zynet::options().maxFrameBytes) {}

CZyNetwork::~CZyNetwork() = default;

// ---- failures -----------------------------------------------------------------------------------

CUxError CZyNetwork::failed(int code, const char* function, const std::string& detail) {
    CUxError error = zynet::makeError(code, function, detail);
    CHubMutexLock lock(m_errorMutex);
    m_lastError = error.GetErrorText();
    return error;
}

CUxError CZyNetwork::breakOff(int code, const char* function, const std::string& detail) {
    const bool wasOpen = m_state.exchange(State::Broken) == State::Open;
    m_socket.shutdownBoth();
    if (wasOpen && code != ZYNET_E_DISCONNECTED)
        zynet::logError("%s: session with [%s] closed: %s%s%s", function, m_peer.clientName.c_str(),
                        zynet::errorText(code), detail.empty() ? "" : ": ", detail.c_str());
    return failed(code, function, detail);
}

void CZyNetwork::shutdown() {
    m_state = State::Broken;
    m_socket.shutdownBoth();
}

std::string CZyNetwork::GetLastErrorGenericText() const {
    CHubMutexLock lock(m_errorMutex);
    return m_lastError;
}

bool CZyNetwork::IsConnected() const {
    return m_state == State::Open;
}

// ---- frames -------------------------------------------------------------------------------------

CUxError CZyNetwork::sendFrame(FrameKind kind, uint32_t code, const uint8_t* payload, size_t size,
                               int timeoutSeconds, bool& timedOut, const char* function) {
    const TOutFrame frame{kind, code, payload, size};
    return sendFrames(&frame, 1, timeoutSeconds, timedOut, function);
}

CUxError CZyNetwork::sendFrames(const TOutFrame* frames, size_t count, int timeoutSeconds, bool& timedOut,
                                const char* function) {
    timedOut = false;
    for (size_t k = 0; k < count; ++k)
        if (frames[k].size > zynet::options().maxFrameBytes)
            return failed(ZYNET_E_FRAME_TOO_LARGE, function, std::to_string(frames[k].size) + " bytes");
    CHubMutexLock lock(m_sendMutex);
    if (m_state != State::Open) return failed(ZYNET_E_NOT_CONNECTED, function, std::string());
    struct THeader {
        uint8_t bytes[zynet::kHeaderSize];
    };
    std::vector<THeader> headers(count);
    std::vector<iovec> parts;
    parts.reserve(2 * count);
    for (size_t k = 0; k < count; ++k) {
        const TOutFrame& f = frames[k];
        zynet::encodeHeader({f.kind, f.code, static_cast<uint32_t>(f.size)}, headers[k].bytes);
        parts.push_back({headers[k].bytes, sizeof(headers[k].bytes)});
        if (f.size > 0) parts.push_back({const_cast<uint8_t*>(f.payload), f.size});
    }
    size_t sent = 0;
    int err = 0;
    switch (m_socket.sendAll(parts.data(), static_cast<int>(parts.size()),
                             waitUntil(zynet::effectiveSeconds(timeoutSeconds)), sent, err)) {
        case Io::Ok:
            return CUxError::Success();
        case Io::TimedOut:
            timedOut = true;
            // A frame cut in the middle leaves the stream unreadable for the peer.
            if (sent > 0) return breakOff(ZYNET_E_TIMEOUT, function, "send stopped inside a frame");
            return failed(ZYNET_E_TIMEOUT, function, "nothing could be sent");
        case Io::Closed:
            return breakOff(ZYNET_E_DISCONNECTED, function, std::strerror(err));
        case Io::Failed:
            break;
    }
    return breakOff(ZYNET_E_SOCKET, function, std::strerror(err));
}

CUxError CZyNetwork::receiveFrame(TFrame& frame, Deadline deadline, bool& timedOut, const char* function) {
    timedOut = false;
    if (m_state != State::Open && m_state != State::Closing)
        return failed(ZYNET_E_NOT_CONNECTED, function, std::string());
    // The caller is back for its next message: the last one is done with, and nothing is under way unless
    // bytes of the next are held already.
    if (!m_assembler.midFrame()) m_frameSince.store(0, std::memory_order_relaxed);
    const auto stall =
        std::chrono::seconds(m_stallSeconds > 0 ? m_stallSeconds : zynet::options().stallSeconds);
    for (;;) {
        const zynet::FrameStatus status = m_assembler.next(frame);
        if (status == zynet::FrameStatus::Frame) {
            // The message handed out stays under way until its caller comes back for the next, so that no
            // moment between its last byte and its server's note of it shows the session idle.
            m_frameSince.store(m_clock.steadyNow().time_since_epoch().count());
            return CUxError::Success();
        }
        if (status != zynet::FrameStatus::NeedMore)
            return breakOff(
                status == zynet::FrameStatus::TooLarge ? ZYNET_E_FRAME_TOO_LARGE : ZYNET_E_BAD_FRAME,
                function, zynet::frameStatusText(status));

        // Inside a frame the peer must keep sending; between frames it may be silent until the deadline.
        const bool inFrame = m_assembler.midFrame();
        const Deadline until = inFrame ? std::min(deadline, m_lastByte + stall) : deadline;
        size_t room = 0;
        uint8_t* to = m_assembler.prepare(room);
        if (to == nullptr)
            return breakOff(ZYNET_E_REFUSED, function,
                            "callers outside the infrastructure hold as much memory as they may");
        size_t got = 0;
        int err = 0;
        switch (m_socket.receiveSome(to, room, until, got, err)) {
            case Io::Ok:
                m_assembler.commit(got);
                m_lastByte = m_clock.steadyNow();
                if (m_frameSince.load(std::memory_order_relaxed) == 0)
                    m_frameSince.store(m_lastByte.time_since_epoch().count());
                continue;
            case Io::TimedOut:
                if (inFrame && m_clock.steadyNow() >= m_lastByte + stall)
                    return breakOff(ZYNET_E_DISCONNECTED, function, "the peer stopped inside a frame");
                timedOut = true;
                return failed(ZYNET_E_TIMEOUT, function, std::string());
            case Io::Closed:
                return breakOff(ZYNET_E_DISCONNECTED, function,
                                inFrame ? "the peer left inside a frame" : "the peer left");
            case Io::Failed:
                return breakOff(ZYNET_E_SOCKET, function, std::strerror(err));
        }
    }
}

CUxError CZyNetwork::receiveKind(FrameKind kind, TFrame& frame, unsigned long* code,
                                 zysHostProtocolHeader* header, int timeoutSeconds, bool& timedOut,
                                 const char* function) {
    if (code) *code = 0;
    if (header) *header = zysHostProtocolHeader();
    CUxError error =
        receiveFrame(frame, waitUntil(zynet::effectiveSeconds(timeoutSeconds)), timedOut, function);
    // Nothing (or only part of a frame) arrived in time: the session goes on and the caller, told by
    // the flag, asks again.
    if (error.IsError() && timedOut && m_state == State::Open) return CUxError::Success();
    if (error.IsError()) return error;
    if (frame.kind == FrameKind::Control)
        return breakOff(ZYNET_E_BAD_FRAME, function, "control frame inside a session");
    if (code) *code = frame.code;
    if (header)
        *header = {frame.code, static_cast<unsigned int>(frame.kind), frame.length, m_peer.protocolVersion};
    // A peer's goodbye ends the session whatever kind of message was awaited: a normal end, no error.
    if (frame.kind == FrameKind::Xdr && frame.code == ZYS_PM_DISCONNECT_REQ && kind != FrameKind::Xdr)
        return breakOff(ZYNET_E_DISCONNECTED, function, "the peer ended the session");
    // The two sides no longer agree on the exchange, and the message cannot be handed back: the
    // session ends rather than lose it quietly.
    if (frame.kind != kind)
        return breakOff(ZYNET_E_UNEXPECTED_KIND, function,
                        (frame.kind == FrameKind::Xml ? "XML message " : "XDR message ") +
                            ZYS_FileSystemRestore_PM_STRING(frame.code));
    return CUxError::Success();
}

// ---- opening ------------------------------------------------------------------------------------

CUxError CZyNetwork::resolve(const char* host, TZyNetAddress& address) {
    CUxError error = CZyNetDirectory::instance().resolve(host ? host : "", address);
    if (error.IsError()) {
        CHubMutexLock lock(m_errorMutex);
        m_lastError = error.GetErrorText();
    }
    return error;
}

CUxError CZyNetwork::Connect(const char* host, const char* service, const char* localName, int timeoutSeconds,
                             bool& timedOut) {
    timedOut = false;
    TZyNetAddress address;
    CUxError error = resolve(host, address);
    if (error.IsError()) return error;
    return Connect(address, service, localName, timeoutSeconds, timedOut);
}

CUxError CZyNetwork::Connect(const TZyNetAddress& address, const char* service, const char* localName,
                             int timeoutSeconds, bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::Connect";
    TAnswer answer;
    CUxError error = open(address, zynet::kHello, helloBytes(service, localName), localName, timeoutSeconds,
                          timedOut, answer, kFunction);
    if (error.IsError()) return error;
    return welcomed(answer, address, std::string(service ? service : "") + " on " + address.host,
                    ZYNET_E_REFUSED, kFunction);
}

CUxError CZyNetwork::Attach_RemoteDLL(const char* host, const TZyRemoteDLL& launcher, const char* localName,
                                      int timeoutSeconds, bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::Attach_RemoteDLL";
    timedOut = false;
    TZyNetAddress address;
    CUxError error = resolve(host, address);
    if (error.IsError()) return error;

    // The names are read to their first NUL and never past their fields.
    const std::string name(launcher.name, strnlen(launcher.name, sizeof(launcher.name) - 1));
    const std::string alternate(launcher.alternateName,
                                strnlen(launcher.alternateName, sizeof(launcher.alternateName) - 1));
    const std::string ourClient = localName && *localName ? localName : zynet::localClientName();
    const std::string ourHost = zynet::localHostName();
    TZynLaunch launch;
    launch.protocolVersion = zynet::options().protocolVersion;
    launch.launcher = name.c_str();
    launch.alternate = alternate.c_str();
    launch.clientName = ourClient.c_str();
    launch.hostName = ourHost.c_str();
    TAnswer answer;
    error =
        open(address, zynet::kLaunch, zynet::encodeRecordBytes(fsr::LayoutOf<TZynLaunch>::layout, &launch),
             localName, timeoutSeconds, timedOut, answer, kFunction);
    if (error.IsError()) return error;
    return welcomed(answer, address, "launcher [" + name + "] on " + address.host, 0, kFunction);
}

std::vector<uint8_t> CZyNetwork::helloBytes(const char* service, const char* localName) {
    const std::string ourClient = localName && *localName ? localName : zynet::localClientName();
    const std::string ourHost = zynet::localHostName();
    TZynHello hello;
    hello.protocolVersion = zynet::options().protocolVersion;
    hello.service = service ? service : "";
    hello.clientName = ourClient.c_str();
    hello.hostName = ourHost.c_str();
    return zynet::encodeRecordBytes(fsr::LayoutOf<TZynHello>::layout, &hello);
}

CUxError CZyNetwork::secure(const char* localName, const std::string& peerName, Deadline deadline,
                            bool& timedOut, bool& shed, const char* function) {
    shed = false;
    auto context = zynet::clientContext(localName ? localName : "");
    if (!context) {
        if (zynet::options().allowPlainSessions) return CUxError::Success();
        return failed(ZYNET_E_NO_CREDENTIALS, function,
                      "no authority certificate is installed, and plain sessions are not allowed");
    }
    std::string why;
    if (!m_socket.startTls(std::move(context), false, why, peerName) ||
        !m_socket.handshake(deadline, why, timedOut, &shed))
        return failed(timedOut ? ZYNET_E_TIMEOUT : ZYNET_E_SECURITY, function, why);
    return CUxError::Success();
}

CUxError CZyNetwork::open(const TZyNetAddress& address, uint32_t code, const std::vector<uint8_t>& opening,
                          const char* localName, int timeoutSeconds, bool& timedOut, TAnswer& answer,
                          const char* function) {
    timedOut = false;
    if (m_state != State::Idle)
        return failed(ZYNET_E_BAD_ARGUMENT, function, "the session was opened before");
    if (opening.empty()) return failed(ZYNET_E_BAD_ARGUMENT, function, "a name is too long");
    if (opening.size() > zynet::kMaxOpeningBytes)
        return failed(ZYNET_E_BAD_ARGUMENT, function, std::to_string(opening.size()) + " bytes of opening");
    const Deadline deadline =
        waitUntil(timeoutSeconds < 0 ? zynet::options().connectSeconds : timeoutSeconds);

    // A listener under a flood of connections that say nothing sheds the oldest of them, and a
    // connection whose first bytes it had not read yet may be one; a server whose share of callers is
    // full closes an idle session for a newcomer, and one just opened may be it. Closed before its
    // opening was answered, nothing but the opening was sent: it is made again while the time allows (a
    // few times).
    constexpr int kConnections = 4;
    for (int made = 1;; ++made) {
        bool again = false;
        CUxError error =
            openOnce(address, code, opening, localName, deadline, timedOut, answer, again, function);
        if (!error.IsError() || !again || made == kConnections || m_clock.steadyNow() >= deadline)
            return error;
        m_state = State::Idle;
        CHubMutexLock lock(m_receiveMutex);
        m_assembler = zynet::CFrameAssembler(zynet::options().maxFrameBytes);
    }
}

CUxError CZyNetwork::openOnce(const TZyNetAddress& address, uint32_t code,
                              const std::vector<uint8_t>& opening, const char* localName,
                              zynet::Deadline deadline, bool& timedOut, TAnswer& answer, bool& again,
                              const char* function) {
    again = false;
    std::string why;
    m_socket =
        zynet::CSocket::connectTo(address.host, address.port, deadline, m_cancelFd, why, timedOut, m_clock);
    if (!m_socket.valid()) return failed(timedOut ? ZYNET_E_TIMEOUT : ZYNET_E_CONNECT, function, why);
    CUxError error = secure(localName, address.peerName, deadline, timedOut, again, function);
    if (error.IsError()) {
        m_socket.close();
        return error;
    }
    // Any machine the authority certified completes the handshake: only the name tells it is the one
    // meant, and nothing (the opening included) goes to another.
    if (m_socket.secure() && !address.peerName.empty()) {
        const std::string proved = m_socket.peerCertificateName();
        if (proved != address.peerName) {
            m_socket.close();
            return failed(ZYNET_E_SECURITY, function,
                          address.host + ":" + std::to_string(address.port) + " proved the name [" + proved +
                              "], not [" + address.peerName + "] that was asked for");
        }
    }

    m_state = State::Open;
    const int seconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(deadline - m_clock.steadyNow()).count() + 1);
    error = sendFrame(FrameKind::Control, code, opening.data(), opening.size(), seconds, timedOut, function);
    if (!error.IsError()) {
        CHubMutexLock lock(m_receiveMutex);
        TFrame frame;
        error = receiveFrame(frame, deadline, timedOut, function);
        if (!error.IsError()) {
            answer.code = frame.kind == FrameKind::Control ? frame.code : 0;
            answer.payload.assign(frame.payload, frame.payload + frame.length);
            return CUxError::Success();
        }
    }
    again = error.GetErrorCode() == ZYNET_E_DISCONNECTED;
    shutdown();
    m_socket.close();
    return error;
}

CUxError CZyNetwork::welcomed(const TAnswer& answer, const TZyNetAddress& address, const std::string& what,
                              int refusalCode, const char* function) {
    if (answer.code != zynet::kWelcome) return unwelcome(answer, what, refusalCode, function);
    fsr::CArena arena;
    TZynWelcome welcome;
    if (fsr::decodeRecord(fsr::LayoutOf<TZynWelcome>::layout, answer.payload.data(), answer.payload.size(),
                          arena, &welcome) != fsr::Status::Ok)
        return breakOff(ZYNET_E_BAD_FRAME, function, "the listener's welcome does not parse");
    m_peer.protocolVersion = welcome.protocolVersion;
    m_peer.hostName = *welcome.hostName ? welcome.hostName : address.host;
    m_peer.address = address.host;
    if (m_socket.secure()) {
        // Who answered is what its certificate says, whatever its welcome claims.
        m_peer.clientName = m_socket.peerCertificateName();
        m_peer.proven = !m_peer.clientName.empty();
    } else {
        m_peer.clientName = welcome.clientName;
        m_peer.proven = true;  // plain sessions are allowed here: claims are all there is
    }
    return CUxError::Success();
}

CUxError CZyNetwork::unwelcome(const TAnswer& answer, const std::string& what, int refusalCode,
                               const char* function) {
    if (answer.code != zynet::kRefused)
        return breakOff(ZYNET_E_BAD_FRAME, function, "the listener did not answer the opening");
    fsr::CArena arena;
    TZynRefusal refusal;
    const bool read = fsr::decodeRecord(fsr::LayoutOf<TZynRefusal>::layout, answer.payload.data(),
                                        answer.payload.size(), arena, &refusal) == fsr::Status::Ok;
    shutdown();
    int code = refusalCode;
    if (code == 0) code = read && zynet::isKnownError(refusal.code) ? refusal.code : ZYNET_E_REFUSED;
    return failed(code, function, what + ": " + (read ? refusal.reason : "no reason given"));
}

void CZyNetwork::prepare(const TPeer& peer, const uint8_t* pending, size_t pendingSize) {
    m_peer = peer;
    CHubMutexLock lock(m_receiveMutex);  // nobody else has the session yet
    if (!peer.trusted)
        m_assembler.setMaxPayload(
            std::min(zynet::options().anonymousMaxFrameBytes, zynet::options().maxFrameBytes));
    if (!peer.trusted) m_stallSeconds = zynet::options().anonymousFirstFrameSeconds;
    if (pendingSize > 0) m_assembler.append(pending, pendingSize);
    if (m_assembler.midFrame()) m_frameSince.store(m_clock.steadyNow().time_since_epoch().count());
    // What an outsider's frames take while they arrive counts with what its messages hold.
    if (!peer.trusted) m_assembler.chargeTo(&zynet::outsidersHeld());
    m_lastByte = m_clock.steadyNow();
}

void CZyNetwork::adopt(zynet::CSocket socket) {
    m_socket = std::move(socket);
    m_state = State::Open;
}

// ---- XML ----------------------------------------------------------------------------------------

CUxError CZyNetwork::SendXMLMessage(CNMessageBase* message, int, int timeoutSeconds, bool& timedOut) {
    timedOut = false;
    if (message == nullptr) return failed(ZYNET_E_BAD_ARGUMENT, "CZyNetwork::SendXMLMessage", "no message");
    std::string xml, why;
    if (!zynet::messageToXml(*message, xml, why))
        return failed(ZYNET_E_BAD_PAYLOAD, "CZyNetwork::SendXMLMessage", why);
    return sendFrame(FrameKind::Xml, static_cast<uint32_t>(message->getTagID()),
                     reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), timeoutSeconds, timedOut,
                     "CZyNetwork::SendXMLMessage");
}

CUxError CZyNetwork::SendXMLMessages(const std::vector<std::pair<unsigned long, std::string>>& messages,
                                     int timeoutSeconds, bool& timedOut) {
    std::vector<TOutFrame> frames;
    frames.reserve(messages.size());
    for (const auto& [tag, xml] : messages)
        frames.push_back({FrameKind::Xml, static_cast<uint32_t>(tag),
                          reinterpret_cast<const uint8_t*>(xml.data()), xml.size()});
    return sendFrames(frames.data(), frames.size(), timeoutSeconds, timedOut, "CZyNetwork::SendXMLMessages");
}

CUxError CZyNetwork::SendXMLMessage(unsigned long tag, const std::string& xml, int, int timeoutSeconds,
                                    bool& timedOut) {
    return sendFrame(FrameKind::Xml, static_cast<uint32_t>(tag), reinterpret_cast<const uint8_t*>(xml.data()),
                     xml.size(), timeoutSeconds, timedOut, "CZyNetwork::SendXMLMessage");
}

CUxError CZyNetwork::ReceiveXMLMessage(unsigned long* code, CNMessageBase*& message,
                                       zysHostProtocolHeader* header, int, int timeoutSeconds,
                                       bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::ReceiveXMLMessage";
    message = nullptr;
    CHubMutexLock lock(m_receiveMutex);
    TFrame frame;
    CUxError error = receiveKind(FrameKind::Xml, frame, code, header, timeoutSeconds, timedOut, kFunction);
    if (error.IsError() || timedOut) return error;
    std::string why;
    message = zynet::messageFromXml(frame.code, frame.payload, frame.length, why);
    return message ? CUxError::Success() : breakOff(ZYNET_E_BAD_PAYLOAD, kFunction, why);
}

CUxError CZyNetwork::ReceiveXMLMessage(unsigned long* code, std::string& xml, zysHostProtocolHeader* header,
                                       int, int timeoutSeconds, bool& timedOut) {
    xml.clear();
    CHubMutexLock lock(m_receiveMutex);
    TFrame frame;
    CUxError error = receiveKind(FrameKind::Xml, frame, code, header, timeoutSeconds, timedOut,
                                 "CZyNetwork::ReceiveXMLMessage");
    if (!error.IsError() && !timedOut) xml.assign(reinterpret_cast<const char*>(frame.payload), frame.length);
    return error;
}

// ---- XDR ----------------------------------------------------------------------------------------

CUxError CZyNetwork::SendXDRMessage(unsigned long code, zysDatabuf_v2* data, int, int timeoutSeconds,
                                    bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::SendXDRMessage";
    timedOut = false;
    const void* record = data ? data->getDataBuffer() : nullptr;
    const size_t recordSize = data ? data->getDataSize() : 0;
    const fsr::TMessage* message = fsr::findMessage(code);
    if (message == nullptr)  // outside the restore protocol: the bytes as they are
        return sendFrame(FrameKind::Xdr, static_cast<uint32_t>(code), static_cast<const uint8_t*>(record),
                         recordSize, timeoutSeconds, timedOut, kFunction);

    size_t size = 0;
    fsr::Status status = fsr::encodedSize(*message, record, recordSize, size);
    // Most records are small: they are encoded on the stack.
    uint8_t small[512];
    std::vector<uint8_t> large;
    uint8_t* payload = small;
    if (status == fsr::Status::Ok && size > sizeof(small)) {
        large.resize(size);
        payload = large.data();
    }
    if (status == fsr::Status::Ok) status = fsr::encode(*message, record, recordSize, payload, size);
    if (status != fsr::Status::Ok)
        return failed(ZYNET_E_BAD_RECORD, kFunction,
                      std::string(message->name) + ": " + fsr::statusText(status));
    return sendFrame(FrameKind::Xdr, static_cast<uint32_t>(code), payload, size, timeoutSeconds, timedOut,
                     kFunction);
}

CUxError CZyNetwork::ReceiveXDRMessage(unsigned long* code, zysDatabuf_v2* data,
                                       zysHostProtocolHeader* header, int, int timeoutSeconds,
                                       bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::ReceiveXDRMessage";
    timedOut = false;
    if (code) *code = 0;
    if (data == nullptr) return failed(ZYNET_E_BAD_ARGUMENT, kFunction, "no buffer");
    // Whatever happens, the previous record is gone: a caller that misses the flag reads no stale one.
    data->freeReceived();
    CHubMutexLock lock(m_receiveMutex);
    TFrame frame;
    CUxError error = receiveKind(FrameKind::Xdr, frame, code, header, timeoutSeconds, timedOut, kFunction);
    if (error.IsError() || timedOut) return error;
    return decodeXdr(frame, data, kFunction);
}

CUxError CZyNetwork::decodeXdr(const TFrame& frame, zysDatabuf_v2* data, const char* function) {
    data->freeReceived();
    if (const fsr::TMessage* message = fsr::findMessage(frame.code)) {
        void* record = nullptr;
        size_t recordSize = 0;
        if (fsr::Status s =
                fsr::decode(*message, frame.payload, frame.length, data->receiveArena(), record, recordSize);
            s != fsr::Status::Ok) {
            data->freeReceived();
            return breakOff(ZYNET_E_BAD_PAYLOAD, function,
                            std::string(message->name) + ": " + fsr::statusText(s));
        }
        data->setReceived(record, recordSize);
    } else {
        void* bytes = data->receiveArena().allocate(frame.length, 1);
        if (frame.length > 0) std::memcpy(bytes, frame.payload, frame.length);
        data->setReceived(bytes, frame.length);
    }
    return CUxError::Success();
}

CUxError CZyNetwork::FreeReceivedMessage(unsigned long, zysDatabuf_v2* data) {
    if (data == nullptr) return failed(ZYNET_E_BAD_ARGUMENT, "CZyNetwork::FreeReceivedMessage", "no buffer");
    data->freeReceived();
    return CUxError::Success();
}

// ---- ending -------------------------------------------------------------------------------------

CUxError CZyNetwork::Disconnect(int timeoutSeconds, bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::Disconnect";
    timedOut = false;
    if (m_state != State::Open) {
        shutdown();
        return CUxError::Success();
    }
    CUxError error =
        sendFrame(FrameKind::Xdr, ZYS_PM_DISCONNECT_REQ, nullptr, 0, timeoutSeconds, timedOut, kFunction);
    if (error.IsError()) {
        shutdown();
        return error;
    }
    m_state = State::Closing;
    const Deadline deadline = waitUntil(zynet::effectiveSeconds(timeoutSeconds));
    CHubMutexLock lock(m_receiveMutex);
    for (;;) {
        TFrame frame;
        error = receiveFrame(frame, deadline, timedOut, kFunction);
        if (error.IsError()) {
            // The peer leaving is as good as its reply.
            if (error.GetErrorCode() == ZYNET_E_DISCONNECTED) error = CUxError::Success();
            break;
        }
        if (frame.kind == FrameKind::Xdr && frame.code == ZYS_PM_DISCONNECT_REPLY) break;
        zynet::logDebug(3, "%s: dropped message [%s] while disconnecting", kFunction,
                        ZYS_FileSystemRestore_PM_STRING(frame.code).c_str());
    }
    shutdown();
    return error;
}

CUxError CZyNetwork::ReplyDisconnect(int timeoutSeconds, bool& timedOut) {
    CUxError error = sendFrame(FrameKind::Xdr, ZYS_PM_DISCONNECT_REPLY, nullptr, 0, timeoutSeconds, timedOut,
                               "CZyNetwork::ReplyDisconnect");
    State open = State::Open;
    if (!error.IsError()) m_state.compare_exchange_strong(open, State::Closing);
    return error;
}

CUxError CZyNetwork::AbortConnection(const zysStatus& status, int timeoutSeconds, bool& timedOut) {
    static const char* const kFunction = "CZyNetwork::AbortConnection";
    std::vector<uint8_t> payload;
    if (fsr::Status s = fsr::encode(*fsr::findMessage(ZYS_PM_ABORT_REQ), &status, sizeof(status), payload);
        s != fsr::Status::Ok)
        return failed(ZYNET_E_BAD_RECORD, kFunction, fsr::statusText(s));
    CUxError error = sendFrame(FrameKind::Xdr, ZYS_PM_ABORT_REQ, payload.data(), payload.size(),
                               timeoutSeconds, timedOut, kFunction);
    State open = State::Open;
    if (m_state.compare_exchange_strong(open, State::Closing)) {
        m_socket.shutdownWrite();
        zynet::logDebug(0, "%s: session with [%s] (%s) aborted by this side (status %d); closed", kFunction,
                        m_peer.clientName.c_str(), m_peer.address.c_str(), static_cast<int>(status.status));
    }
    return error;
}

zynet::Deadline CZyNetwork::waitUntil(int seconds) const {
    return std::min(zynet::deadlineIn(seconds, m_clock), m_deadline);
}

void CZyNetwork::lingerClose() {
    if (m_state == State::Idle) return;
    m_socket.shutdownWrite();
    CHubMutexLock lock(m_receiveMutex);
    const Deadline deadline = waitUntil(kLingerSeconds);
    uint8_t scratch[4096];
    size_t got = 0;
    int err = 0;
    while (m_socket.receiveSome(scratch, sizeof(scratch), deadline, got, err) == Io::Ok) {
    }
    shutdown();
}

CZyNetwork::Activity CZyNetwork::activity(zynet::Clock::time_point now, zynet::Clock::duration fresh) const {
    pollfd p{m_socket.fd(), POLLIN | POLLRDHUP, 0};
    if (m_state != State::Open || p.fd < 0) return Activity::Gone;
    if (poll(&p, 1, 0) > 0) {
        if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return Activity::Gone;
        return Activity::Message;  // bytes wait to be read
    }
    const auto since = m_frameSince.load();
    if (since != 0 && now - zynet::Clock::time_point(zynet::Clock::duration(since)) < fresh)
        return Activity::Message;
    return Activity::Idle;
}

bool CZyNetwork::reusable() {
    if (m_state != State::Open) return false;
    if (!m_receiveMutex.try_lock()) return false;
    const bool quiet = !m_assembler.midFrame() && !m_socket.readable();
    m_receiveMutex.unlock();
    return quiet;
}

// ---- the peer -----------------------------------------------------------------------------------

CUxError CZyNetwork::GetProtocolVersion(unsigned int& version) const {
    if (m_state == State::Idle)
        return zynet::makeError(ZYNET_E_NOT_CONNECTED, "CZyNetwork::GetProtocolVersion", std::string());
    version = m_peer.protocolVersion;
    return CUxError::Success();
}

CUxError CZyNetwork::GetRemoteClientName(CUxString& name) const {
    if (m_state == State::Idle)
        return zynet::makeError(ZYNET_E_NOT_CONNECTED, "CZyNetwork::GetRemoteClientName", std::string());
    name = m_peer.clientName;
    return CUxError::Success();
}

bool CZyNetwork::IsPeerProven() const {
    return m_state != State::Idle && m_peer.proven;
}

std::string CZyNetwork::GetPeerAddress() const {
    return m_state == State::Idle ? std::string() : m_peer.address;
}

bool CZyNetwork::IsSecure() const {
    return m_socket.secure();
}

std::string CZyNetwork::GetCertificateName() const {
    return m_socket.secure() ? m_socket.peerCertificateName() : std::string();
}

std::string CZyNetwork::GetOwnCertificateName() const {
    return m_socket.secure() ? m_socket.ownCertificateName() : std::string();
}

bool CZyNetwork::IsSessionResumed() const {
    return m_socket.resumed();
}

CUxError CZyNetwork::GetPeerName(CUxString& name) const {
    if (m_state == State::Idle)
        return zynet::makeError(ZYNET_E_NOT_CONNECTED, "CZyNetwork::GetPeerName", std::string());
    name = m_peer.hostName;
    return CUxError::Success();
}

// Test support: one raw TCP connection that speaks the session wire format frame by frame, with
// nothing of the session layer's own checks, so that tests can play either side and misbehave on
// purpose. One thread uses a link at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/zynet_frame.h"
#include "platform/net/zynet_socket.h"
#include "platform/restoreproto/fsr_codec.h"

namespace hubtest {

struct TRawFrame {
    zynet::FrameKind kind = zynet::FrameKind::Xdr;
    uint32_t code = 0;
    std::vector<uint8_t> payload;
};

// The XDR bytes of a message's record (an FSRItemArray for array codes; null for empty ones).
std::vector<uint8_t> encodeMessage(uint32_t code, const void* record, size_t recordSize);
template <class T>
std::vector<uint8_t> encodeMessage(uint32_t code, const T& record) {
    return encodeMessage(code, &record, sizeof(record));
}
template <class T>
std::vector<uint8_t> encodeArray(uint32_t code, const std::vector<T>& items) {
    FSRItemArray array;
    array.count = static_cast<uint32_t>(items.size());
    array.items = items.data();
    return encodeMessage(code, array);
}

class CFrameLink {
public:
    CFrameLink() = default;
    explicit CFrameLink(zynet::CSocket socket) : m_socket(std::move(socket)) {}

    // Connects over TLS with the process's credentials, or those it holds for the local name `as`
    // (`secure` false: plain, as a peer that cannot), from the loopback address `from` when one is given
    // (a crowd of addresses on one machine).
    bool connect(int port, int seconds = 10, bool secure = true, const std::string& as = std::string(),
                 const std::string& from = std::string());
    // The accepting side: TLS (as the local name `as`) when the peer opens with a handshake, else
    // plain; false when it fails.
    bool serve(int seconds = 20, const std::string& as = std::string());
    bool valid() const { return m_socket.valid(); }

    bool sendRaw(const std::vector<uint8_t>& bytes, int seconds = 10);
    bool send(zynet::FrameKind kind, uint32_t code, const std::vector<uint8_t>& payload, int seconds = 10);
    // The next frame; false on time-out, end of stream or a bad header (`why` tells which).
    bool receive(TRawFrame& frame, int seconds, std::string& why);
    // True when the other side closed the connection within the time.
    bool waitForClose(int seconds);

    // Client side of the opening: names the service, reads the welcome (or refusal).
    bool open(const std::string& service, const std::string& clientName, unsigned protocolVersion,
              std::string& why);
    // Only names the service: its answer is read with receive, for a caller that does not wait for it.
    bool sendOpening(const std::string& service, const std::string& clientName, unsigned protocolVersion);

    void shutdownWrite() { m_socket.shutdownWrite(); }
    void close() { m_socket.close(); }

private:
    zynet::CSocket m_socket;
    zynet::CFrameAssembler m_assembler{256u << 20};
};

// One caller of a crowd or of a model walk: a session opened without waiting for its answer, whose
// messages and end are read by polls that never wait, so that one thread plays many callers at once.
class CPolledCaller {
public:
    enum class State : uint8_t { Closed, Opening, Open };
    // From loopback address `from` ("": the system's choice), speaking as the local machine `as` (see
    // CFrameLink::connect).
    CPolledCaller(std::string from, std::string as) : m_from(std::move(from)), m_as(std::move(as)) {}

    // Connects (from its address, as its machine) and names `service`: Opening, or Closed when it
    // cannot connect.
    void open(int port, const std::string& service);
    // Reads what has come without waiting: the answer to its opening (Open, or Closed on a refusal),
    // each message (handed to `onMessage`), and the server's close (Closed, counted).
    void poll(const std::function<void(const TRawFrame&)>& onMessage = nullptr);
    bool send(const std::vector<uint8_t>& bytes) { return m_link.sendRaw(bytes); }
    void close();

    State state() const { return m_state; }
    int closes() const { return m_closes; }      // times the server closed it once open
    int refusals() const { return m_refusals; }  // openings refused

private:
    CFrameLink m_link;
    std::string m_from, m_as;
    State m_state = State::Closed;
    int m_closes = 0, m_refusals = 0;
};

}  // namespace hubtest

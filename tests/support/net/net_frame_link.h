// Test support: one raw TCP connection that speaks the session wire format frame by frame, with
// nothing of the session layer's own checks, so that tests can play either side and misbehave on
// purpose. One thread uses a link at a time.
#pragma once

#include <cstdint>
#include <string>
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

    void shutdownWrite() { m_socket.shutdownWrite(); }
    void close() { m_socket.close(); }

private:
    zynet::CSocket m_socket;
    zynet::CFrameAssembler m_assembler{256u << 20};
};

}  // namespace hubtest

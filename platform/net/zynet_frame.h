// The wire format of network sessions: a fixed 16-byte header (magic, version, kind, flags, code,
// payload length; big-endian) and the payload; the opening exchange records; and the assembler that
// cuts a byte stream into frames. An assembler belongs to one reading thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/restoreproto/fsr_layout.h"
#include "platform/threads/hubmutex.h"

namespace zynet {

constexpr uint32_t kFrameMagic = 0x5A594E46;  // "ZYNF"
constexpr uint16_t kWireVersion = 1;
constexpr size_t kHeaderSize = 16;
// The largest opening payload a listener reads (an on-demand request carries its input text).
constexpr uint32_t kMaxOpeningBytes = 256 * 1024;

enum class FrameKind : uint8_t {
    Xml = 1,      // code: the message tag; payload: the message's XML text
    Xdr = 2,      // code: the message code; payload: the record in XDR
    Control = 3,  // code: a ControlCode; payload: an opening-exchange record in XDR
};

// The opening exchange: the client names the service it wants (hello), asks for a launcher to be
// started for this session (launch), asks for an on-demand instance (payload: the request's XML; the
// answer "launched" carries the details' XML, then the connection ends) or only asks whether the
// listener answers (probe: a hello record, welcomed, then the connection ends). The listener welcomes
// or refuses.
enum ControlCode : uint32_t {
    kHello = 1,
    kWelcome = 2,
    kRefused = 3,
    kLaunch = 4,
    kLaunchOnDemand = 5,
    kLaunched = 6,
    kProbe = 7,
};

struct TFrameHeader {
    FrameKind kind;
    uint32_t code;
    uint32_t length;
};

enum class FrameStatus : uint8_t { NeedMore, Frame, BadMagic, BadVersion, BadKind, TooLarge };
const char* frameStatusText(FrameStatus status);

void encodeHeader(const TFrameHeader& header, uint8_t (&out)[kHeaderSize]);
// Checks a header before anything is allocated for its payload.
FrameStatus decodeHeader(const uint8_t* in, uint32_t maxPayload, TFrameHeader& header);

// The XDR bytes of a record of a described layout; empty when a text does not fit its field.
std::vector<uint8_t> encodeRecordBytes(const fsr::TLayout& layout, const void* record);
// A whole frame, header then payload.
std::vector<uint8_t> buildFrame(FrameKind kind, uint32_t code, const uint8_t* payload, size_t size);
// The welcome this machine sends: its protocol version, client name and host name.
std::vector<uint8_t> welcomeBytes();
// A refusal of an opening: its error code and reason.
std::vector<uint8_t> refusalBytes(int code, const std::string& reason);

struct TFrame {
    FrameKind kind;
    uint32_t code;
    const uint8_t* payload;  // valid until the assembler's next prepare()
    uint32_t length;
};

// What the receive buffers and messages of peers outside the infrastructure hold in this process at
// once, against TZyNetOptions::anonymousHeldBytes. Any thread.
class CHeldBytes {
public:
    // Takes `bytes` when they fit; a share that is not `small` only up to the reserve kept for small ones.
    bool take(uint64_t bytes, bool small);
    void give(uint64_t bytes);

private:
    CHubMutex m_mutex;
    uint64_t m_held GUARDED_BY(m_mutex) = 0;
};
CHeldBytes& outsidersHeld();

class CFrameAssembler {
public:
    explicit CFrameAssembler(uint32_t maxPayload) : m_maxPayload(maxPayload) {}
    ~CFrameAssembler();
    CFrameAssembler(CFrameAssembler&& other) noexcept;
    CFrameAssembler& operator=(CFrameAssembler&& other) noexcept;
    // From now on the buffer's growth is charged to `ledger` until the buffer is given back; a growth the
    // ledger refuses makes prepare() answer nullptr (no room).
    void chargeTo(CHeldBytes* ledger) { m_ledger = ledger; }
    // Frames after this call are held to the new limit.
    void setMaxPayload(uint32_t maxPayload) { m_maxPayload = maxPayload; }

    // Where the next received bytes go; the room grows with the bytes of the frame actually
    // arriving, never with what a header claims.
    uint8_t* prepare(size_t& room);
    void commit(size_t n) { m_end += n; }
    void append(const uint8_t* data, size_t size);

    // The next whole frame, NeedMore, or the fault of a bad header (the stream is then unusable).
    FrameStatus next(TFrame& frame);

    // Bytes of an unfinished frame are held.
    bool midFrame() const { return m_end > m_begin; }
    size_t buffered() const { return m_end - m_begin; }
    // The held bytes, for handing a stream over to another reader.
    const uint8_t* data() const { return m_buffer.get() + m_begin; }
    // Gives back a buffer larger than `keep` bytes while no byte is held in it: a session that sent one
    // big frame does not keep its size while it idles.
    void shrink(size_t keep);

private:
    void release();

    uint32_t m_maxPayload;
    CHeldBytes* m_ledger = nullptr;
    size_t m_charged = 0;  // bytes of the buffer charged to m_ledger
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity = 0;
    size_t m_begin = 0;  // first byte not yet handed out as a frame
    size_t m_end = 0;    // one past the last received byte
};

}  // namespace zynet

// ---- the opening exchange's records --------------------------------------------------------------
#define ZYN_HELLO_FIELDS(F)       \
    F(U32, protocolVersion, 0, 1) \
    F(PAD, reserved, 4, 4)        \
    F(STR, service, 8, 256)       \
    F(STR, clientName, 16, 256)   \
    F(STR, hostName, 24, 256)
#define ZYN_WELCOME_FIELDS(F)     \
    F(U32, protocolVersion, 0, 1) \
    F(PAD, reserved, 4, 4)        \
    F(STR, clientName, 8, 256)    \
    F(STR, hostName, 16, 256)
#define ZYN_REFUSAL_FIELDS(F) \
    F(I32, code, 0, 1)        \
    F(PAD, reserved, 4, 4)    \
    F(STR, reason, 8, 1024)
// The two names under which the launcher may be registered, tried in this order.
#define ZYN_LAUNCH_FIELDS(F)      \
    F(U32, protocolVersion, 0, 1) \
    F(PAD, reserved, 4, 4)        \
    F(STR, launcher, 8, 256)      \
    F(STR, alternate, 16, 256)    \
    F(STR, clientName, 24, 256)   \
    F(STR, hostName, 32, 256)
#define ZYN_RECORDS(R)                     \
    R(TZynHello, 32, ZYN_HELLO_FIELDS)     \
    R(TZynWelcome, 24, ZYN_WELCOME_FIELDS) \
    R(TZynRefusal, 16, ZYN_REFUSAL_FIELDS) \
    R(TZynLaunch, 40, ZYN_LAUNCH_FIELDS)

ZYN_RECORDS(FSR_DECLARE_STRUCT)
ZYN_RECORDS(FSR_DEFINE_LAYOUT)

#include "platform/net/zynet_frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/net/zynet_options.h"
#include "platform/restoreproto/fsr_codec.h"

namespace zynet {
namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

constexpr size_t kMinRoom = 16 * 1024;
constexpr size_t kMaxRoom = 1024 * 1024;

}  // namespace

const char* frameStatusText(FrameStatus status) {
    switch (status) {
        case FrameStatus::NeedMore:
            return "incomplete frame";
        case FrameStatus::Frame:
            return "frame";
        case FrameStatus::BadMagic:
            return "bad magic";
        case FrameStatus::BadVersion:
            return "unsupported wire version";
        case FrameStatus::BadKind:
            return "unknown frame kind or flags";
        case FrameStatus::TooLarge:
            return "frame larger than the limit";
    }
    return "unknown";
}

void encodeHeader(const TFrameHeader& header, uint8_t (&out)[kHeaderSize]) {
    put32(out, kFrameMagic);
    put16(out + 4, kWireVersion);
    out[6] = static_cast<uint8_t>(header.kind);
    out[7] = 0;
    put32(out + 8, header.code);
    put32(out + 12, header.length);
}

FrameStatus decodeHeader(const uint8_t* in, uint32_t maxPayload, TFrameHeader& header) {
    if (get32(in) != kFrameMagic) return FrameStatus::BadMagic;
    if (get16(in + 4) != kWireVersion) return FrameStatus::BadVersion;
    if (in[6] < static_cast<uint8_t>(FrameKind::Xml) || in[6] > static_cast<uint8_t>(FrameKind::Control) ||
        in[7] != 0)
        return FrameStatus::BadKind;
    header.kind = static_cast<FrameKind>(in[6]);
    header.code = get32(in + 8);
    header.length = get32(in + 12);
    return header.length <= maxPayload ? FrameStatus::Frame : FrameStatus::TooLarge;
}

std::vector<uint8_t> encodeRecordBytes(const fsr::TLayout& layout, const void* record) {
    size_t size = 0;
    std::vector<uint8_t> bytes;
    if (fsr::encodedRecordSize(layout, record, size) == fsr::Status::Ok) {
        bytes.resize(size);
        if (fsr::encodeRecord(layout, record, bytes.data(), size) != fsr::Status::Ok) bytes.clear();
    }
    return bytes;
}

std::vector<uint8_t> buildFrame(FrameKind kind, uint32_t code, const uint8_t* payload, size_t size) {
    std::vector<uint8_t> frame(kHeaderSize + size);
    uint8_t header[kHeaderSize];
    encodeHeader({kind, code, static_cast<uint32_t>(size)}, header);
    std::memcpy(frame.data(), header, kHeaderSize);
    if (size > 0) std::memcpy(frame.data() + kHeaderSize, payload, size);
    return frame;
}

std::vector<uint8_t> welcomeBytes() {
    TZynWelcome welcome;
    welcome.protocolVersion = options().protocolVersion;
    const std::string client = localClientName();
    const std::string host = localHostName();
    welcome.clientName = client.c_str();
    welcome.hostName = host.c_str();
    return encodeRecordBytes(fsr::LayoutOf<TZynWelcome>::layout, &welcome);
}

std::vector<uint8_t> refusalBytes(int code, const std::string& reason) {
    TZynRefusal refusal;
    refusal.code = code;
    refusal.reason = reason.c_str();
    return encodeRecordBytes(fsr::LayoutOf<TZynRefusal>::layout, &refusal);
}

bool CHeldBytes::take(uint64_t bytes, bool small) {
    const TZyNetOptions& o = options();
    const uint64_t reserve = small ? 0 : std::min(o.anonymousSmallReserveBytes, o.anonymousHeldBytes);
    CHubMutexLock lock(m_mutex);
    if (m_held + bytes > o.anonymousHeldBytes - reserve) return false;
    m_held += bytes;
    return true;
}

void CHeldBytes::give(uint64_t bytes) {
    CHubMutexLock lock(m_mutex);
    m_held -= std::min(m_held, bytes);
}

CHeldBytes& outsidersHeld() {
    static CHeldBytes held;
    return held;
}

CFrameAssembler::~CFrameAssembler() {
    release();
}

CFrameAssembler::CFrameAssembler(CFrameAssembler&& other) noexcept
    : m_maxPayload(other.m_maxPayload),
      m_ledger(other.m_ledger),
      m_charged(std::exchange(other.m_charged, 0)),
      m_buffer(std::move(other.m_buffer)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_begin(std::exchange(other.m_begin, 0)),
      m_end(std::exchange(other.m_end, 0)) {}

CFrameAssembler& CFrameAssembler::operator=(CFrameAssembler&& other) noexcept {
    if (this != &other) {
        release();
        m_maxPayload = other.m_maxPayload;
        m_ledger = other.m_ledger;
        m_charged = std::exchange(other.m_charged, 0);
        m_buffer = std::move(other.m_buffer);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_begin = std::exchange(other.m_begin, 0);
        m_end = std::exchange(other.m_end, 0);
    }
    return *this;
}

void CFrameAssembler::release() {
    if (m_ledger && m_charged) m_ledger->give(m_charged);
    m_charged = 0;
    m_buffer.reset();
    m_capacity = m_begin = m_end = 0;
}

uint8_t* CFrameAssembler::prepare(size_t& room) {
    // How much the frame in progress still lacks (its header first).
    size_t lacking = kHeaderSize;
    TFrameHeader header;
    if (buffered() >= kHeaderSize && decodeHeader(data(), m_maxPayload, header) == FrameStatus::Frame)
        lacking = kHeaderSize + header.length;
    lacking = lacking > buffered() ? lacking - buffered() : 0;
    const size_t want = std::clamp(lacking, kMinRoom, kMaxRoom);

    if (m_begin == m_end) m_begin = m_end = 0;
    if (m_capacity - m_end < want) {
        if (m_begin > 0) {  // move the unfinished frame to the front first
            std::memmove(m_buffer.get(), m_buffer.get() + m_begin, buffered());
            m_end -= m_begin;
            m_begin = 0;
        }
        if (m_capacity - m_end < want) {
            const size_t capacity = std::max(m_end + want, m_capacity * 2);
            if (m_ledger && capacity > m_charged) {
                const bool small = capacity <= size_t{options().anonymousSmallMessageBytes} + kHeaderSize;
                if (!m_ledger->take(capacity - m_charged, small)) {
                    room = 0;
                    return nullptr;
                }
                m_charged = capacity;
            }
            auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
            if (m_end > 0) std::memcpy(grown.get(), m_buffer.get(), m_end);
            m_buffer = std::move(grown);
            m_capacity = capacity;
        }
    }
    room = m_capacity - m_end;
    return m_buffer.get() + m_end;
}

void CFrameAssembler::shrink(size_t keep) {
    if (m_begin == m_end && m_capacity > keep) release();
}

void CFrameAssembler::append(const uint8_t* bytes, size_t size) {
    while (size > 0) {
        size_t room;
        uint8_t* to = prepare(room);
        if (to == nullptr) return;  // refused by its ledger: what is not kept is never handed out
        const size_t n = std::min(room, size);
        std::memcpy(to, bytes, n);
        commit(n);
        bytes += n;
        size -= n;
    }
}

FrameStatus CFrameAssembler::next(TFrame& frame) {
    if (buffered() < kHeaderSize) return FrameStatus::NeedMore;
    TFrameHeader header;
    const FrameStatus status = decodeHeader(data(), m_maxPayload, header);
    if (status != FrameStatus::Frame) return status;
    if (buffered() - kHeaderSize < header.length) return FrameStatus::NeedMore;
    frame = {header.kind, header.code, data() + kHeaderSize, header.length};
    m_begin += kHeaderSize + header.length;
    return FrameStatus::Frame;
}

}  // namespace zynet

// The data buffer that carries one record through an XDR send or receive: an outgoing record is
// only pointed to; a received record lives in memory the buffer owns until it is freed. One thread
// uses a buffer at a time.
#pragma once

#include <cstddef>

#include "platform/restoreproto/fsr_codec.h"

class zysDatabuf_v2 {
public:
    zysDatabuf_v2() = default;
    ~zysDatabuf_v2() = default;
    zysDatabuf_v2(const zysDatabuf_v2&) = delete;
    zysDatabuf_v2& operator=(const zysDatabuf_v2&) = delete;

    // The record to send, or the caller's own receive buffer; neither is copied, written or freed.
    void setExternalBuffer(void* record, size_t size);

    // The received record while one is held, else the external record.
    unsigned char* getDataBuffer() const;
    size_t getDataSize() const;

    // Frees the received record; the external record stays.
    void freeReceived();

    // For the network library: the memory a receive decodes into, and the record it produced.
    fsr::CArena& receiveArena() { return m_arena; }
    void setReceived(void* record, size_t size);

private:
    void* m_external = nullptr;
    size_t m_externalSize = 0;
    void* m_received = nullptr;  // in m_arena
    size_t m_receivedSize = 0;
    bool m_holdsReceived = false;
    fsr::CArena m_arena;
};

#include "platform/net/zysdatabuf.h"

void zysDatabuf_v2::setExternalBuffer(void* record, size_t size) {
    m_external = record;
    m_externalSize = record != nullptr ? size : 0;
}

unsigned char* zysDatabuf_v2::getDataBuffer() const {
    return static_cast<unsigned char*>(m_holdsReceived ? m_received : m_external);
}

size_t zysDatabuf_v2::getDataSize() const {
    return m_holdsReceived ? m_receivedSize : m_externalSize;
}

void zysDatabuf_v2::freeReceived() {
    m_arena.reset();
    m_received = nullptr;
    m_receivedSize = 0;
    m_holdsReceived = false;
}

void zysDatabuf_v2::setReceived(void* record, size_t size) {
    m_received = record;
    m_receivedSize = size;
    m_holdsReceived = true;
}

#include "platform/errors/cuxstring.h"

#include <cstring>

CUxString& CUxString::operator=(const CUxString& other) {
    if (this != &other) assign(other.m_buffer.get(), other.m_length);
    return *this;
}

void CUxString::assign(const char* text) {
    assign(text, text ? std::strlen(text) : 0);
}

void CUxString::assign(const char* text, size_t length) {
    if (text == nullptr || length == 0) {
        m_buffer.reset();
        m_length = 0;
        return;
    }
    auto buffer = std::make_unique<char[]>(length + 1);
    std::memcpy(buffer.get(), text, length);
    buffer[length] = '\0';
    m_buffer = std::move(buffer);
    m_length = length;
}

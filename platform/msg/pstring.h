// Byte strings and password strings carried by messages. A pstring holds a secret in memory; the
// message layer writes it only enciphered and shows it only masked. Plain values: one thread at a time.
#pragma once

#include <string>
#include <string_view>

class bstring {
public:
    bstring() = default;
    bstring(const char* text) : m_bytes(text ? text : "") {}
    bstring(std::string bytes) : m_bytes(std::move(bytes)) {}
    bstring(const void* data, size_t size) : m_bytes(static_cast<const char*>(data), size) {}

    const std::string& str() const { return m_bytes; }
    const char* data() const { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }
    bool operator==(const bstring& other) const = default;

private:
    std::string m_bytes;
};

class pstring : public bstring {
public:
    pstring() = default;
    pstring(const bstring& value, int encryptType) : bstring(value), m_encryptType(encryptType) {}

    int encryptType() const { return m_encryptType; }
    // What logs show instead of the value.
    static constexpr std::string_view kMask = "********";

private:
    int m_encryptType = 1;
};

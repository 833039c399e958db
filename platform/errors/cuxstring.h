// The base library's string: an owned character buffer and its length. A value of one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class CUxString {
public:
    CUxString() = default;
    CUxString(const char* text) { assign(text); }  // NOLINT: converts like the texts it replaces
    CUxString(const std::string& text) { assign(text.data(), text.size()); }  // NOLINT
    CUxString(const CUxString& other) { assign(other.m_buffer.get(), other.m_length); }
    CUxString& operator=(const CUxString& other);
    CUxString(CUxString&&) noexcept = default;
    CUxString& operator=(CUxString&&) noexcept = default;

    // Never null: an empty text when the string holds nothing.
    const char* c_str() const { return m_length != 0 ? m_buffer.get() : ""; }
    operator char const*() const { return c_str(); }  // NOLINT: the base library's strings convert implicitly
    size_t length() const { return m_length; }
    bool empty() const { return m_length == 0; }

    void assign(const char* text);
    void assign(const char* text, size_t length);

private:
    std::unique_ptr<char[]> m_buffer;
    size_t m_length = 0;
};

// The base library's string helpers, kept as a class because callers name them FXString::...
struct FXString {
    // A copy of `text`: callers use it where a temporary must outlive the expression that made it.
    static std::string ToString(const std::string& text) { return text; }
};

// Text of a password-bearing message field: kept apart from plain strings so that it is never logged
// in clear. A value of one thread.
#pragma once

#include <string>

class bstring {
public:
    bstring() = default;
    explicit bstring(const std::string& text) : m_text(text) {}
    bstring(const bstring& other) = default;
    bstring& operator=(const bstring& other) = default;
    virtual ~bstring();

    size_t size() const { return m_text.size(); }
    std::string& str() { return m_text; }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

#include "platform/errors/cuxerror.h"

#include <cstring>

void FXErrorPrivate::push(const FXCodeLocation& where) {
    CHubMutexLock lock(m_mutex);
    m_trace.push_back(where);
}

std::string FXErrorPrivate::text() const {
    return m_text;
}

std::vector<FXCodeLocation> FXErrorPrivate::trace() const {
    CHubMutexLock lock(m_mutex);
    return m_trace;
}

CUxError& CUxError::Push(const FXCodeLocation& where) {
    if (!m_detail) m_detail = boost::shared_ptr<FXErrorPrivate>(new FXErrorPrivate(std::string(), 0));
    m_detail->push(where);
    return *this;
}

std::string CUxError::GetErrorText() const {
    return m_detail ? m_detail->text() : std::string();
}

std::string CUxError::AsString() const {
    std::string out = IsError() ? "error [" : "success [";
    out += std::to_string(m_code);
    out += "]";
    if (!m_detail) return out;
    const std::string text = m_detail->text();
    if (!text.empty()) out += " " + text;
    if (m_detail->errnoValue() != 0) {
        char buffer[256];
        // GNU strerror_r: returns the text, which may or may not be in buffer.
        const char* why = strerror_r(m_detail->errnoValue(), buffer, sizeof(buffer));
        out += " (errno " + std::to_string(m_detail->errnoValue()) + ": " + why + ")";
    }
    for (const FXCodeLocation& where : m_detail->trace()) {
        out += " at ";
        out += where.m_file ? where.m_file : "?";
        out += ":";
        out += where.m_signature ? where.m_signature : "?";
        out += ":" + std::to_string(where.m_line);
    }
    return out;
}

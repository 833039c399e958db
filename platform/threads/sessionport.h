// Description of a listening port: the session type it serves and its number (0: chosen by the system).
// A plain value; each owner uses its own copy from one thread at a time.
#pragma once

#include <cstdint>

class CSessionPort {
public:
    enum SessType_e : int32_t {
        SessType_Unset = 0,
        // A port whose sessions name the XML message service they want (the browse router's kind).
        SessType_MessageService = 4,
    };

    CSessionPort(int type, int port) : m_type(static_cast<SessType_e>(type)), m_port(port) {}

    void SetType(SessType_e type) { m_type = type; }
    SessType_e GetType() const { return m_type; }
    int GetPort() const { return m_port; }
    void SetPort(int port) { m_port = port; }

private:
    SessType_e m_type;
    int m_port;
};

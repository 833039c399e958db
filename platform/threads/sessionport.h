// Description of where a service is reached: its session type, its own port and a second port at
// which it is also served by name (its machine's listener). A plain value; each owner uses its own
// copy from one thread at a time.
#pragma once

#include <cstdint>

class CSessionPort {
public:
    enum SessType_e : int32_t {
        SessType_Unset = 0,
        // A port whose sessions name the XML message service they want (the browse router's kind).
        SessType_MessageService = 4,
    };

    // 0 for a port: none fixed. A server listens on `port` (0: its machine's listener); a pool
    // connects to it. An on-demand instance tells both: its own port, and its machine listener's
    // port where its GUID names it. The type starts unset; owners set it with SetType.
    CSessionPort(int port, int secondPort) : m_port(port), m_secondPort(secondPort) {}

    void SetType(SessType_e type) { m_type = type; }
    SessType_e GetType() const { return m_type; }
    int GetPort() const { return m_port; }
    void SetPort(int port) { m_port = port; }
    int GetSecondPort() const { return m_secondPort; }

private:
    SessType_e m_type = SessType_Unset;
    int m_port;
    int m_secondPort;
};

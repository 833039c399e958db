// Test support: a loopback port held for one test without listening on it. While held, nothing else
// (other tests run in parallel included) is given the port, a connection to it is refused, and a
// listener of ours may still listen on it (our listeners set SO_REUSEADDR, as does the hold). One
// thread uses a hold at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hubtest {

class CReservedPort {
public:
    CReservedPort() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) return;
        const int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~CReservedPort() {
        if (m_fd >= 0) close(m_fd);
    }
    CReservedPort(const CReservedPort&) = delete;
    CReservedPort& operator=(const CReservedPort&) = delete;

    // 0 when no port could be held.
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace hubtest

// CZydListener: one machine's listening port, behind which servers wait under their service names;
// its one thread accepts connections, reads each opening and hands the connection to the named
// server or refuses it. Any thread may attach, detach, start and stop (stop not from its own thread).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_socket.h"

class CZyNetworkServer;

class CZydListener {
public:
    static std::shared_ptr<CZydListener> create();
    // This process's machine listener, on the configured port once started.
    static std::shared_ptr<CZydListener> machineListener();

    ~CZydListener();
    CZydListener(const CZydListener&) = delete;
    CZydListener& operator=(const CZydListener&) = delete;

    // Listens on the configured address and `port` (0: the system chooses) and starts the thread;
    // nothing when already listening.
    CUxError start(int port);
    // Stops accepting, closes the openings in progress and joins the thread. Attached servers stay
    // attached (their connections are theirs to close).
    void stop();
    bool running() const;
    int port() const;

    // For servers: serve connections that name `name`; false when another server holds the name.
    bool attach(const std::string& name, CZyNetworkServer* server);
    // Afterwards no new connection reaches the server. True when no server is left attached.
    bool detach(CZyNetworkServer* server);

private:
    CZydListener();
    struct TOpening;

    void acceptLoop();
    // Reads what arrived on an opening; false when it is finished (handed over, refused or dropped).
    bool readOpening(TOpening& opening);
    void handOver(TOpening& opening, const struct TZynHello& hello);
    void wake();

    mutable std::mutex m_mutex;                          // guards the fields below but m_thread
    std::map<std::string, CZyNetworkServer*> m_servers;  // by service name
    zynet::CSocket m_socket;                             // the listening socket while running
    int m_port = 0;
    bool m_stopping = false;
    int m_wakeFd = -1;  // eventfd that interrupts the accept thread's poll; lives as long as the object

    std::mutex m_runMutex;  // serialises start and stop; guards m_thread
    std::thread m_thread;
};

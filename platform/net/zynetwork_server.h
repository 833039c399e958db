// CZyNetworkServer: a named service behind a listener. Each connection has a thread that hands its
// frames to the XML or XDR callback in arrival order, one at a time; connections run in parallel.
// SelectData blocks until Quit, which any thread (a callback included) may call.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/sessionport.h"

class CNMessageBase;
class CZydListener;

class CZyNetworkServer {
public:
    enum ZynCallback_e {
        ZYN_CALLBACK_MESSAGE = 1,       // a message arrived on the connection
        ZYN_CALLBACK_DISCONNECTED = 5,  // the connection ended (XDR callback, no message)
    };
    // The XDR callback gets the message code and the decoded record (freed when it returns); the XML
    // callback gets an object of the message's class, which it owns.
    using XdrCallback = void (*)(ZynCallback_e type, CZyNetworkServer* server, long long handle,
                                 unsigned long messageType, zysDatabuf_v2* data);
    using XmlCallback = void (*)(ZynCallback_e type, CZyNetworkServer* server, long long handle,
                                 CNMessageBase* message);

    // Behind this machine's listener, or behind a listener of its own when the port names one.
    CZyNetworkServer(XdrCallback xdrCallback, XmlCallback xmlCallback, const char* name, CSessionPort& port);
    // Behind the given listener (tools and tests that run several machines in one process).
    CZyNetworkServer(XdrCallback xdrCallback, XmlCallback xmlCallback, const char* name,
                     std::shared_ptr<CZydListener> listener);
    virtual ~CZyNetworkServer();
    CZyNetworkServer(const CZyNetworkServer&) = delete;
    CZyNetworkServer& operator=(const CZyNetworkServer&) = delete;

    // Makes sure the listener listens, then serves until Quit. The arguments are accepted for the
    // callers' sake and not used.
    CUxError SelectData(int, int, int);
    // Stops taking connections, closes every session, waits for every connection's thread (but the
    // caller's own) and ends SelectData.
    CUxError Quit(bool, bool);

    // Lends the session of a connection; valid until the matching ReleaseSession, even when the
    // connection ends meanwhile.
    CUxError AcquireSession(long long handle, CZyNetwork** session);
    CUxError ReleaseSession(long long handle);

    // For the server of a launched instance, set before it can be reached: once a connection has
    // come and none is open any more, the server takes no more connections and `ended` runs on the
    // thread of the connection that ended last (the owner then destroys the server elsewhere).
    void EndWithLastConnection(std::function<void()> ended);
    // Takes no more connections when none ever came; true when it closed so.
    bool CloseIfUnused();

    const std::string& GetName() const { return m_name; }
    // The listener's port (0 before it listens).
    int GetPort() const;

private:
    friend class CZydListener;

    struct TConnection {
        std::shared_ptr<CZyNetwork> session;
        std::thread thread;
        int lent = 0;        // AcquireSession calls not yet released
        bool ended = false;  // its thread has finished with it
        bool anonymous = false;  // its peer proved no name
        bool busy = false;       // a callback is running for it
        bool evicted = false;    // closed to make room for a newer anonymous caller
        std::string address;
    };

    // Called by the listener (under its lock) with a connection that named this service.
    CUxError adopt(zynet::CSocket& socket, const CZyNetwork::TPeer& peer, const uint8_t* pending,
                   size_t pendingSize);
    // Room for one more anonymous session: within the limits, or by closing the oldest idle anonymous
    // session (of the same address when that address is at its limit). Under m_mutex.
    bool makeRoomForAnonymous(const std::string& address);
    // The oldest anonymous session that is idle (from `address` when not empty): its handle, or 0.
    long long oldestIdleAnonymous(const std::string& address) const;
    void serve(long long handle, std::shared_ptr<CZyNetwork> session);
    // Hands one received frame to its callback; false ends the connection.
    bool deliver(long long handle, CZyNetwork& session, bool first);
    void setBusy(long long handle, bool busy);
    void joinFinished();

    const XdrCallback m_xdrCallback;
    const XmlCallback m_xmlCallback;
    const std::string m_name;
    // Machine: this process's listener, stopped with its last server; Own: started for the port
    // this server was given, stopped with it; Given: its owner's to stop.
    enum class ListenerRole : uint8_t { Machine, Own, Given };
    const ListenerRole m_role;
    const std::shared_ptr<CZydListener> m_listener;
    const int m_listenPort;   // the port to listen on when this server starts its listener
    bool m_attached = false;  // the name was free on the listener; set by the constructor

    // Taken before m_mutex: keeps SelectData's start of the listener and Quit's stop of it apart, so
    // a Quit that lands while SelectData is starting never leaves the listener running.
    std::mutex m_listenerMutex;
    mutable std::mutex m_mutex;         // guards the fields below
    std::condition_variable m_changed;  // a connection ended, or the server quit
    std::map<long long, TConnection> m_connections;
    std::vector<std::thread> m_finished;  // threads of ended connections, to be joined
    bool m_quitting = false;
    bool m_quit = false;            // Quit has finished
    std::function<void()> m_ended;  // see EndWithLastConnection
    bool m_hadConnection = false;
    bool m_closed = false;  // takes no more connections (an instance that ended)
};

// CZyNetworkServer: a named service behind a listener. Each connection has a thread that hands its
// frames to the XML or XDR callback in arrival order, one at a time; connections run in parallel. A
// thread whose connection ended waits a while for the next one, so that a busy server neither starts
// a thread per connection nor loses what its threads keep (their database connection and caches).
// SelectData blocks until Quit, which any thread (a callback included) may call.
#pragma once

#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_callertoken.h"
#include "platform/net/zynet_xml.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubmutex.h"
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
    // A relay's callback: the message read for it, with its text, as one value (see SetSkimmedXml).
    using RelayCallback = void (*)(ZynCallback_e type, CZyNetworkServer* server, long long handle,
                                   zynet::TReceivedXml& received);

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

    // Messages of the skim's tag are read without the items of its list (see zynet::TXmlSkim) and go to
    // `relay` with the text they came in, for a relay that forwards them as they came; other messages go
    // to the XML callback. Set before SelectData.
    void SetSkimmedXml(const zynet::TXmlSkim& skim, RelayCallback relay) {
        m_skim = skim;
        m_relayCallback = relay;
    }

    const std::string& GetName() const { return m_name; }
    // The listener's port (0 before it listens).
    int GetPort() const;
    // Ready once SelectData has started the listener (success) or failed to (the error it returns), so
    // that an owner serving on another thread waits for the event rather than polling the port.
    std::shared_future<CUxError> Listening() const { return m_listening; }
    // Returns once no thread serves a connection and `parked` of them wait for the next one (true), or
    // after `seconds` (false): the server at rest, for a caller that must know its threads' state.
    bool WaitForRest(size_t parked, int seconds);

private:
    friend class CZydListener;

    struct TConnection {
        std::shared_ptr<CZyNetwork> session;
        std::thread::id thread;  // the thread that serves it
        int lent = 0;            // AcquireSession calls not yet released
        bool ended = false;      // its thread has finished with it
        bool outsider = false;   // its peer is not of the infrastructure
        bool anonymous = false;  // ... and has no certificate
        // In line for a place of its kind (see awaitPlace): not yet welcomed, counted in no share.
        bool waiting = false;
        // Let in while the sessions of callers without a certificate or an accepted token were at their
        // most: closed once its first message is answered, unless its token was accepted then (within its
        // user's bound) or a place of theirs is free.
        bool onTrial = false;
        bool welcomed = false;  // its welcome has gone out
        bool busy = false;      // a callback is running for it
        bool asked = false;     // a message of it has been read
        bool evicted = false;   // closed for the limits: to make room for a newer caller, or after its trial
        // What the service made of the last token its messages showed (told by the token check).
        zynet::TCallerToken token;
        // Since when it has waited for a message with none under way (its admission, its welcome, or the
        // end of its last callback), on the listener's clock.
        CHubClock::Steady::time_point idleSince;
        std::string address;
        std::string name;  // the client name its peer proved ("" when none)
    };
    // Welcomed, not yet ended nor closed for the limits: it holds a place of its kind.
    static bool holdsPlace(const TConnection& c) { return !c.ended && !c.evicted && !c.waiting; }

    // Called by the listener (under its lock) with a connection that named this service.
    CUxError adopt(zynet::CSocket& socket, const CZyNetwork::TPeer& peer, const uint8_t* pending,
                   size_t pendingSize);
    // Room for one more session of a caller outside the infrastructure: within the limits of its kind
    // (anonymous callers: all their sessions, those of its address, those without an accepted token;
    // client machines: all theirs, those of its proven name), or by closing a session of its kind that
    // the full count holds and that may give way (see pickIdleOutsider). An anonymous newcomer finding
    // only the count without an accepted token full, and none of it to give way, comes in `onTrial`.
    // NotForThisCaller: its address's (or name's) count is full and nothing of it gives way; None: its
    // kind's share is full and nothing gives way. Nothing is closed unless it returns Made.
    enum class Room : uint8_t { Made, NotForThisCaller, None };
    Room makeRoomForOutsider(const CZyNetwork::TPeer& peer, bool& onTrial) REQUIRES(m_mutex);
    // Sessions of anonymous callers, not on trial, whose token has not been accepted.
    size_t anonymousWithoutToken() const REQUIRES(m_mutex);
    static std::string withoutTokenFull(size_t count);
    // Sessions of anonymous callers whose last token was accepted for `userId`.
    size_t sessionsOfUser(int userId) const REQUIRES(m_mutex);
    // An outsider's message has been served (`told`: what its token came to): its session is idle from
    // now on. False (the session is to close) for one on trial whose token was not accepted (within its
    // user's bound) while the count of those without one is still full; else it stays, no longer on trial.
    bool answered(long long handle, const zynet::TCallerToken& told) EXCLUDES(m_mutex);
    // Marks the session that gives way first among the outsiders' for which `which` holds, and not among
    // `taken`, by adding its handle there; false when none may. One whose token was refused goes first,
    // then the one idle longest. Never one with a message under way, nor (unless `forInfrastructure`, which
    // must always find room) one that has sent nothing yet within its first-message limit (that limit is
    // its own), nor an anonymous caller's whose token was accepted while its user holds no more than
    // maxAnonymousPerUser sessions.
    bool pickIdleOutsider(const std::function<bool(const TConnection&)>& which, std::vector<long long>& taken,
                          bool forInfrastructure = false) const REQUIRES(m_mutex);
    // Closes the sessions `victims` so that a newer caller gets their places; `full` says which count
    // was full, for the log.
    void evict(const std::vector<long long>& victims, const char* full) REQUIRES(m_mutex);
    // Gives the callers in line the places that can be made for them, in the order they came.
    void admitWaiting() REQUIRES(m_mutex);
    // A connection's thread, before its welcome: true once its session has a place (at once for one that
    // found one on arrival), false when none was made within outsiderWaitSeconds or the server quits.
    bool awaitPlace(long long handle) EXCLUDES(m_mutex);
    // What a caller outside the infrastructure that finds no place is told.
    std::string tooManyOutsiders() const {
        return "too many callers outside the infrastructure at " + m_name;
    }
    // A thread waiting for its next connection; its slot is filled by adopt.
    struct TParked {
        std::thread::id thread;
        std::condition_variable wake;
        long long handle = 0;  // 0: none given yet
        std::shared_ptr<CZyNetwork> session;
    };
    // A connection's thread: serves it, then waits (parked) for the next one until it has waited too
    // long, there are enough waiting already, or the server quits.
    void runThread(long long handle, std::shared_ptr<CZyNetwork> session);
    void serve(long long handle, std::shared_ptr<CZyNetwork> session);
    // Hands one received frame to its callback; false ends the connection.
    bool deliver(long long handle, CZyNetwork& session, bool first);
    // A message of the connection has been read: its callback runs until answered.
    void setBusy(long long handle);
    void joinFinished();

    const XdrCallback m_xdrCallback;
    const XmlCallback m_xmlCallback;
    zynet::TXmlSkim m_skim;  // tag 0: every message read whole
    RelayCallback m_relayCallback = nullptr;
    const std::string m_name;
    // Machine: this process's listener, stopped with its last server; Own: started for the port
    // this server was given, stopped with it; Given: its owner's to stop.
    enum class ListenerRole : uint8_t { Machine, Own, Given };
    const ListenerRole m_role;
    const std::shared_ptr<CZydListener> m_listener;
    const int m_listenPort;   // the port to listen on when this server starts its listener
    bool m_attached = false;  // the name was free on the listener; set by the constructor
    std::promise<CUxError> m_listened GUARDED_BY(m_listenerMutex);  // kept by the first SelectData
    bool m_listenedSet GUARDED_BY(m_listenerMutex) = false;
    std::shared_future<CUxError> m_listening = m_listened.get_future().share();

    // Taken before m_mutex: keeps SelectData's start of the listener and Quit's stop of it apart, so
    // a Quit that lands while SelectData is starting never leaves the listener running.
    CHubMutex m_listenerMutex ACQUIRED_BEFORE(m_mutex);
    // Taken after a session's receive lock (deliver marks a message under way while it holds the frame),
    // never before one: adopt sets a new session up before taking it.
    mutable CHubMutex m_mutex;
    std::condition_variable m_changed;  // a connection ended, or the server quit
    std::map<long long, TConnection> m_connections GUARDED_BY(m_mutex);
    std::map<std::thread::id, std::thread> m_threads GUARDED_BY(m_mutex);  // every thread running
    std::vector<std::thread> m_finished GUARDED_BY(m_mutex);               // threads that ended, to be joined
    std::vector<TParked*> m_parked GUARDED_BY(m_mutex);                    // the latest parked last
    std::vector<long long> m_line
        GUARDED_BY(m_mutex);  // connections waiting for a place, the first come first
    bool m_quitting GUARDED_BY(m_mutex) = false;
    bool m_quit GUARDED_BY(m_mutex) = false;            // Quit has finished
    std::function<void()> m_ended GUARDED_BY(m_mutex);  // see EndWithLastConnection
    bool m_hadConnection GUARDED_BY(m_mutex) = false;
    bool m_closed GUARDED_BY(m_mutex) = false;  // takes no more connections (an instance that ended)
};

// Holds the session AcquireSession lent for a scope and gives it back once: when the scope is left,
// however it is left, or earlier through release(). Move-only; a moved-from lease gives back nothing.
class CZySessionLease {
public:
    CZySessionLease() = default;
    // Borrows the session of `handle`; when it cannot, holds nothing and acquired() says why.
    CZySessionLease(CZyNetworkServer* server, long long handle);
    CZySessionLease(CZySessionLease&& other) noexcept;
    CZySessionLease& operator=(CZySessionLease&& other) noexcept;
    CZySessionLease(const CZySessionLease&) = delete;
    CZySessionLease& operator=(const CZySessionLease&) = delete;
    // Gives the session back when still held; a failure then has nobody to tell and is dropped.
    ~CZySessionLease();

    // The borrowed session; null when none is held.
    CZyNetwork* get() const { return m_session; }
    CZyNetwork* operator->() const { return m_session; }
    CZyNetwork& operator*() const { return *m_session; }
    explicit operator bool() const { return m_session != nullptr; }
    // What the borrowing returned.
    const CUxError& acquired() const { return m_acquired; }
    // Gives the session back now: what ReleaseSession returned, success when nothing was held.
    CUxError release();

private:
    CZyNetworkServer* m_server = nullptr;  // set while a session is held
    long long m_handle = 0;
    CZyNetwork* m_session = nullptr;
    CUxError m_acquired;
};

// CZyNetwork: one session to one service behind a machine's listener, carrying whole XML messages
// and numbered XDR records. One thread may send while another receives (each side is serialised);
// a server callback reaches its connection's session through CZyNetworkServer::AcquireSession.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/errors/cuxstring.h"
#include "platform/net/zynet_frame.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_socket.h"
#include "platform/net/zysdatabuf.h"
#include "platform/restoreproto/fsr_records.h"
#include "platform/threads/hubmutex.h"

class CNMessageBase;
class CZyNetworkServer;
class CZydListener;

// What arrived with a received message, for callers that pass one.
struct zysHostProtocolHeader {
    unsigned long messageCode = 0;     // message code (XDR) or tag (XML)
    unsigned int kind = 0;             // 1 XML, 2 XDR
    unsigned int payloadLength = 0;    // bytes of the payload on the wire
    unsigned int protocolVersion = 0;  // the peer's
};

// Where a client's listener is: a host name or address and a port.
struct TZyNetAddress {
    TZyNetAddress() = default;
    TZyNetAddress(std::string host_, int port_, std::string peerName_ = std::string())
        : host(std::move(host_)), port(port_), peerName(std::move(peerName_)) {}

    std::string host;
    int port = 0;
    // The client name the answering machine's certificate must prove, exactly as the Hubmaster's
    // database holds it; empty where the caller names only a host and port. A session whose peer
    // proves another name fails before anything is sent.
    std::string peerName;
};

// Names a launcher on a remote machine for Attach_RemoteDLL: the launcher registered there under the
// first name, else under the second (at most 256 characters each; the second may be empty).
struct TZyRemoteDLL {
    char name[257] = {};
    char alternateName[257] = {};
};

class CZyNetwork {
public:
    // Its deadlines, and the longest pause inside a frame, are measured on `clock`, which must outlive it.
    explicit CZyNetwork(const CHubClock& clock = CHubClock::real());
    virtual ~CZyNetwork();
    CZyNetwork(const CZyNetwork&) = delete;
    CZyNetwork& operator=(const CZyNetwork&) = delete;

    // Connects to `service` (a name, or a restore service number in decimal) behind the listener of
    // `host` (a mangled host name, a client name or a host name, found through CZyNetDirectory),
    // telling it `localName` as this side's client name (null or empty: the configured one).
    CUxError Connect(const char* host, const char* service, const char* localName, int timeoutSeconds,
                     bool& timedOut);
    CUxError Connect(const TZyNetAddress& address, const char* service, const char* localName,
                     int timeoutSeconds, bool& timedOut);

    // Asks the listener of `host` (found as by Connect) to start the launcher that `launcher` names
    // and opens this session with the started instance, which ends when the session does. A launcher
    // unknown there is the error ZYNET_E_NO_LAUNCHER.
    CUxError Attach_RemoteDLL(const char* host, const TZyRemoteDLL& launcher, const char* localName,
                              int timeoutSeconds, bool& timedOut);

    // Every wait of this session from now on (connecting, the handshake, sending, receiving,
    // disconnecting) ends by `deadline` at the latest, whatever time-out each call is given: a command of
    // several exchanges keeps one time limit for them all. Set before the session is shared.
    void setDeadline(zynet::Deadline deadline) { m_deadline = deadline; }
    // While set, every wait of this session (connecting, the handshake, sending, receiving) also ends, as
    // a time-out, once `cancel` is cancelled: a browse stopped while it connects or sends to a peer that
    // does not answer is not held by it. nullptr stops watching; set by the session's one borrower.
    void watchCancel(const CZyNetCancel* cancel) {
        m_cancelFd = cancel ? cancel->fd() : -1;
        m_socket.watchCancel(m_cancelFd);
    }

    // Time-outs are in seconds; a negative one means "no limit", which waits at most the configured
    // cap. The flags argument is accepted for the callers' sake and not used.
    //
    // Receives report a time-out the same way: the flag is set, the result is success, nothing was
    // received (code 0, no message, the buffer holds no record) and the session goes on. A message of
    // the other kind than the one awaited (XML for an XDR receive or the reverse) is the error
    // ZYNET_E_UNEXPECTED_KIND and closes the session: the two sides no longer agree. XDR messages
    // whose codes the library does not know are received as their bytes.

    // Sends one message whole.
    CUxError SendXMLMessage(CNMessageBase* message, int flags, int timeoutSeconds, bool& timedOut);
    CUxError SendXMLMessage(CNMessageBase& message, int flags, int timeoutSeconds, bool& timedOut) {
        return SendXMLMessage(&message, flags, timeoutSeconds, timedOut);
    }
    // Sends XML text under a tag, for peers that hold a message only as text.
    CUxError SendXMLMessage(unsigned long tag, const std::string& xml, int flags, int timeoutSeconds,
                            bool& timedOut);
    // Sends messages (tag, XML text) in order in one write: the peer reads them at one wake-up.
    CUxError SendXMLMessages(const std::vector<std::pair<unsigned long, std::string>>& messages,
                             int timeoutSeconds, bool& timedOut);

    // Receives one XML message as an object of its class, owned by the caller (null after a time-out
    // or an error). A message of the other kind still tells its code.
    CUxError ReceiveXMLMessage(unsigned long* code, CNMessageBase*& message, zysHostProtocolHeader* header,
                               int flags, int timeoutSeconds, bool& timedOut);
    CUxError ReceiveXMLMessage(unsigned long* code, std::string& xml, zysHostProtocolHeader* header,
                               int flags, int timeoutSeconds, bool& timedOut);

    // Sends one numbered record: the record wrapped by `data` is encoded by the layout of its code;
    // a code outside the restore protocol's table sends the buffer's bytes as they are. Codes without
    // a record need no buffer.
    CUxError SendXDRMessage(unsigned long code, zysDatabuf_v2* data, int flags, int timeoutSeconds,
                            bool& timedOut);

    // Receives the next numbered message into memory that `data` owns (never into its external
    // buffer) until FreeReceivedMessage or the next receive. The record of the previous receive is
    // freed first, whatever the outcome: after a time-out or an error the buffer shows its external
    // buffer again.
    CUxError ReceiveXDRMessage(unsigned long* code, zysDatabuf_v2* data, zysHostProtocolHeader* header,
                               int flags, int timeoutSeconds, bool& timedOut);
    CUxError ReceiveXDRMessage(unsigned long* code, zysHostProtocolHeader* header, zysDatabuf_v2* data,
                               int flags, int timeoutSeconds, bool& timedOut) {
        return ReceiveXDRMessage(code, data, header, flags, timeoutSeconds, timedOut);
    }
    CUxError FreeReceivedMessage(unsigned long code, zysDatabuf_v2* data);

    // Asks the peer to end the session, waits for its reply (or its leaving), and closes.
    CUxError Disconnect(int timeoutSeconds, bool& timedOut);
    // Answers the peer's disconnect request; the session then only waits for the peer to leave.
    CUxError ReplyDisconnect(int timeoutSeconds, bool& timedOut);
    CUxError ReplyDisconnect(const char* host, int timeoutSeconds, bool& timedOut) {
        (void)host;  // the session already knows its peer
        return ReplyDisconnect(timeoutSeconds, timedOut);
    }
    // Tells the peer the session is aborted with `status`, then closes.
    CUxError AbortConnection(const zysStatus& status, int timeoutSeconds, bool& timedOut);

    // The peer's protocol version and host name, as told when the session opened, and its client
    // name: the one its certificate proves, or "" for an anonymous caller (one without a certificate).
    // Over a plain session (where allowed) the name is only what the peer claimed.
    CUxError GetProtocolVersion(unsigned int& version) const;
    CUxError GetRemoteClientName(CUxString& name) const;
    CUxError GetPeerName(CUxString& name) const;
    // True when the peer's client name is proven (by its certificate, or claimed where plain sessions
    // are allowed); false for an anonymous caller.
    bool IsPeerProven() const;
    // The peer's network address.
    std::string GetPeerAddress() const;
    // True when the session runs over TLS.
    bool IsSecure() const;
    // The client name the peer's certificate proved ("" over a plain session or without one), also on a
    // session that only exchanged an opening and its answer.
    std::string GetCertificateName() const;
    // The client name this side's own certificate proved to the peer: the machine a listener served
    // as, which may be a client whose services it hosts ("" over a plain session or without one).
    std::string GetOwnCertificateName() const;
    // True when its TLS handshake resumed an earlier session to the same peer by a ticket.
    bool IsSessionResumed() const;

    // The text of the last failure of this session, for a log line ("" when none).
    std::string GetLastErrorGenericText() const;

    // Open: neither closed by either side nor broken by a failure.
    bool IsConnected() const;
    // The descriptor of the session's connection (-1 before it is open), for a watcher that polls many
    // sessions at once for their peer's close; nothing is ever read or written through it.
    int PollHandle() const { return m_socket.fd(); }

private:
    friend class CZyNetworkServer;
    friend class CZydListener;
    friend class CZynSessionStore;
    friend class ZYOnDemandSvcClient;
    friend int AttemptSessionAttach(CZyNetwork& session, int clientId);

    enum class State : uint8_t { Idle, Open, Closing, Broken };

    struct TPeer {
        unsigned int protocolVersion = 0;
        std::string clientName;  // proven by its certificate; "" for an anonymous caller
        std::string hostName;    // as the peer told it; its address when it told none
        std::string address;     // its network address
        bool proven = false;
        // Proven to be the infrastructure (the Hubmaster, a media agent): only such a peer gets the
        // trusted limits; any other, proven or not, an outsider's sessions, frame size, decoding,
        // launches and log lines.
        bool trusted = false;

        // Whom an outsider's sessions and log lines are counted against: its proven name, else its
        // address; "" for the infrastructure, which is not counted.
        std::string outsiderKey() const { return trusted ? std::string() : proven ? clientName : address; }
    };

    // The listener's answer to an opening: its control code (0 for another kind) and payload.
    struct TAnswer {
        uint32_t code = 0;
        std::vector<uint8_t> payload;
    };

    // Server side, in two steps so that no session's receive lock is taken under its server's lock (see
    // m_receiveMutex): `prepare` sets up a new session, which nobody else has yet, for the peer whose
    // opening the listener read (the bytes that came after it, an outsider's limits); `adopt` then opens it
    // on the connection, once its server has room for it.
    void prepare(const TPeer& peer, const uint8_t* pending, size_t pendingSize);
    void adopt(zynet::CSocket socket);

    // Client side: finds the listener of `host` through the directory.
    CUxError resolve(const char* host, TZyNetAddress& address);
    // Connects to `address`, sends the opening frame `code` with `opening` (empty: names too long)
    // and receives the listener's answer, all within the time-out.
    CUxError open(const TZyNetAddress& address, uint32_t code, const std::vector<uint8_t>& opening,
                  const char* localName, int timeoutSeconds, bool& timedOut, TAnswer& answer,
                  const char* function);
    // One try of open, until `deadline`: `again` when the connection was closed before anything but the
    // opening was sent (during the handshake, or before the opening's answer), so that another may be made.
    CUxError openOnce(const TZyNetAddress& address, uint32_t code, const std::vector<uint8_t>& opening,
                      const char* localName, zynet::Deadline deadline, bool& timedOut, TAnswer& answer,
                      bool& again, const char* function);
    // TLS on the new connection with this side's credentials for `localName`, or plain where allowed.
    // `shed`: the listener closed the connection during the handshake without a word.
    CUxError secure(const char* localName, const std::string& peerName, zynet::Deadline deadline,
                    bool& timedOut, bool& shed, const char* function);
    // A welcome opens the session with the peer it names; anything else closes it, a refusal as an
    // error of `refusalCode` (0: the code the listener gave). `what` names the request in the error.
    CUxError welcomed(const TAnswer& answer, const TZyNetAddress& address, const std::string& what,
                      int refusalCode, const char* function);
    CUxError unwelcome(const TAnswer& answer, const std::string& what, int refusalCode, const char* function);
    // This side's hello: the service wanted and who asks.
    static std::vector<uint8_t> helloBytes(const char* service, const char* localName);

    // One frame under the caller's hold of m_receiveMutex; its payload is valid until the next one.
    CUxError receiveFrame(zynet::TFrame& frame, zynet::Deadline deadline, bool& timedOut,
                          const char* function) REQUIRES(m_receiveMutex);
    // receiveFrame, then the frame must be of `kind`; tells its code and header.
    CUxError receiveKind(zynet::FrameKind kind, zynet::TFrame& frame, unsigned long* code,
                         zysHostProtocolHeader* header, int timeoutSeconds, bool& timedOut,
                         const char* function) REQUIRES(m_receiveMutex);
    // The record of a received XDR frame into `data`; a record that does not parse breaks the session.
    CUxError decodeXdr(const zynet::TFrame& frame, zysDatabuf_v2* data, const char* function);
    struct TOutFrame {
        zynet::FrameKind kind;
        uint32_t code;
        const uint8_t* payload;
        size_t size;
    };
    CUxError sendFrames(const TOutFrame* frames, size_t count, int timeoutSeconds, bool& timedOut,
                        const char* function);
    CUxError sendFrame(zynet::FrameKind kind, uint32_t code, const uint8_t* payload, size_t size,
                       int timeoutSeconds, bool& timedOut, const char* function);
    CUxError failed(int code, const char* function, const std::string& detail);
    CUxError breakOff(int code, const char* function, const std::string& detail);
    // Waits (briefly) for the peer to leave after the session ended by agreement, then closes.
    void lingerClose();
    // Wakes any thread blocked on the session and refuses further use.
    void shutdown();
    // `seconds` from now, or the session's deadline when that comes first.
    zynet::Deadline waitUntil(int seconds) const;
    // True when the session can go back to a pool: open, nothing half-read, nothing unexpected waiting.
    bool reusable();
    // What a server session waiting for its next message is doing, for its server's choice of which to
    // close for a newcomer: its peer has left (Gone), bytes of a message wait to be read or have come
    // within `fresh` of a message not yet whole (Message), or nothing is under way (Idle). Any thread.
    enum class Activity : uint8_t { Gone, Message, Idle };
    Activity activity(zynet::Clock::time_point now, zynet::Clock::duration fresh) const;
    // Bytes of a message have come since the receiver last asked for one (a server session that has not
    // yet been handed a message: it has begun its first). Any thread.
    bool messageBegun() const { return m_frameSince.load() != 0; }

    const CHubClock& m_clock;
    std::atomic<State> m_state{State::Idle};
    zynet::CSocket m_socket;  // set before the session is open; closed by the destructor only
    TPeer m_peer;             // set before the session is open, then read only
    zynet::Deadline m_deadline = zynet::Deadline::max();  // see setDeadline
    int m_cancelFd = -1;                                  // see watchCancel

    CHubMutex m_sendMutex;  // one frame goes out at a time
    // One receiver at a time. Lock order: a server session's receive lock is taken before its server's
    // lock (CZyNetworkServer::m_mutex: a message read is marked under way while the frame is still held),
    // never after it.
    CHubMutex m_receiveMutex;
    zynet::CFrameAssembler m_assembler GUARDED_BY(m_receiveMutex);
    // When the last byte of an unfinished frame arrived.
    zynet::Clock::time_point m_lastByte GUARDED_BY(m_receiveMutex);
    // The longest pause inside a frame; 0: the configured one.
    int m_stallSeconds GUARDED_BY(m_receiveMutex) = 0;
    // When the first bytes of a message not yet whole came, or when the last whole one was handed out
    // until its receiver asks for the next (the clock's count since its epoch; 0: none under way).
    // Written by the receiving thread, read by the server's.
    std::atomic<zynet::Clock::rep> m_frameSince{0};

    mutable CHubMutex m_errorMutex;
    std::string m_lastError GUARDED_BY(m_errorMutex);
};

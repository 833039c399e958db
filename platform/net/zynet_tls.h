// Secure sessions: TLS 1.3 over OpenSSL with certificates issued by the Hubmaster's own authority. A
// machine's credentials are the authority's certificate (every peer must chain to it), and its own
// certificate and key, whose common name is its client name: that is the name a listener reports for
// the peer, whatever the peer says of itself. A caller without a certificate (a console on a user's
// desk) is anonymous. Credentials may be set from any thread; a change applies to sessions that
// start after it. One CTls belongs to one socket; its calls are serialised inside.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

struct ssl_st;
struct ssl_session_st;

struct TZyNetCredentials {
    std::string authorityFile;    // PEM: the authority's certificate
    std::string certificateFile;  // PEM: this machine's certificate; empty for an anonymous caller
    std::string keyFile;          // PEM: its private key, readable by the owner only
};

// The credentials of a machine's folder: "authority.crt", and "machine.crt" with "machine.key" when
// the folder holds them.
TZyNetCredentials zyNetCredentialsIn(const std::string& folder);
// Checks the files (the key owner-only and matching the certificate, the certificate issued by the
// authority) and makes them this process's credentials.
CUxError setZyNetCredentials(const TZyNetCredentials& credentials);
bool setZyNetCredentials(const TZyNetCredentials& credentials, std::string& error);
// Forgets them: sessions start plain from now on, and only where plain sessions are allowed.
void clearZyNetCredentials();
// The client name this process's certificate proves ("" when it has none).
std::string zyNetCredentialName();

// The Hubmaster's authority in `folder` ("authority.crt", "authority.key", both owner-only), created
// when missing. False with `error` on failure.
bool createZyNetAuthority(const std::string& folder, const std::string& name, std::string& error);
// For test programs that create many worlds: from now on every authority this process creates is a copy
// of the one in `folder` ("" again: each is made anew), so the processes they start trust one another.
// Only a call in the program itself sets it: nothing a process inherits (its environment) changes whom
// it trusts.
void reuseZyNetAuthority(const std::string& folder);
// Credentials for the machine `clientName`, issued by the authority kept in `authorityFolder`, written
// owner-only into `folder` ("authority.crt", "machine.crt", "machine.key"). False with `error`.
bool issueZyNetCredentials(const std::string& authorityFolder, const std::string& clientName,
                           const std::string& folder, std::string& error);

// A process's start: its credentials from `folder`, and the registry's "Network" / "bAllowPlainSessions"
// switch (0 by default) into the options. A missing folder leaves the process without credentials,
// which only a process that allows plain sessions may run with. False with `error` otherwise.
bool startZyNetSecurity(const std::string& folder, std::string& error);

// For processes that play several machines at once (tests): credentials for a local client name that
// the process's own certificate does not name. Null: none.
using ZyNetIdentitySource =
    std::function<bool(const std::string& clientName, TZyNetCredentials& credentials)>;
void setZyNetIdentitySource(ZyNetIdentitySource source);

namespace zynet {

struct TTlsContext;

// The context a session to a peer uses when it tells `localName` (empty: this machine's own
// certificate); null when the process has no credentials.
std::shared_ptr<const TTlsContext> clientContext(const std::string& localName);
// The context a listener serves with (as `localName`, for processes that play several machines); null
// when the process has no certificate for it.
std::shared_ptr<const TTlsContext> serverContext(const std::string& localName = std::string());

class CTls {
public:
    enum class Result { Done, WantRead, WantWrite, Closed, Failed };

    // A client names the machine it means in `serverName` (its client name; empty: none), which a
    // listener that plays several machines (tests) uses to show that machine's certificate. The
    // sessions it keeps for resumption, or the tickets it keeps to resume with, expire on `clock`.
    CTls(std::shared_ptr<const TTlsContext> context, int fd, bool server, const std::string& serverName = {},
         const CHubClock& clock = CHubClock::real());
    ~CTls();
    CTls(const CTls&) = delete;
    CTls& operator=(const CTls&) = delete;
    bool valid() const {
        CHubMutexLock lock(m_mutex);
        return m_ssl != nullptr;
    }

    // One step of the handshake without blocking; `error` tells a failure.
    Result handshake(std::string& error);
    // Reads or writes without blocking; `done` tells how many bytes.
    Result read(void* to, size_t room, size_t& done, std::string& error);
    Result write(const void* from, size_t size, size_t& done, std::string& error);
    // Bytes already decrypted and waiting to be read.
    bool pending();
    // Tells the peer that nothing more will be sent (no wait for its answer).
    void closeNotify();
    // The client name of a verified peer certificate, "" when the peer showed none.
    std::string peerName();
    // The client name this side's own certificate proves on this connection ("" when it showed none).
    std::string ownName();
    // True when the handshake resumed an earlier session by its ticket.
    bool resumed();
    // Keeps a ticket the peer sent for the next connection to it (OpenSSL's callback); false: not kept.
    bool keepTicket(ssl_session_st* ticket);
    // The listener's side: keeps a session for its caller to resume, and gives one up (OpenSSL's
    // callbacks).
    void keepResumable(ssl_session_st* session, bool infrastructure);
    ssl_session_st* takeResumable(const unsigned char* id, int length);

private:
    // Frees the connection with SSL_free (defined beside OpenSSL, which this header leaves out).
    struct TSslFree {
        void operator()(ssl_st* ssl) const;
    };

    Result result(int rc, std::string& error) REQUIRES(m_mutex);

    mutable CHubMutex m_mutex;  // one OpenSSL call at a time: a sender and a receiver share the connection
    std::shared_ptr<const TTlsContext> m_context;
    const CHubClock& m_clock;
    // The client side's peer ("host/port", or "host//machine" when it names one); empty on the listener's.
    std::string m_peer;
    // Declared last, so it is freed first: before the context it was made from and the fields its
    // callbacks read.
    std::unique_ptr<ssl_st, TSslFree> m_ssl GUARDED_BY(m_mutex);
};

}  // namespace zynet

#include "platform/net/zynet_tls.h"

#include <errno.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

#include "platform/config/privatefile.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/crypto/zycertificates.h"
#include "platform/crypto/zyopenssl.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"
#include "platform/net/zynet_options.h"
#include "platform/threads/hubmutex.h"

namespace zynet {

using SslCtx = std::unique_ptr<SSL_CTX, zycrypto::Freer<SSL_CTX, SSL_CTX_free>>;
using SslSession = std::unique_ptr<SSL_SESSION, zycrypto::Freer<SSL_SESSION, SSL_SESSION_free>>;
using BioMethod = std::unique_ptr<BIO_METHOD, zycrypto::Freer<BIO_METHOD, BIO_meth_free>>;

// Whether a session kept at `keptAt` is past its lifetime at `now` (seconds on the keeper's clock). A
// ticket lives as long as the listener that issued it said (its lifetime hint), not the longer timeout
// OpenSSL gives a client's session: the listener forgets the session behind it by then, and a ticket
// offered later only costs a refused resumption.
bool expired(const SSL_SESSION* session, long long keptAt, long long now) {
    const long long timeout = SSL_SESSION_get_timeout(session);
    const long long hint = static_cast<long long>(SSL_SESSION_get_ticket_lifetime_hint(session));
    return keptAt + (hint > 0 ? std::min(hint, timeout) : timeout) <= now;
}

// Sessions a listener keeps so that callers may resume them. Each resumes one connection only: the
// caller keeps a ticket for one connection, and a ticket offered again is a replay. A session nobody
// resumes (its caller ended, or dropped the ticket) gives way to newer ones when its share is full, or
// when it has expired. The infrastructure's sessions have a share of their own, so that a crowd of
// outsiders' handshakes can neither push them out nor hold more than a small share. Times are seconds
// on the clock of the connection that keeps or takes a session.
class CResumableSessions {
public:
    // Takes `session`, kept under its id.
    void keep(SSL_SESSION* session, bool infrastructure, long long now) {
        SslSession owned(session);
        unsigned int length = 0;
        const unsigned char* id = SSL_SESSION_get_id(session, &length);
        std::string key(reinterpret_cast<const char*>(id), length);
        TShare& share = infrastructure ? m_infrastructure : m_others;
        std::vector<SslSession> dropped;  // freed once the lock is left
        CHubMutexLock lock(m_mutex);
        while (!share.order.empty() &&
               (share.order.size() >= share.limit ||
                expired(share.order.front().session.get(), share.order.front().keptAt, now))) {
            m_byId.erase(share.order.front().id);
            dropped.push_back(std::move(share.order.front().session));
            share.order.pop_front();
        }
        if (m_byId.contains(key)) return;
        share.order.push_back({key, std::move(owned), now});
        m_byId.emplace(std::move(key), TPlace{&share, std::prev(share.order.end())});
    }
    // The session kept under `id`, given up (null when none is, or it expired).
    SslSession take(const unsigned char* id, int length, long long now) {
        TKept kept;
        {
            CHubMutexLock lock(m_mutex);
            auto it =
                m_byId.find(std::string(reinterpret_cast<const char*>(id), static_cast<size_t>(length)));
            if (it == m_byId.end()) return nullptr;
            kept = std::move(*it->second.at);
            it->second.share->order.erase(it->second.at);
            m_byId.erase(it);
        }
        if (expired(kept.session.get(), kept.keptAt, now)) return nullptr;
        return std::move(kept.session);
    }

private:
    struct TKept {
        std::string id;
        SslSession session;
        long long keptAt = 0;
    };
    using Order = std::list<TKept>;  // oldest first
    struct TShare {
        size_t limit;
        Order order;
    };
    struct TPlace {
        TShare* share;
        Order::iterator at;
    };
    CHubMutex m_mutex;
    TShare m_infrastructure GUARDED_BY(m_mutex){2048, {}};
    TShare m_others GUARDED_BY(m_mutex){512, {}};
    std::unordered_map<std::string, TPlace> m_byId GUARDED_BY(m_mutex);
};

struct TTlsContext {
    SslCtx client;
    SslCtx server;     // only with a certificate of its own
    std::string name;  // the client name its certificate proves
    // A console opens a session per command: a ticket from a peer's earlier handshake lets the next one
    // skip the certificates' exchange and checks (the peer's name comes back with the ticket). Tickets
    // are kept per peer address and each is used once; the peer sends a fresh one after every
    // handshake, so sessions opened side by side each find one. A peer seen once (a service instance
    // on a port of its own) leaves its ticket behind: the oldest tickets give way past a bound of all
    // peers together.
    static constexpr size_t kTicketsPerPeer = 128;
    static constexpr size_t kTicketsKept = 512;
    struct TTicket {
        std::string peer;
        SslSession session;
        long long keptAt;  // seconds on the clock of the connection that kept it
    };
    mutable CHubMutex ticketsMutex;
    mutable std::list<TTicket> tickets GUARDED_BY(ticketsMutex);  // oldest first
    SslSession takeTicket(const std::string& peer, long long now) const {
        std::vector<SslSession> dropped;  // freed once the lock is left
        CHubMutexLock lock(ticketsMutex);
        // The newest: the least likely to have expired.
        for (auto it = tickets.end(); it != tickets.begin();) {
            --it;
            if (it->peer != peer) continue;
            SslSession ticket = std::move(it->session);
            const bool fresh = !expired(ticket.get(), it->keptAt, now);
            it = tickets.erase(it);
            if (fresh) return ticket;
            dropped.push_back(std::move(ticket));
        }
        return nullptr;
    }
    void keepTicket(const std::string& peer, SslSession ticket, long long now) const {
        SslSession oldest;  // freed once the lock is left
        CHubMutexLock lock(ticketsMutex);
        auto oldestOfPeer = tickets.end();
        size_t ofPeer = 0;
        for (auto it = tickets.begin(); it != tickets.end(); ++it)
            if (it->peer == peer && ofPeer++ == 0) oldestOfPeer = it;
        if (ofPeer >= kTicketsPerPeer || tickets.size() >= kTicketsKept) {
            auto gone = ofPeer >= kTicketsPerPeer ? oldestOfPeer : tickets.begin();
            oldest = std::move(gone->session);
            tickets.erase(gone);
        }
        tickets.push_back({peer, std::move(ticket), now});
    }
    // The sessions its listener lets callers resume.
    mutable CResumableSessions resumable;
};

namespace {

std::string sslError() {
    return zycrypto::openSslErrorText();
}

// Why a certificate file OpenSSL could not load is of no use, in words: missing, a folder, not to be read
// (its mode, or a folder on its way), or holding no certificate. OpenSSL's own codes tell no user that.
std::string unusableCertificate(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return "no such file";
        if (error == EACCES)
            return "cannot be read (permission denied: a folder on its way cannot be entered)";
        return std::string("cannot be read (") + std::strerror(error) + ")";
    }
    if (S_ISDIR(st.st_mode)) return "is a folder, not a certificate";
    if (access(file.c_str(), R_OK) != 0) {
        const int error = errno;
        return error == EACCES ? "cannot be read (permission denied)"
                               : std::string("cannot be read (") + std::strerror(error) + ")";
    }
    return "is not a certificate (a PEM file, such as the Hubmaster's tls/authority.crt)";
}

std::string nameOf(X509* cert) {
    return zycrypto::certificateCommonName(cert);
}

// How long a listener's ticket lets a client resume: a peer's credentials changed since are used by
// its next full handshake within this time.
constexpr long kTicketSeconds = 600;

// The connection a handshake belongs to, for the client's new-ticket callback.
int connectionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// OpenSSL reads a certificate's extensions into the certificate itself the first time it is checked,
// then answers later checks from that copy without a lock. Certificates a context shares between its
// handshakes (the authority's, its own) are read here, before any handshake, so handshakes that run at
// once only ever read them.
void settleSharedCertificates(SSL_CTX* ctx) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx));
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i)
        if (X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)))
            X509_check_purpose(cert, -1, 0);
    if (X509* own = SSL_CTX_get0_certificate(ctx)) X509_check_purpose(own, -1, 0);
}

// Settings both sides share: TLS 1.3 only, no session cache (the listener's own is set on its side),
// buffers released between records (many idle sessions stay small), and a peer's missing close_notify
// read as the end of the stream.
bool common(SSL_CTX* ctx, const TZyNetCredentials& c, std::string& error) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(
        ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx, c.authorityFile.c_str(), nullptr) != 1) {
        error =
            "the authority's certificate " + c.authorityFile + ": " + unusableCertificate(c.authorityFile);
        ERR_clear_error();
        return false;
    }
    if (c.certificateFile.empty()) {
        settleSharedCertificates(ctx);
        return true;
    }
    if (SSL_CTX_use_certificate_file(ctx, c.certificateFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, c.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        error = "the certificate " + c.certificateFile + " or its key cannot be used: " + sslError();
        return false;
    }
    // The chain this side shows (its certificate, then the authority's) is built once, here: OpenSSL
    // would otherwise build and check it again at every handshake, which cost a third of a listener's.
    // A certificate the authority did not issue builds none and is refused below, as before.
    SSL_CTX_build_cert_chain(ctx, SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
    ERR_clear_error();
    settleSharedCertificates(ctx);
    return true;
}

int showMachineAsked(SSL* ssl, int*, void*);

int keepResumable(SSL* ssl, SSL_SESSION* session) {
    auto* connection = static_cast<CTls*>(SSL_get_ex_data(ssl, connectionIndex()));
    if (connection == nullptr) return 0;
    X509* peer = SSL_SESSION_get0_peer(session);
    const std::string name = peer ? nameOf(peer) : std::string();
    // The store keeps a copy of its own: the connection's session is freed with the connection, on its
    // own thread, and a copy that no connection shares is handed whole to the one that resumes it.
    SSL_SESSION* own = SSL_SESSION_dup(session);
    if (own == nullptr) return 0;
    connection->keepResumable(own, !name.empty() && isInfrastructure(name));
    return 0;  // OpenSSL's reference stays OpenSSL's
}

SSL_SESSION* takeResumable(SSL* ssl, const unsigned char* id, int length, int* copy) {
    *copy = 0;  // the store's reference goes to the connection
    auto* connection = static_cast<CTls*>(SSL_get_ex_data(ssl, connectionIndex()));
    return connection ? connection->takeResumable(id, length) : nullptr;
}

std::shared_ptr<const TTlsContext> build(const TZyNetCredentials& c, std::string& error) {
    if (c.authorityFile.empty()) {
        error = "no authority certificate";
        return nullptr;
    }
    if (!c.certificateFile.empty()) {
        std::string why;
        // A key others can read is no proof of who holds it.
        if (!zyconfig::isPrivateFile(c.keyFile, &why)) {
            error = "the key " + c.keyFile + " is refused: " + why;
            return nullptr;
        }
    }
    auto context = std::make_shared<TTlsContext>();
    context->client.reset(SSL_CTX_new(TLS_client_method()));
    if (context->client == nullptr || !common(context->client.get(), c, error)) return nullptr;
    // Tickets the client is given are kept by the context, per peer (OpenSSL's own store is by id).
    SSL_CTX_set_num_tickets(context->client.get(), 0);
    SSL_CTX_set_session_cache_mode(context->client.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context->client.get(), [](SSL* ssl, SSL_SESSION* ticket) -> int {
        auto* connection = static_cast<CTls*>(SSL_get_ex_data(ssl, connectionIndex()));
        if (connection) connection->keepTicket(ticket);
        return 0;  // the connection's own session stays OpenSSL's: a copy is kept
    });
    if (c.certificateFile.empty()) return context;
    context->name = nameOf(SSL_CTX_get0_certificate(context->client.get()));
    // The certificate must be the authority's own issue, or peers would refuse every session later.
    zycrypto::StoreCheck check(X509_STORE_CTX_new());
    const bool issued = check &&
                        X509_STORE_CTX_init(check.get(), SSL_CTX_get_cert_store(context->client.get()),
                                            SSL_CTX_get0_certificate(context->client.get()), nullptr) == 1 &&
                        X509_verify_cert(check.get()) == 1;
    const std::string why = check ? X509_verify_cert_error_string(X509_STORE_CTX_get_error(check.get())) : "";
    if (!issued || context->name.empty()) {
        error = "the certificate " + c.certificateFile + " is not one the authority issued: " + why;
        return nullptr;
    }
    context->server.reset(SSL_CTX_new(TLS_server_method()));
    if (context->server == nullptr || !common(context->server.get(), c, error)) return nullptr;
    // One ticket per handshake, short-lived. The ticket only names a session the listener keeps in
    // memory, with the client's certificate already read: a stateless ticket carries the certificate
    // and has it decoded again at every resumption, which costs more than the rest of the handshake
    // and made the listener's one thread the bottleneck of a busy machine. The listener's own store
    // (CResumableSessions) bounds them and lets each resume once; their clients then make a full
    // handshake.
    static const unsigned char kTicketContext[] = "zynet";
    SSL_CTX_set_options(context->server.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context->server.get(), SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL);
    SSL_CTX_sess_set_new_cb(context->server.get(), keepResumable);
    SSL_CTX_sess_set_get_cb(context->server.get(), takeResumable);
    SSL_CTX_set_num_tickets(context->server.get(), 1);
    SSL_CTX_set_timeout(context->server.get(), kTicketSeconds);
    SSL_CTX_set_session_id_context(context->server.get(), kTicketContext, sizeof kTicketContext - 1);
    // Tell callers which authority their certificates must come from.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(c.authorityFile.c_str()))
        SSL_CTX_set_client_CA_list(context->server.get(), names);  // the context takes the list at once
    SSL_CTX_set_tlsext_servername_callback(context->server.get(), showMachineAsked);
    ERR_clear_error();
    return context;
}

struct TStore {
    CHubMutex mutex;
    std::shared_ptr<const TTlsContext> own GUARDED_BY(mutex);
    std::string ownFiles GUARDED_BY(mutex);  // what `own` was built from (credentialsText)
    ZyNetIdentitySource source GUARDED_BY(mutex);
    std::map<std::string, std::shared_ptr<const TTlsContext>> others
        GUARDED_BY(mutex);  // from the source, by name
    // Client names whose services this machine hosts (a SharePoint server's mining service on a media
    // agent's machine), each with credentials the authority issued for it; shown to a client that asks
    // for that name.
    std::map<std::string, std::shared_ptr<const TTlsContext>> hosted GUARDED_BY(mutex);
    ~TStore();
};

// Set when the store is destroyed at the process's exit. Constant-initialised and never destroyed, so a
// clean-up that runs later (an atexit handler registered before the store was made) can still read it.
constinit std::atomic<bool> g_storeGone{false};

TStore::~TStore() {
    g_storeGone.store(true);
}

// The store; null once it is gone at exit, when whoever asks finds nothing to use or clear. OpenSSL is
// initialised before the store is made: its own clean-up at exit, registered then, runs after the
// store's destruction, so no context of the store is freed after OpenSSL's clean-up.
TStore* store() {
    [[maybe_unused]] static const int openSsl = OPENSSL_init_ssl(0, nullptr);
    static TStore s;
    return g_storeGone.load() ? nullptr : &s;
}

}  // namespace

std::shared_ptr<const TTlsContext> clientContext(const std::string& asked) {
    TStore* live = store();
    if (live == nullptr) return nullptr;
    TStore& s = *live;
    CHubMutexLock lock(s.mutex);
    // A process that plays several machines speaks as the one it names.
    const std::string& localName = asked;
    // So does a machine for the clients whose services it hosts.
    if (auto it = s.hosted.find(localName); !localName.empty() && it != s.hosted.end()) return it->second;
    if (localName.empty() || !s.source || (s.own && s.own->name == localName)) return s.own;
    if (auto it = s.others.find(localName); it != s.others.end()) return it->second;
    TZyNetCredentials credentials;
    if (!s.source(localName, credentials)) return s.own;
    std::string error;
    auto context = build(credentials, error);
    if (!context) {
        logError("credentials for [%s] cannot be used: %s", localName.c_str(), error.c_str());
        return s.own;
    }
    s.others[localName] = context;
    return context;
}

namespace {

// A listener shows its own certificate. Only a process that plays several machines (an identity source
// is installed: tests) shows the one the client asked for, so that each machine it plays proves its name.
int showMachineAsked(SSL* ssl, int*, void*) {
    const char* asked = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (asked == nullptr || *asked == '\0') return SSL_TLSEXT_ERR_OK;
    bool playsOthers;
    {
        TStore* live = store();
        if (live == nullptr) return SSL_TLSEXT_ERR_OK;
        TStore& s = *live;
        CHubMutexLock lock(s.mutex);
        if (auto it = s.hosted.find(asked); it != s.hosted.end()) {
            SSL_set_SSL_CTX(ssl, it->second->server.get());
            return SSL_TLSEXT_ERR_OK;
        }
        playsOthers = static_cast<bool>(s.source) && !(s.own && s.own->name == asked);
    }
    if (!playsOthers) return SSL_TLSEXT_ERR_OK;
    std::shared_ptr<const TTlsContext> other = clientContext(asked);
    if (other && other->server && other->name == asked) SSL_set_SSL_CTX(ssl, other->server.get());
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::shared_ptr<const TTlsContext> serverContext(const std::string& localName) {
    std::shared_ptr<const TTlsContext> context = localName.empty() ? nullptr : clientContext(localName);
    if (!context) {
        TStore* s = store();
        if (s == nullptr) return nullptr;
        CHubMutexLock lock(s->mutex);
        context = s->own;
    }
    return context && context->server ? context : nullptr;
}

// ---- one connection -----------------------------------------------------------------------------

namespace {

// OpenSSL's socket BIO writes with write(2), so a peer that left would raise SIGPIPE in the host process.
// The connection writes through this BIO instead: send(2) with MSG_NOSIGNAL on the socket (its data),
// so the library never touches the host's signal handling. Reads keep OpenSSL's socket BIO.
int sendNoSignal(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

long controlNoSignal(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered
}

int createNoSignal(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// The socket `fd` (not owned) as a BIO that writes without SIGPIPE; null when OpenSSL cannot make one.
zycrypto::Bio noSignalWriter(int fd) {
    static BIO_METHOD* const method = [] {
        BioMethod m(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket without SIGPIPE"));
        if (!m || BIO_meth_set_write(m.get(), sendNoSignal) != 1 ||
            BIO_meth_set_ctrl(m.get(), controlNoSignal) != 1 ||
            BIO_meth_set_create(m.get(), createNoSignal) != 1)
            return static_cast<BIO_METHOD*>(nullptr);
        // Kept for the whole process: a BIO made from it may be in use on any thread until the end.
        return m.release();
    }();
    if (method == nullptr) return nullptr;
    zycrypto::Bio bio(BIO_new(method));
    if (bio) BIO_set_data(bio.get(), reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    return bio;
}

}  // namespace

CTls::CTls(std::shared_ptr<const TTlsContext> context, int fd, bool server, const std::string& serverName,
           const CHubClock& clock)
    : m_context(std::move(context)), m_clock(clock) {
    SSL_CTX* ctx = m_context ? (server ? m_context->server.get() : m_context->client.get()) : nullptr;
    if (ctx == nullptr) return;
    decltype(m_ssl) ssl(SSL_new(ctx));
    zycrypto::Bio reader(BIO_new_socket(fd, BIO_NOCLOSE));
    zycrypto::Bio writer = noSignalWriter(fd);
    if (!ssl || !reader || !writer) return;                      // not valid(): what was made is freed here
    SSL_set_bio(ssl.get(), reader.release(), writer.release());  // the connection frees both from here
    m_ssl = std::move(ssl);
    if (server) {
        SSL_set_ex_data(m_ssl.get(), connectionIndex(), this);
        SSL_set_accept_state(m_ssl.get());
        return;
    }
    SSL_set_connect_state(m_ssl.get());
    if (!serverName.empty()) SSL_set_tlsext_host_name(m_ssl.get(), serverName.c_str());
    // The peer's address and the machine meant there name its tickets (a ticket offered elsewhere is
    // only a wasted try): a machine's listener and the instances it launches on ports of their own
    // keep one store of sessions, so a ticket serves any of them. Without a machine named, the port.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    m_peer = std::string(host) + "/" + (serverName.empty() ? std::string(port) : "/" + serverName);
    SSL_set_ex_data(m_ssl.get(), connectionIndex(), this);
    // The connection takes a reference of its own: the ticket is freed here either way.
    if (SslSession ticket = m_context->takeTicket(m_peer, m_clock.epochSeconds()))
        SSL_set_session(m_ssl.get(), ticket.get());
}

void CTls::TSslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

bool CTls::keepTicket(SSL_SESSION* ticket) {
    if (m_peer.empty() || !SSL_SESSION_is_resumable(ticket)) return false;
    // A copy: OpenSSL marks the connection's own session unusable when the connection ends unshut.
    SslSession copy(SSL_SESSION_dup(ticket));
    if (!copy) return false;
    m_context->keepTicket(m_peer, std::move(copy), m_clock.epochSeconds());
    return true;
}

// The listener's context the connection was made with keeps its sessions (a handshake may switch to the
// context of the machine asked, but its sessions stay with the listener's).
void CTls::keepResumable(SSL_SESSION* session, bool infrastructure) {
    m_context->resumable.keep(session, infrastructure, m_clock.epochSeconds());
}

SSL_SESSION* CTls::takeResumable(const unsigned char* id, int length) {
    return m_context->resumable.take(id, length, m_clock.epochSeconds()).release();
}

bool CTls::resumed() {
    CHubMutexLock lock(m_mutex);
    return m_ssl && SSL_session_reused(m_ssl.get()) == 1;
}

CTls::~CTls() {
    // OpenSSL marks unusable the session of a connection freed without a close_notify sent (the one the
    // listener keeps), so a client that left first could not resume with the ticket it was just given. The
    // ticket came after a complete handshake and stands however the connection ended, as a stateless ticket
    // would.
    if (m_ssl && SSL_is_server(m_ssl.get()) && SSL_is_init_finished(m_ssl.get()))
        SSL_set_shutdown(m_ssl.get(), SSL_get_shutdown(m_ssl.get()) | SSL_SENT_SHUTDOWN);
}

CTls::Result CTls::result(int rc, std::string& error) {
    const int code = SSL_get_error(m_ssl.get(), rc);
    switch (code) {
        case SSL_ERROR_WANT_READ:
            return Result::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Result::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Result::Closed;
        case SSL_ERROR_SYSCALL:
            if (errno == 0 || errno == ECONNRESET || errno == EPIPE) {
                ERR_clear_error();
                return Result::Closed;
            }
            error = std::strerror(errno);
            ERR_clear_error();
            return Result::Failed;
        default:
            error = sslError();
            return Result::Failed;
    }
}

CTls::Result CTls::handshake(std::string& error) {
    CHubMutexLock lock(m_mutex);
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_do_handshake(m_ssl.get());
    if (rc == 1) return Result::Done;
    Result r = result(rc, error);
    if (r == Result::Failed || r == Result::Closed) {
        const long verify = SSL_get_verify_result(m_ssl.get());
        if (verify != X509_V_OK)
            error = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
        if (r == Result::Closed) error = "the peer left during the handshake";
        if (r != Result::Closed) r = Result::Failed;
    }
    return r;
}

CTls::Result CTls::read(void* to, size_t room, size_t& done, std::string& error) {
    CHubMutexLock lock(m_mutex);
    ERR_clear_error();
    errno = 0;
    done = 0;
    const int rc = SSL_read_ex(m_ssl.get(), to, room, &done);
    return rc == 1 ? Result::Done : result(rc, error);
}

CTls::Result CTls::write(const void* from, size_t size, size_t& done, std::string& error) {
    CHubMutexLock lock(m_mutex);
    ERR_clear_error();
    errno = 0;
    done = 0;
    const int rc = SSL_write_ex(m_ssl.get(), from, size, &done);
    return rc == 1 ? Result::Done : result(rc, error);
}

bool CTls::pending() {
    CHubMutexLock lock(m_mutex);
    return SSL_pending(m_ssl.get()) > 0;
}

void CTls::closeNotify() {
    CHubMutexLock lock(m_mutex);
    ERR_clear_error();
    if (SSL_is_init_finished(m_ssl.get())) SSL_shutdown(m_ssl.get());
    ERR_clear_error();
}

std::string CTls::peerName() {
    CHubMutexLock lock(m_mutex);
    X509* cert = SSL_get0_peer_certificate(m_ssl.get());
    if (cert == nullptr || SSL_get_verify_result(m_ssl.get()) != X509_V_OK) return std::string();
    return nameOf(cert);
}

std::string CTls::ownName() {
    CHubMutexLock lock(m_mutex);
    X509* cert = SSL_get_certificate(m_ssl.get());
    return cert == nullptr ? std::string() : nameOf(cert);
}

}  // namespace zynet

// ---- credentials --------------------------------------------------------------------------------

TZyNetCredentials zyNetCredentialsIn(const std::string& folder) {
    namespace fs = std::filesystem;
    TZyNetCredentials c;
    c.authorityFile = (fs::path(folder) / "authority.crt").string();
    std::error_code ec;
    if (fs::exists(fs::path(folder) / "machine.crt", ec)) {
        c.certificateFile = (fs::path(folder) / "machine.crt").string();
        c.keyFile = (fs::path(folder) / "machine.key").string();
    }
    return c;
}

CUxError setZyNetCredentials(const TZyNetCredentials& credentials) {
    std::string error;
    if (!setZyNetCredentials(credentials, error))
        return zynet::makeError(ZYNET_E_NO_CREDENTIALS, "setZyNetCredentials", error);
    return CUxError::Success();
}

namespace {

bool readText(const std::filesystem::path& path, std::string& text) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buffer[4096];
    size_t n;
    text.clear();
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
    fclose(f);
    return true;
}

// The credentials' files, names and contents, as one text; empty when one cannot be read or the key is
// not the owner's alone (then they are built, and refused, as new ones are).
std::string credentialsText(const TZyNetCredentials& c) {
    if (!c.certificateFile.empty() && !zyconfig::isPrivateFile(c.keyFile, nullptr)) return std::string();
    std::string all;
    for (const std::string* file : {&c.authorityFile, &c.certificateFile, &c.keyFile}) {
        std::string text;
        if (!file->empty() && !readText(*file, text)) return std::string();
        all += *file + '\0' + std::to_string(text.size()) + '\0' + text;
    }
    return all;
}

}  // namespace

bool setZyNetCredentials(const TZyNetCredentials& credentials, std::string& error) {
    zynet::TStore* live = zynet::store();
    if (live == nullptr) {
        error = "the process is ending";
        return false;
    }
    zynet::TStore& s = *live;
    // The same files as they were (a console sets its credentials for every command): the contexts stay,
    // with the tickets they keep for resuming sessions and those built for other names.
    std::string files = credentialsText(credentials);
    {
        CHubMutexLock lock(s.mutex);
        if (s.own && !files.empty() && files == s.ownFiles) return true;
    }
    auto context = zynet::build(credentials, error);
    if (!context) {
        zynet::logError("credentials refused: %s", error.c_str());
        return false;
    }
    CHubMutexLock lock(s.mutex);
    s.own = std::move(context);
    s.ownFiles = std::move(files);
    s.others.clear();
    zynet::logDebug(1, "secure sessions as [%s]", s.own->name.empty() ? "(anonymous)" : s.own->name.c_str());
    return true;
}

void clearZyNetCredentials() {
    zynet::TStore* s = zynet::store();
    if (s == nullptr) return;
    CHubMutexLock lock(s->mutex);
    s->own.reset();
    s->ownFiles.clear();
    s->others.clear();
}

std::string zyNetCredentialName() {
    zynet::TStore* s = zynet::store();
    if (s == nullptr) return std::string();
    CHubMutexLock lock(s->mutex);
    return s->own ? s->own->name : std::string();
}

void setZyNetIdentitySource(ZyNetIdentitySource source) {
    // At exit, after the store: there is nothing left to give the source to.
    zynet::TStore* s = zynet::store();
    if (s == nullptr) return;
    CHubMutexLock lock(s->mutex);
    s->source = std::move(source);
    s->others.clear();
}

// ---- issuing ------------------------------------------------------------------------------------

namespace {

// Certificates of the demo and test worlds outlive any run of them.
constexpr int kValidDays = 3650;

}  // namespace

namespace {
CHubMutex g_reusedAuthorityLock;
std::string g_reusedAuthority GUARDED_BY(g_reusedAuthorityLock);
}  // namespace

void reuseZyNetAuthority(const std::string& folder) {
    CHubMutexLock hold(g_reusedAuthorityLock);
    g_reusedAuthority = folder;
}

bool createZyNetAuthority(const std::string& folder, const std::string& name, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(folder, ec);
    fs::permissions(folder, fs::perms::owner_all, ec);
    zycrypto::TPemPair authority;
    if (fs::exists(fs::path(folder) / "authority.key", ec)) return true;
    std::string given;
    {
        CHubMutexLock hold(g_reusedAuthorityLock);
        given = g_reusedAuthority;
    }
    if (!given.empty()) {
        if (!readText(fs::path(given) / "authority.crt", authority.certificate) ||
            !readText(fs::path(given) / "authority.key", authority.key)) {
            error = "no authority in " + given;
            return false;
        }
    } else if (!zycrypto::createAuthority(name, kValidDays, authority, error)) {
        return false;
    }
    return zyconfig::writePrivateFile((fs::path(folder) / "authority.crt").string(), authority.certificate,
                                      &error) &&
           zyconfig::writePrivateFile((fs::path(folder) / "authority.key").string(), authority.key, &error);
}

bool issueZyNetCredentials(const std::string& authorityFolder, const std::string& clientName,
                           const std::string& folder, std::string& error) {
    namespace fs = std::filesystem;
    zycrypto::TPemPair authority, issued;
    if (!readText(fs::path(authorityFolder) / "authority.crt", authority.certificate) ||
        !readText(fs::path(authorityFolder) / "authority.key", authority.key)) {
        error = "no authority in " + authorityFolder;
        return false;
    }
    if (!zycrypto::issueCertificate(authority, clientName, kValidDays, issued, error)) return false;
    std::error_code ec;
    fs::create_directories(folder, ec);
    fs::permissions(folder, fs::perms::owner_all, ec);
    return zyconfig::writePrivateFile((fs::path(folder) / "authority.crt").string(), authority.certificate,
                                      &error) &&
           zyconfig::writePrivateFile((fs::path(folder) / "machine.crt").string(), issued.certificate,
                                      &error) &&
           zyconfig::writePrivateFile((fs::path(folder) / "machine.key").string(), issued.key, &error);
}

bool startZyNetSecurity(const std::string& folder, std::string& error) {
    unsigned int plain = 0;
    ZYPlatformInfo::getNumber("Network", "bAllowPlainSessions", &plain);
    TZyNetOptions options = zyNetOptions();
    options.allowPlainSessions = plain != 0;
    setZyNetOptions(options);
    if (plain != 0)
        zynet::logError("plain sessions are allowed: peers' names are not proven and traffic is in clear");
    std::error_code ec;
    if (folder.empty() || !std::filesystem::exists(std::filesystem::path(folder) / "authority.crt", ec)) {
        if (plain != 0) return true;
        error = "no credentials in [" + folder + "] (authority.crt, machine.crt, machine.key)";
        return false;
    }
    if (!setZyNetCredentials(zyNetCredentialsIn(folder), error)) return false;
    // hosted/<client name>/: credentials of the clients whose services run on this machine.
    std::map<std::string, std::shared_ptr<const zynet::TTlsContext>> hosted;
    const std::filesystem::path hostedFolder = std::filesystem::path(folder) / "hosted";
    if (std::filesystem::is_directory(hostedFolder, ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(hostedFolder, ec)) {
            std::string why;
            auto context = zynet::build(zyNetCredentialsIn(entry.path().string()), why);
            if (!context || !context->server || context->name != entry.path().filename().string()) {
                error = "hosted credentials " + entry.path().string() + " cannot be used" +
                        (why.empty() ? ": they prove another name" : ": " + why);
                return false;
            }
            hosted[context->name] = std::move(context);
        }
    }
    zynet::TStore* s = zynet::store();
    if (s == nullptr) {
        error = "the process is ending";
        return false;
    }
    CHubMutexLock lock(s->mutex);
    s->hosted = std::move(hosted);
    return true;
}

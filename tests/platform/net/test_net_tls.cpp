// Secure sessions over loopback: who a peer is comes from its certificate (never from what it claims),
// a caller without one is anonymous, certificates of another authority and plain sessions are refused
// unless plain ones are switched on, keys others can read are refused, and anonymous callers live
// within their limits (their share of the slots, a deadline for the first message, a small frame cap)
// while proven peers are always served. Lines an outsider causes are counted past a burst.
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/log/evdebug.h"
#include "platform/log/peerlog.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynet_xml.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/zetatoken.h"
#include "tests/platform/db/tempdir.h"
#include "tests/platform/net/net_test_server.h"
#include "tests/support/net/net_frame_link.h"
#include "tests/support/net/net_records.h"
#include "tests/support/tls/testpki.h"

namespace nettest {
namespace {

namespace fs = std::filesystem;
using zynet::FrameKind;

struct TSeen {
    std::string name;
    bool proven = false;
    bool secure = false;
};

class NetTlsTest : public NetServerTest {
public:
    void SetUp() override {
        NetServerTest::SetUp();
        // Every marker tells who sent it, as the server sees the session.
        m_probe.onXdr = [this](CZyNetworkServer* server, long long handle, unsigned long, zysDatabuf_v2*) {
            CZySessionLease session(server, handle);
            if (!session) return;
            CUxString name;
            ignoreResult(session->GetRemoteClientName(name),
                         "an unnamed peer is recorded with an empty name");
            std::lock_guard<std::mutex> lock(m_seenMutex);
            m_seen.push_back({name.c_str(), session->IsPeerProven(), session->IsSecure()});
        };
    }
    void TearDown() override {
        NetServerTest::TearDown();
        hubtest::useTestIdentities();
    }
    std::unique_ptr<CZyNetwork> open(const char* claimedName, CUxError& error) {
        auto session = std::make_unique<CZyNetwork>();
        bool timedOut = false;
        error = session->Connect(address().c_str(), "TestService", claimedName, 10, timedOut);
        return session;
    }
    // True when the server closes a session that sends nothing: waited for as its close arrives (the
    // bound only keeps a broken first-message deadline from hanging the test).
    static bool closedWhileSilent(CZyNetwork& silent) {
        zysDatabuf_v2 nothing;
        unsigned long code = 0;
        bool waitedOut = false;
        return silent.ReceiveXDRMessage(&code, &nothing, nullptr, 0, 60, waitedOut).IsError() && !waitedOut;
    }
    TSeen lastSeen() {
        std::lock_guard<std::mutex> lock(m_seenMutex);
        return m_seen.empty() ? TSeen{"(nothing)", false, false} : m_seen.back();
    }

    std::mutex m_seenMutex;
    std::vector<TSeen> m_seen;
};

TEST_F(NetTlsTest, ThePeersNameIsWhatItsCertificateProvesWhateverItClaims) {
    // A machine with a certificate: proven, whatever its opening claims.
    hubtest::CFrameLink link;
    ASSERT_TRUE(link.connect(m_listener->port()));
    std::string why;
    ASSERT_TRUE(link.open("TestService", "client1", 4098, why)) << why;  // claims client1, is "hubmaster"
    ASSERT_TRUE(link.send(FrameKind::Xdr, kMarker, {}));
    hubtest::TRawFrame answer;
    ASSERT_TRUE(link.receive(answer, 10, why)) << why;
    TSeen seen = lastSeen();
    EXPECT_EQ(seen.name, "hubmaster");
    EXPECT_TRUE(seen.proven);
    EXPECT_TRUE(seen.secure);

    // A session speaking as another machine of this process uses that machine's certificate.
    CUxError error;
    auto client2 = open("client2", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_TRUE(roundTrip(*client2));
    EXPECT_EQ(lastSeen().name, "client2");
    // The client side knows the listener by its certificate too: here, the machine it asked for (this
    // process plays it as it plays the callers).
    CUxString server;
    ASSERT_FALSE(client2->GetRemoteClientName(server).IsError());
    EXPECT_STREQ(server.c_str(), "test-service");
    EXPECT_TRUE(client2->IsSecure());

    // Without a certificate the caller is anonymous, whatever it claims.
    auto anonymous = open(hubtest::kAnonymous, error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_TRUE(roundTrip(*anonymous));
    seen = lastSeen();
    EXPECT_EQ(seen.name, "");
    EXPECT_FALSE(seen.proven);
    EXPECT_TRUE(seen.secure);
}

// A session opened again to the same listener resumes by the ticket of the last one: both sides still
// know each other by the names the certificates proved, and a ticket never lends one machine's name to
// another, nor a name to an anonymous caller.
TEST_F(NetTlsTest, ResumedSessionsKeepTheNamesTheCertificatesProved) {
    CUxError error;
    for (const char* who : {"client2", hubtest::kAnonymous}) {
        const std::string expected = who == hubtest::kAnonymous ? "" : who;
        for (int round = 0; round < 3; ++round) {
            auto session = open(who, error);
            ASSERT_FALSE(error.IsError()) << error.AsString();
            ASSERT_TRUE(roundTrip(*session));  // the ticket comes with the first answer
            EXPECT_EQ(session->IsSessionResumed(), round > 0) << who << " round " << round;
            const TSeen seen = lastSeen();
            EXPECT_EQ(seen.name, expected);
            EXPECT_EQ(seen.proven, !expected.empty());
            CUxString server;
            ASSERT_FALSE(session->GetRemoteClientName(server).IsError());
            EXPECT_STREQ(server.c_str(), "test-service");
        }
    }
    // A listener the same machine opened on a port of its own (an instance it launched) resumes with
    // its first listener's ticket.
    auto other = CZydListener::create();
    ASSERT_FALSE(other->start(0).IsError());
    CZyNetworkServer otherServer(xdrCallback, xmlCallback, "TestService", other);
    std::thread select([&] { ignoreResult(otherServer.SelectData(5, 100, 100), "serves until Quit"); });
    {
        CZyNetwork elsewhere;
        bool timedOut = false;
        error = elsewhere.Connect(("127.0.0.1*test-service*0*" + std::to_string(other->port())).c_str(),
                                  "TestService", "client2", 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_TRUE(elsewhere.IsSessionResumed());
    }
    ignoreResult(otherServer.Quit(true, true), "stopping");
    select.join();
    other->stop();
    // The process's own credentials set again as they were (a console sets them for every command) keep
    // the tickets of its sessions (those of earlier tests' listeners forgotten first).
    const std::string own = hubtest::testCredentialsFor("hubmaster");
    clearZyNetCredentials();
    for (int round = 0; round < 3; ++round) {
        ASSERT_FALSE(setZyNetCredentials(zyNetCredentialsIn(own)).IsError());
        auto session = open("hubmaster", error);
        ASSERT_FALSE(error.IsError()) << error.AsString();
        ASSERT_TRUE(roundTrip(*session));
        EXPECT_EQ(session->IsSessionResumed(), round > 0) << "own credentials, round " << round;
    }
    // Another machine of this process has tickets of its own: its first session is a full handshake.
    auto client1 = open("client1", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_TRUE(roundTrip(*client1));
    EXPECT_FALSE(client1->IsSessionResumed());
    EXPECT_EQ(lastSeen().name, "client1");
}

class NetTlsClockTest : public NetTlsTest {
public:
    const CHubClock& listenerClock() override { return m_clock; }
    CHubManualClock m_clock;
};

// What lets a session be resumed lasts its lifetime on the clock of the side that keeps it, not longer:
// the listener's kept session on the listener's clock, the caller's ticket on the caller's.
TEST_F(NetTlsClockTest, ClockExpirySessionsAndTicketsLapseAtTheirLifetimeNotBefore) {
    using namespace std::chrono_literals;
    // A session of `who` on `clock`, and whether it resumed.
    auto resumes = [&](const char* who, const CHubClock& clock) {
        CZyNetwork session(clock);
        bool timedOut = false;
        const CUxError error = session.Connect(address().c_str(), "TestService", who, 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_TRUE(roundTrip(session));  // the ticket comes with the first answer
        return session.IsSessionResumed();
    };
    const auto lifetime = 600s;
    // The listener's: the caller's tickets never lapse on the real clock meanwhile. (The first session
    // only brings a ticket: it may resume with one an earlier listener of this process left.)
    resumes("client2", CHubClock::real());
    m_clock.advance(lifetime - 1s);
    EXPECT_TRUE(resumes("client2", CHubClock::real()));
    m_clock.advance(lifetime);
    EXPECT_FALSE(resumes("client2", CHubClock::real()));
    // The caller's (another machine's tickets): the listener's clock stands meanwhile.
    CHubManualClock callerClock;
    resumes("client1", callerClock);
    callerClock.advance(lifetime - 1s);
    EXPECT_TRUE(resumes("client1", callerClock));
    callerClock.advance(lifetime);
    EXPECT_FALSE(resumes("client1", callerClock));
}

// A ticket resumes one session: offered again (a replay), the listener makes a full handshake.
TEST_F(NetTlsTest, ATicketResumesOneSessionOnly) {
    const TZyNetCredentials own = zyNetCredentialsIn(hubtest::testCredentialsFor("client2"));
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    ASSERT_EQ(SSL_CTX_load_verify_locations(ctx.get(), own.authorityFile.c_str(), nullptr), 1);
    ASSERT_EQ(SSL_CTX_use_certificate_file(ctx.get(), own.certificateFile.c_str(), SSL_FILETYPE_PEM), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx.get(), own.keyFile.c_str(), SSL_FILETYPE_PEM), 1);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_clear_mode(ctx.get(), SSL_MODE_AUTO_RETRY);  // a read returns once the ticket is in
    // A handshake offering `ticket` (null: none); whether it resumed, and the ticket it brought in `given`.
    auto handshake = [&](SSL_SESSION* ticket, SSL_SESSION** given) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(m_listener->port()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval limit{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = SSL_new(ctx.get());
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "test-service");
        if (ticket) SSL_set_session(ssl, ticket);
        char byte;
        const bool shook =
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && SSL_connect(ssl) == 1;
        const bool resumed = shook && SSL_session_reused(ssl) == 1;
        if (given && shook && SSL_read(ssl, &byte, 1) <= 0) *given = SSL_get1_session(ssl);
        if (shook) SSL_shutdown(ssl);  // unshut, the session would be marked unusable
        SSL_free(ssl);
        close(fd);
        return resumed;
    };
    SSL_SESSION* first = nullptr;
    EXPECT_FALSE(handshake(nullptr, &first));
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(handshake(first, nullptr));
    EXPECT_FALSE(handshake(first, nullptr));
    SSL_SESSION_free(first);
}

// Messages of any size arrive whole and in order over TLS: around a record's size (where a frame's
// header shares the first record) and across many records.
TEST_F(NetTlsTest, MessagesAroundAndAcrossRecordSizesArriveWhole) {
    std::vector<std::string> got;  // guarded by the probe's mutex
    m_probe.onXml = [&](CZyNetworkServer*, long long, CNMessageBase* message) {
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        got.push_back(message->getstring(databrowse::BrowseResponse::f::workerId));
        delete message;
        m_probe.changed.notify_all();
    };
    CUxError error;
    auto session = open("client2", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::vector<std::string> sent;
    // And a payload of exactly two records (its header then shares no record it could fill).
    databrowse::BrowseResponse bare;
    bare.setstring(databrowse::BrowseResponse::f::workerId, "");
    std::string bareXml, why;
    ASSERT_TRUE(zynet::messageToXml(bare, bareXml, why)) << why;
    const size_t twoRecords = 2 * 16384 - bareXml.size();
    for (size_t size : {size_t{1}, size_t{16250}, size_t{16300}, size_t{16384}, size_t{16500}, twoRecords,
                        size_t{40000}, size_t{100003}, size_t{1500007}}) {
        std::string text(size, 'a');
        for (size_t k = 0; k < size; ++k) text[k] = static_cast<char>('a' + (k * 7 + size) % 26);
        databrowse::BrowseResponse message;
        message.setstring(databrowse::BrowseResponse::f::workerId, text);
        bool timedOut = false;
        ASSERT_FALSE(session->SendXMLMessage(&message, 0, 10, timedOut).IsError()) << size;
        sent.push_back(text);
    }
    // Several messages in one write: a large one and the small one after it, in order.
    std::vector<std::pair<unsigned long, std::string>> pair;
    for (const std::string& text : {std::string(40000, 'x'), std::string("end")}) {
        databrowse::BrowseResponse message;
        message.setstring(databrowse::BrowseResponse::f::workerId, text);
        std::string xml, why;
        ASSERT_TRUE(zynet::messageToXml(message, xml, why)) << why;
        pair.emplace_back(message.getTagID(), xml);
        sent.push_back(text);
    }
    bool timedOut = false;
    ASSERT_FALSE(session->SendXMLMessages(pair, 10, timedOut).IsError());
    ASSERT_TRUE(m_probe.waitFor([&] { return got.size() == sent.size(); }));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(got, sent);
}

// Writing to a peer that left is an error of the send, never a SIGPIPE: the host keeps the signal's
// default action (which would end it), and creating secure sessions does not change that.
TEST_F(NetTlsTest, APeerThatLeftIsASendErrorNotASignal) {
    struct sigaction previous {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &byDefault, &previous), 0);
    CUxError error;
    auto session = open("client2", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    ASSERT_FALSE(m_server->Quit(true, true).IsError());  // closes every session on the server's side
    databrowse::BrowseResponse message;
    message.setstring(databrowse::BrowseResponse::f::workerId, std::string(100000, 'p'));
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) {
        bool timedOut = false;
        failed = session->SendXMLMessage(&message, 0, 10, timedOut).IsError();
    }
    EXPECT_TRUE(failed);
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGPIPE, &previous, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(NetTlsTest, ForeignCertificatesAndPlainSessionsAreRefused) {
    // A certificate of another authority proves nothing here.
    const fs::path foreign = fs::temp_directory_path() / ("hub-foreign-pki-" + std::to_string(getpid()));
    std::string why;
    reuseZyNetAuthority("");
    ASSERT_TRUE(createZyNetAuthority((foreign / "ca").string(), "foreign", why)) << why;
    reuseZyNetAuthority(hubtest::testAuthorityFolder());
    ASSERT_TRUE(issueZyNetCredentials((foreign / "ca").string(), "intruder", (foreign / "m").string(), why))
        << why;
    setZyNetIdentitySource([&](const std::string&, TZyNetCredentials& c) {
        c = zyNetCredentialsIn((foreign / "m").string());
        return true;
    });
    CUxError error;
    auto intruder = open("intruder", error);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_SECURITY) << error.AsString();
    EXPECT_EQ(lastSeen().name, "(nothing)");
    hubtest::useTestIdentities();
    fs::remove_all(foreign);

    // A plain client is told why it is refused, and nothing reaches the service.
    hubtest::CFrameLink plain;
    ASSERT_TRUE(plain.connect(m_listener->port(), 10, false));
    EXPECT_FALSE(plain.open("TestService", "client1", 4098, why));
    EXPECT_NE(why.find("plain sessions are refused"), std::string::npos) << why;

    // Switched on, a plain peer is served under the name it claims: that is what the switch costs.
    TZyNetOptions options;
    options.allowPlainSessions = true;
    setZyNetOptions(options);
    hubtest::CFrameLink allowed;
    ASSERT_TRUE(allowed.connect(m_listener->port(), 10, false));
    ASSERT_TRUE(allowed.open("TestService", "client1", 4098, why)) << why;
    ASSERT_TRUE(allowed.send(FrameKind::Xdr, kMarker, {}));
    hubtest::TRawFrame answer;
    ASSERT_TRUE(allowed.receive(answer, 10, why)) << why;
    EXPECT_EQ(lastSeen().name, "client1");
    EXPECT_FALSE(lastSeen().secure);
}

TEST_F(NetTlsTest, AKeyOthersMayReadIsRefused) {
    const std::string folder = hubtest::testCredentialsFor("careless");
    const fs::path copy = fs::temp_directory_path() / ("hub-careless-" + std::to_string(getpid()));
    fs::create_directories(copy);
    for (const char* f : {"authority.crt", "machine.crt", "machine.key"})
        fs::copy_file(fs::path(folder) / f, copy / f, fs::copy_options::overwrite_existing);
    ASSERT_FALSE(setZyNetCredentials(zyNetCredentialsIn(copy.string())).IsError());
    EXPECT_EQ(zyNetCredentialName(), "careless");
    // The same files set again, once their key became readable by others: refused all the same.
    chmod((copy / "machine.key").c_str(), 0644);
    const CUxError error = setZyNetCredentials(zyNetCredentialsIn(copy.string()));
    EXPECT_TRUE(error.IsError());
    EXPECT_NE(error.GetErrorText().find("machine.key"), std::string::npos) << error.AsString();
    EXPECT_EQ(zyNetCredentialName(), "careless");  // the refused ones did not replace the good ones
    ASSERT_FALSE(setZyNetCredentials(zyNetCredentialsIn(hubtest::testCredentialsFor("hubmaster"))).IsError());
    fs::remove_all(copy);
}

TEST_F(NetTlsTest, AnonymousCallersStayWithinTheirLimitsAndProvenPeersAreAlwaysServed) {
    TZyNetOptions options;
    options.maxConnections = 6;
    options.maxAnonymousConnections = 3;
    options.maxAnonymousPerAddress = 3;
    options.anonymousFirstFrameSeconds = 2;
    options.anonymousMaxFrameBytes = 64 * 1024;
    setZyNetOptions(options);
    const char* const anonymous = hubtest::kAnonymous;

    // Three anonymous sessions, idle once answered, fill their share; a fourth takes the place of the
    // oldest.
    std::vector<std::unique_ptr<CZyNetwork>> idle;
    CUxError error;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(open(anonymous, error));
        ASSERT_FALSE(error.IsError()) << i << ": " << error.AsString();
        if (i < 3) {
            ASSERT_TRUE(roundTrip(*idle.back())) << i;
        }
    }
    EXPECT_FALSE(roundTrip(*idle[0]));  // closed for the newer one
    EXPECT_TRUE(roundTrip(*idle[3]));

    // A frame over the anonymous cap closes its session before anything is decoded.
    auto big = open(anonymous, error);
    ASSERT_FALSE(error.IsError());
    std::vector<uint8_t> payload(128 * 1024, 'x');
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(payload.data(), payload.size());
    bool timedOut = false;
    ignoreResult(big->SendXDRMessage(0x22000098, &buffer, 0, 10, timedOut),
                 "a message over the limit: the session's end is checked next");
    EXPECT_FALSE(roundTrip(*big));

    // An anonymous session that sends nothing is closed after its first-message deadline.
    auto silent = open(anonymous, error);
    ASSERT_FALSE(error.IsError());
    EXPECT_TRUE(closedWhileSilent(*silent));

    // A proven peer gets in and may send the same frame, even with every slot held by anonymous callers.
    std::vector<std::unique_ptr<CZyNetwork>> crowd;
    for (int i = 0; i < 3; ++i) crowd.push_back(open(anonymous, error));
    std::vector<std::unique_ptr<CZyNetwork>> proven;
    for (int i = 0; i < 4; ++i) {
        proven.push_back(open(nullptr, error));
        ASSERT_FALSE(error.IsError()) << i << ": " << error.AsString();
        ASSERT_TRUE(roundTrip(*proven.back())) << i;
    }
    ASSERT_FALSE(proven[0]->SendXDRMessage(0x22000098, &buffer, 0, 10, timedOut).IsError());
    EXPECT_TRUE(roundTrip(*proven[0]));
}

// Of the sessions that fill a count, a newcomer takes the place of the one that has waited longest with
// nothing under way since its answer, never of one whose message is on its way (its first bytes came), even
// an older one: that message is answered whole.
TEST_F(NetTlsClockTest, ASessionWithAMessageOnItsWayIsNotClosedForANewcomer) {
    using namespace std::chrono_literals;
    TZyNetOptions options;
    options.maxAnonymousConnections = 3;
    options.maxAnonymousPerAddress = 3;
    options.anonymousFirstFrameSeconds = 60;
    setZyNetOptions(options);
    std::string why;
    std::vector<hubtest::CFrameLink> links(4);
    hubtest::TRawFrame answer;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(links[i].connect(m_listener->port(), 10, true, hubtest::kAnonymous));
        ASSERT_TRUE(links[i].open("TestService", "console", 4098, why)) << why;
        ASSERT_TRUE(links[i].send(FrameKind::Xdr, kMarker, {}));
        ASSERT_TRUE(links[i].receive(answer, 10, why)) << i << ": " << why;
        m_clock.advance(1s);
    }
    const std::vector<uint8_t> marker = zynet::buildFrame(FrameKind::Xdr, kMarker, nullptr, 0);
    ASSERT_TRUE(links[0].sendRaw(std::vector<uint8_t>(marker.begin(), marker.begin() + 8)));
    ASSERT_TRUE(links[3].connect(m_listener->port(), 10, true, hubtest::kAnonymous));
    ASSERT_TRUE(links[3].open("TestService", "console", 4098, why)) << why;
    ASSERT_TRUE(links[0].sendRaw(std::vector<uint8_t>(marker.begin() + 8, marker.end())));
    EXPECT_TRUE(links[0].receive(answer, 10, why)) << why;
    EXPECT_TRUE(links[1].waitForClose(10)) << "the session that waited longest with nothing under way";
    for (int i : {2, 3}) {
        ASSERT_TRUE(links[i].send(FrameKind::Xdr, kMarker, {}));
        EXPECT_TRUE(links[i].receive(answer, 10, why)) << i << ": " << why;
    }
}

// A listener whose process has no descriptor left for a waiting connection says so once, leaves it in
// the backlog (looked at again a little later, on its clock, not at once and again), and serves it once
// descriptors are free again.
TEST_F(NetTlsClockTest, AListenerOutOfDescriptorsSaysSoAndServesTheCallerWhenItCan) {
    using namespace std::chrono_literals;
    // What the caller's sessions load once (its credentials) is loaded first.
    ASSERT_NE(zynet::clientContext(""), nullptr);
    // The log is read through a descriptor opened now, while there are descriptors.
    EvDebug(nullptr).debugLvl(0, "the log is open from here on");
    const int logFd =
        ::open(EvDebugFileInstance::defaultInstance()->filePath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(logFd, 0);
    const auto said = [&] {
        std::string text;
        char buffer[65536];
        for (off_t at = 0;;) {
            const ssize_t n = pread(logFd, buffer, sizeof buffer, at);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        size_t n = 0;
        for (size_t at = text.find("cannot take a connection"); at != std::string::npos;
             at = text.find("cannot take a connection", at + 1))
            ++n;
        return n;
    };
    const size_t before = said();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor is the only one left: the caller's socket takes it, the listener none.
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    // The caller's thread is made while there are descriptors (making one may take some), and connects
    // once the limit is tight.
    std::promise<void> tight;
    std::atomic<bool> served{false};
    std::thread caller([&, go = tight.get_future()]() mutable {
        go.wait();
        CZyNetwork session;
        bool timedOut = false;
        served = !session.Connect(address().c_str(), "TestService", nullptr, 60, timedOut).IsError() &&
                 roundTrip(session);
    });
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    tight.set_value();
    for (int i = 0; i < 60000 && said() == before; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(said(), before + 1);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    m_clock.advance(1s);
    caller.join();
    EXPECT_TRUE(served.load());
    EXPECT_EQ(said(), before + 1) << "said once";
    close(logFd);
}

// A client machine's certificate proves its name and no more: its sessions keep their places against
// newcomers only for an outsider's first-message limit and are counted as an outsider's, by that name and
// in the client machines' share, an idle one giving way to a newcomer of that share (never to a console
// without a certificate, which has a share of its own), and the lines they cause are counted against that
// name, while the infrastructure's are not counted.
TEST_F(NetTlsTest, AClientMachinesSessionsLiveWithinAnOutsidersLimits) {
    TZyNetOptions options;
    options.maxConnections = 8;
    options.maxAnonymousConnections = 1;
    options.maxClientMachineConnections = 3;
    options.maxOutsiderPerName = 2;
    options.anonymousFirstFrameSeconds = 2;
    options.isInfrastructure = [](const std::string& name) { return name == "hubmaster"; };
    setZyNetOptions(options);
    std::mutex mutex;
    std::map<std::string, std::string> countedAs;  // by the client name a session proved
    m_probe.onXdr = [&](CZyNetworkServer* server, long long handle, unsigned long, zysDatabuf_v2*) {
        CZySessionLease session(server, handle);
        if (!session) return;
        CUxString name;
        ignoreResult(session->GetRemoteClientName(name), "an unnamed peer is recorded with an empty name");
        std::lock_guard<std::mutex> lock(mutex);
        countedAs[name.c_str()] = zylog::currentPeer();
    };

    // A session of client1 that has sent nothing stays past its first-message limit (a machine opens its
    // sessions ahead of its requests), as an idle one: the first to give way to a newer one of its name.
    CUxError error;
    auto silent = open("client1", error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::this_thread::sleep_for(std::chrono::seconds(options.anonymousFirstFrameSeconds) +
                                std::chrono::milliseconds(200));

    // Then a session of client1 takes the place of the oldest of its name, idle since its answer;
    // client2's fill the machines' share, the second taking the place of the oldest idle one there; a
    // console without a certificate takes none of theirs.
    std::vector<std::unique_ptr<CZyNetwork>> client1, client2;
    for (int i = 0; i < 3; ++i) {
        client1.push_back(open("client1", error));
        ASSERT_FALSE(error.IsError()) << i << ": " << error.AsString();
        if (i < 2) {
            ASSERT_TRUE(roundTrip(*client1.back())) << i;
        }
    }
    ASSERT_TRUE(roundTrip(*client1[2]));
    for (int i = 0; i < 2; ++i) {
        client2.push_back(open("client2", error));
        ASSERT_FALSE(error.IsError()) << i << ": " << error.AsString();
        if (i == 0) {
            ASSERT_TRUE(roundTrip(*client2.back()));
        }
    }
    auto console = open(hubtest::kAnonymous, error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    auto hubmaster = open(nullptr, error);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_FALSE(roundTrip(*silent));
    EXPECT_FALSE(roundTrip(*client1[0]));
    // Of client1's two last sessions, the one the server saw idle first gives way: the server marks a
    // session idle just after its answer left, so on a busy machine the later one may be marked first.
    EXPECT_EQ(int(roundTrip(*client1[1])) + int(roundTrip(*client1[2])), 1);
    EXPECT_TRUE(roundTrip(*client2[0]));
    EXPECT_TRUE(roundTrip(*client2[1]));
    EXPECT_TRUE(roundTrip(*console));
    EXPECT_TRUE(roundTrip(*hubmaster));

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(countedAs["client1"], "client1");
    EXPECT_EQ(countedAs["client2"], "client2");
    EXPECT_EQ(countedAs[""], "127.0.0.1");
    EXPECT_EQ(countedAs["hubmaster"], "");
}

// The admission of callers outside the infrastructure, with the security manager's own token check in the
// service's callback (a Hubmaster database with an administrator, a user with no rights and a disabled
// user): the server learns what each token came to from the check itself.
class NetAdmissionTest : public NetTlsClockTest {
public:
    static constexpr unsigned long kAsk = 0x22000097;  // carries a token; answered with its verdict
    static constexpr unsigned long kAccepted = 0x22000095, kRefused = 0x22000094;
    static constexpr const char* kTokenKey = "0123456789abcdef-admission-key";

    void SetUp() override {
        ZYPlatformInfo::setRegistryPath(m_dir.file("registry.ini"));
        ASSERT_TRUE(ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", kTokenKey));
        int admin = 0, nemo = 0, disabled = 0;
        {
            hubdb::HubDbSeed seed(m_dir.file("hub.db"));
            ASSERT_TRUE(seed.ok()) << seed.error();
            hubdb::RowSeed users(seed);
            admin = users.addUser({.login = "admin"});
            nemo = users.addUser({.login = "TENANT\\nemo"});
            disabled = users.addUser({.login = "dave", .enabled = 0});
            ASSERT_TRUE(users.ok()) << users.error();
        }
        ASSERT_EQ(hubdb::openHubDatabase(m_dir.file("hub.db")), zydb::DB_OK);
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(admin, false, 3600, m_admin), 0);
        ASSERT_EQ(EvSecurityMgr::IssueZetaToken(nemo, false, 3600, m_nemo), 0);
        // Signed by the Hubmaster's key for a user it has since disabled.
        TZetaTokenClaims claims;
        claims.userId = disabled;
        claims.issuedAt = CHubClock::real().epochSeconds();
        claims.expiresAt = claims.issuedAt + 3600;
        ASSERT_EQ(CZetaToken::issue(kTokenKey, claims, m_disabled), CZetaToken::kValid);
        m_forged = m_admin;
        m_forged[m_forged.size() / 2] = m_forged[m_forged.size() / 2] == 'x' ? 'y' : 'x';
        NetTlsClockTest::SetUp();
        // The service's callback: the token checks, as every service calls them, decide its answer.
        m_probe.onXdr = [](CZyNetworkServer* server, long long handle, unsigned long code,
                           zysDatabuf_v2* data) {
            if (code != kAsk) return;
            const std::string token(reinterpret_cast<const char*>(data->getDataBuffer()),
                                    data->getDataSize());
            EvSecurityMgr security(0);
            int userId = 0;
            std::string name, domain, fullName;
            const bool valid =
                security.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, name, domain,
                                                                       fullName) == 1 ||
                security.GetSessionInfoFromZetaToken(token, true, userId, name, domain, fullName) == 1;
            reply(server, handle, valid ? kAccepted : kRefused);
        };
    }
    void TearDown() override {
        NetTlsClockTest::TearDown();
        zydb::CDbEnv::close();
        ZYPlatformInfo::setRegistryPath("");
    }
    static std::vector<uint8_t> askFrame(const std::string& token) {
        return zynet::buildFrame(FrameKind::Xdr, kAsk, reinterpret_cast<const uint8_t*>(token.data()),
                                 token.size());
    }

    TempDir m_dir;
    std::string m_admin, m_nemo, m_disabled, m_forged;
};

// Callers without a certificate share their slots by what they have shown: those whose token was not
// accepted hold at most a part, an idle one giving way to a newcomer; with none idle the newcomer comes
// in on trial and is closed once answered, unless its token is accepted, which keeps its session against
// every later anonymous newcomer; client machines keep a share of their own through it all.
TEST_F(NetAdmissionTest, CallersWithoutAnAcceptedTokenHoldOnlyTheirPartOfTheSlots) {
    using namespace std::chrono_literals;
    constexpr unsigned long kHold = 0x22000096;
    TZyNetOptions options;
    options.maxAnonymousConnections = 4;
    options.maxAnonymousWithoutToken = 2;
    options.maxClientMachineConnections = 2;
    options.anonymousFirstFrameSeconds = 60;
    options.outsiderWaitSeconds = 0;  // a newcomer without a place is refused at once
    options.isInfrastructure = [](const std::string& name) { return name == "hubmaster"; };
    setZyNetOptions(options);
    std::mutex mutex;  // guards held and released
    std::condition_variable changed;
    int held = 0;
    bool released = false;
    // kHold keeps its message under way until released.
    const auto checkTokens = m_probe.onXdr;
    m_probe.onXdr = [&](CZyNetworkServer* server, long long handle, unsigned long code, zysDatabuf_v2* data) {
        if (code != kHold) return checkTokens(server, handle, code, data);
        std::unique_lock<std::mutex> lock(mutex);
        ++held;
        changed.notify_all();
        changed.wait_for(lock, 60s, [&] { return released; });
        lock.unlock();
        reply(server, handle, code);
    };
    const auto ask = [](CZyNetwork& session, unsigned long code, const std::string& token = std::string()) {
        bool timedOut = false;
        zysDatabuf_v2 buffer;
        buffer.setExternalBuffer(const_cast<char*>(token.data()), token.size());
        unsigned long answer = 0;
        return !session.SendXDRMessage(code, token.empty() ? nullptr : &buffer, 0, 10, timedOut).IsError() &&
               !session.ReceiveXDRMessage(&answer, &buffer, nullptr, 0, 20, timedOut).IsError() &&
               !timedOut && answer == (code == kAsk ? kAccepted : code);
    };
    const auto refused = [](const CUxError& error) {
        return error.IsError() &&
               error.GetErrorText().find("too many callers outside the infrastructure") != std::string::npos;
    };
    CUxError error;
    const auto newcomer = [&](const char* as) {
        m_clock.advance(1s);  // each newer than the last
        auto session = open(as, error);
        EXPECT_FALSE(error.IsError()) << as << ": " << error.AsString();
        return session;
    };

    auto shown = newcomer(hubtest::kAnonymous);
    ASSERT_TRUE(ask(*shown, kAsk, m_admin));
    auto idle1 = newcomer(hubtest::kAnonymous);
    ASSERT_TRUE(roundTrip(*idle1));
    auto idle2 = newcomer(hubtest::kAnonymous);
    ASSERT_TRUE(roundTrip(*idle2));
    // Those without an accepted token are at their most: the oldest idle one gives way.
    auto busy1 = newcomer(hubtest::kAnonymous);
    EXPECT_FALSE(roundTrip(*idle1)) << "the oldest idle caller without an accepted token gives way";
    auto busy2 = std::move(idle2);
    bool timedOut = false;
    for (auto* session : {busy1.get(), busy2.get()})
        ASSERT_FALSE(session->SendXDRMessage(kHold, nullptr, 0, 10, timedOut).IsError());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return held == 2; }));
    }
    // None of them idle now: a newcomer is let in on trial, answered, and closed when its token was not
    // accepted; another, whose token is, stays.
    auto tried = newcomer(hubtest::kAnonymous);
    EXPECT_TRUE(ask(*tried, kAsk, m_forged) == false) << "answered on trial, with the token's refusal";
    EXPECT_FALSE(roundTrip(*tried)) << "closed once answered";
    auto accepted = newcomer(hubtest::kAnonymous);
    EXPECT_TRUE(ask(*accepted, kAsk, m_admin));
    EXPECT_TRUE(roundTrip(*accepted)) << "kept once its token was accepted";

    // Every anonymous slot is held, two by callers whose token was accepted (idle, but not closed for an
    // anonymous newcomer) and two with a message under way: the newcomer is refused, saying why.
    m_clock.advance(1s);
    auto turnedAway = open(hubtest::kAnonymous, error);
    EXPECT_TRUE(refused(error)) << error.AsString();

    // Client machines come in all the same, within their own share: its oldest idle one gives way.
    auto machine1 = newcomer("client1");
    ASSERT_TRUE(roundTrip(*machine1));
    auto machine2 = newcomer("client2");
    ASSERT_TRUE(roundTrip(*machine2));
    auto machine3 = newcomer("client2");
    m_clock.advance(1s);
    auto anotherTurnedAway = open(hubtest::kAnonymous, error);
    EXPECT_TRUE(refused(error)) << "an anonymous newcomer takes no machine's place: " << error.AsString();
    EXPECT_FALSE(roundTrip(*machine1));
    EXPECT_TRUE(roundTrip(*machine2));
    EXPECT_TRUE(roundTrip(*machine3));
    EXPECT_TRUE(roundTrip(*shown));
    EXPECT_TRUE(roundTrip(*accepted));

    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    zysDatabuf_v2 buffer;
    unsigned long answer = 0;
    for (auto* session : {busy1.get(), busy2.get()}) {
        EXPECT_FALSE(session->ReceiveXDRMessage(&answer, &buffer, nullptr, 0, 20, timedOut).IsError());
        EXPECT_EQ(answer, kHold);
    }
    // A place of those without an accepted token is free again once one of them leaves: the next
    // newcomer stays past its answer.
    busy1.reset();
    auto settled = newcomer(hubtest::kAnonymous);
    EXPECT_TRUE(roundTrip(*settled));
    EXPECT_TRUE(roundTrip(*settled)) << "kept: it came in within the part of those without a token";
}

// The admission rule as a model walk: each crowd of 128 sessions that keeps itself at its size (opening
// another as the server closes one) plays against legitimate callers arriving in two waves: prompt
// consoles, consoles that wait just under their first-message limit before asking, and a client machine
// that keeps its sessions and asks on each every two seconds. Every legitimate request is answered with
// its token accepted, no legitimate session is closed, and the crowd holds no more than the share less
// what the consoles kept. On the listener's clock, moved a quarter of a second at a time.
TEST_F(NetAdmissionTest, ModelCrowdsOfEveryKindLeaveEveryLegitimateCallerAnswered) {
    using namespace std::chrono_literals;
    using Time = CHubClock::Steady::time_point;
    using State = hubtest::CPolledCaller::State;
    TZyNetOptions options;
    options.isInfrastructure = [](const std::string& name) { return name == "hubmaster"; };
    setZyNetOptions(options);
    const TZyNetOptions& o = zynet::options();
    constexpr auto kStep = 500ms;
    const auto limit = std::chrono::seconds(o.anonymousFirstFrameSeconds);
    // The crowds' kinds, then the legitimate callers'.
    enum EKind {
        kForged,
        kLowRight,
        kDisabled,
        kByteASecond,
        kHalfAMessage,
        kIdle,
        kPrompt,
        kWaiting,
        kMachine
    };
    const char* const names[] = {"anonymous callers with forged tokens",
                                 "one valid token of a user with no rights, from 4 addresses",
                                 "a disabled user's token",
                                 "a byte a second",
                                 "half a first message",
                                 "openings left idle",
                                 "a prompt console",
                                 "a console that waits just under its first-message limit",
                                 "a client machine"};
    struct TCaller {
        EKind kind;
        hubtest::CPolledCaller session;
        Time quiet{}, welcomed{}, next{};  // quiet: the last poll that found its opening unanswered
        size_t sent = 0;                   // bytes of its message sent, for one sent slowly
        int asked = 0, accepted = 0, refused = 0;
        bool inFlight = false;
    };
    const std::vector<uint8_t> slow = askFrame(m_forged);
    const auto open = [&](TCaller& c) {
        c.sent = 0;
        c.inFlight = false;
        c.quiet = c.next = m_clock.steadyNow();
        c.session.open(m_listener->port(), "TestService");
    };
    const auto ask = [&](TCaller& c, const std::string& token, std::chrono::seconds again) {
        c.inFlight = c.session.send(askFrame(token));
        c.asked += c.inFlight;
        c.next = m_clock.steadyNow() + again;
    };
    const auto poll = [](TCaller& c) {
        c.session.poll([&c](const hubtest::TRawFrame& frame) {
            ++(frame.code == kAccepted ? c.accepted : c.refused);
            c.inFlight = false;
        });
    };
    // What came, then the caller's move at the clock's time: a crowd's session the server closed is
    // opened again; a waiting console asks just under its limit counted from the last poll before its
    // welcome, so the server's count (from the welcome) is never shorter.
    const auto move = [&](TCaller& c) {
        const bool opening = c.session.state() == State::Opening;
        poll(c);
        const Time now = m_clock.steadyNow();
        if (opening && c.session.state() == State::Open) c.welcomed = c.next = c.quiet;
        if (c.session.state() == State::Opening) c.quiet = now;
        if (c.session.state() == State::Closed && c.kind < kPrompt) open(c);
        if (c.session.state() != State::Open || now < c.next || c.inFlight) return;
        switch (c.kind) {
            case kForged:
                return ask(c, m_forged, 1s);
            case kLowRight:
                return ask(c, m_nemo, 30s);
            case kDisabled:
                return ask(c, m_disabled, 1s);
            case kByteASecond:
                if (c.sent < slow.size()) c.session.send({slow[c.sent++]});
                c.next = now + 1s;
                return;
            case kHalfAMessage:
                if (c.sent == 0) c.session.send({slow.begin(), slow.begin() + (c.sent = slow.size() / 2)});
                return;
            case kIdle:
                return;
            case kPrompt:
            case kWaiting:
                if (c.asked == 0 && (c.kind == kPrompt || now >= c.welcomed + limit - kStep))
                    ask(c, m_admin, 0s);
                return;
            case kMachine:
                return ask(c, m_admin, 2s);
        }
    };
    for (EKind crowdKind : {kForged, kLowRight, kDisabled, kByteASecond, kHalfAMessage, kIdle}) {
        SCOPED_TRACE(names[crowdKind]);
        std::vector<TCaller> callers;
        for (int i = 0; i < 128; ++i)
            callers.push_back({crowdKind, hubtest::CPolledCaller(crowdKind == kLowRight
                                                                     ? "127.0.3." + std::to_string(1 + i % 4)
                                                                     : "127.0.2." + std::to_string(1 + i),
                                                                 hubtest::kAnonymous)});
        const auto step = [&] {
            m_clock.advance(kStep);
            std::this_thread::sleep_for(2ms);  // the server's threads see the time before the callers move
            for (TCaller& c : callers) move(c);
        };
        // The crowd at its height: every session of it opened and its first moves made; openings left
        // idle have had their whole first-message limit, the first of them given up.
        for (const Time until = m_clock.steadyNow() + (crowdKind == kIdle ? limit + kStep : 1500ms);
             m_clock.steadyNow() < until;)
            step();
        // The legitimate callers, in two waves a second apart: consoles from addresses of their own, and a
        // client machine proven by its certificate, whose sessions stay open throughout.
        const Time start = m_clock.steadyNow();
        for (int wave = 0; wave < 2; ++wave) {
            for (EKind kind : {kPrompt, kWaiting, kMachine})
                open(callers.emplace_back(
                    TCaller{kind, hubtest::CPolledCaller(
                                      kind == kMachine ? "" : "127.0.1." + std::to_string(10 * wave + kind),
                                      kind == kMachine ? "client1" : hubtest::kAnonymous)}));
            while (m_clock.steadyNow() < start + 1s) step();
        }
        const auto consolesAnswered = [&] {
            return std::all_of(callers.begin(), callers.end(), [&](const TCaller& c) {
                return c.kind == kMachine || c.kind < kPrompt || c.accepted + c.refused == 1;
            });
        };
        while (!consolesAnswered() && m_clock.steadyNow() < start + 40s) step();
        // Settled: the answers on their way have come, and what the server closed has reached the callers.
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::sleep_for(10ms);
            for (TCaller& c : callers) poll(c);
            if (std::none_of(callers.begin(), callers.end(),
                             [](const TCaller& c) { return c.inFlight && c.session.state() == State::Open; }))
                break;
        }
        int crowdOpen = 0, consolesOpen = 0;
        for (const TCaller& c : callers) {
            const bool open = c.session.state() == State::Open;
            crowdOpen += open && c.kind < kPrompt;
            consolesOpen += open && (c.kind == kPrompt || c.kind == kWaiting);
            if (c.kind < kPrompt) continue;
            EXPECT_GT(c.asked, 0) << names[c.kind] << " had no place to ask in";
            EXPECT_EQ(c.accepted, c.asked) << names[c.kind] << ": " << c.refused << " refused";
            EXPECT_EQ(c.session.closes() + c.session.refusals(), 0)
                << names[c.kind] << " was closed or refused";
        }
        // The consoles keep their places, idle after their answers, and the crowd has the rest at most.
        EXPECT_LE(crowdOpen, static_cast<int>(o.maxAnonymousConnections) - consolesOpen);
        // The crowd leaves; what it left in line is let go before the next kind comes.
        for (TCaller& c : callers) c.session.close();
        for (int i = 0; i <= o.outsiderWaitSeconds; ++i) {
            m_clock.advance(1s);
            std::this_thread::sleep_for(5ms);
        }
    }
}

// A listener that sheds a connection before its handshake came to anything (as one under a flood of
// connections that say nothing sheds the oldest) costs the caller nothing: the connection is made again.
TEST_F(NetTlsTest, AConnectionShedBeforeItsHandshakeIsMadeAgain) {
    const int front = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(front, reinterpret_cast<sockaddr*>(&at), size), 0);
    ASSERT_EQ(listen(front, 4), 0);
    getsockname(front, reinterpret_cast<sockaddr*>(&at), &size);
    // The first connection is shed unread; the next one is relayed to the listener until either side ends.
    std::thread relay([&, listener = at] {
        close(accept(front, nullptr, nullptr));
        const int in = accept(front, nullptr, nullptr), out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = listener;
        to.sin_port = htons(static_cast<uint16_t>(m_listener->port()));
        bool open = in >= 0 && ::connect(out, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        pollfd ends[2] = {{in, POLLIN, 0}, {out, POLLIN, 0}};
        char buffer[16384];
        while (open && poll(ends, 2, -1) > 0)
            for (int i = 0; i < 2 && open; ++i)
                if (ends[i].revents != 0) {
                    const ssize_t n = read(ends[i].fd, buffer, sizeof buffer);
                    open = n > 0 && write(ends[1 - i].fd, buffer, static_cast<size_t>(n)) == n;
                }
        close(in);
        close(out);
    });
    {
        CZyNetwork session;
        bool timedOut = false;
        const std::string host = "127.0.0.1*test-service*0*" + std::to_string(ntohs(at.sin_port));
        const CUxError error = session.Connect(host.c_str(), "TestService", nullptr, 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_TRUE(!error.IsError() && roundTrip(session));
    }
    shutdown(front, SHUT_RDWR);  // a relay still waiting for a connection that never came ends
    relay.join();
    close(front);
}

// A server that closes a session before answering its opening (one whose share of callers is full takes
// the place of a session just opened for a newcomer) cost the caller nothing but the opening: the session
// is made again, and works.
TEST_F(NetTlsTest, AnOpeningClosedBeforeItsAnswerIsMadeAgain) {
    int port = 0;
    std::string why;
    zynet::CSocket listening = zynet::CSocket::listenOn("127.0.0.1", 0, port, why);
    ASSERT_TRUE(listening.valid()) << why;
    std::atomic<int> openings{0};
    std::thread peer([&] {
        for (int n = 0; n < 2; ++n) {
            pollfd p{listening.fd(), POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) return;
            hubtest::CFrameLink link(listening.acceptOne());
            hubtest::TRawFrame frame;
            std::string error;
            if (!link.serve(20, "test-service") || !link.receive(frame, 20, error)) return;
            ++openings;
            if (n == 0) continue;  // closed without a word
            if (!link.send(FrameKind::Control, zynet::kWelcome, zynet::welcomeBytes()) ||
                !link.receive(frame, 20, error) || !link.send(FrameKind::Xdr, kMarker, {}))
                return;
            link.waitForClose(20);
        }
    });
    {
        CZyNetwork session;
        bool timedOut = false;
        const std::string host = "127.0.0.1*test-service*0*" + std::to_string(port);
        const CUxError error = session.Connect(host.c_str(), "TestService", nullptr, 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_TRUE(!error.IsError() && roundTrip(session));
    }
    peer.join();
    EXPECT_EQ(openings.load(), 2);
}

TEST(PeerLog, AnOutsidersRepeatedLinesAreCountedNotWritten) {
    const fs::path folder = fs::temp_directory_path() / ("hub-peerlog-" + std::to_string(getpid()));
    fs::create_directories(folder);
    EvDebugFileInstance::setLogDirectory(folder.string());
    // The window is measured on the log's clock, which the test moves.
    CHubManualClock clock;
    EvDebugFileInstance instance(clock);
    EvDebug log(&instance);
    log.initialize(0, 0, true, "peerlog.log");
    log.setPrefixMessage("TEST");
    zylog::setPeerLineLimits(3, 1);
    log.debugLvl(0, "before the flood");
    {
        zylog::CPeerScope scope("198.51.100.7", false);
        for (int i = 0; i < 50; ++i) log.debugLvl(0, "forged answer %d", i);
    }
    for (int i = 0; i < 5; ++i) log.debugLvl(0, "a proven peer's line %d", i);  // not counted
    clock.advance(std::chrono::seconds(2));                                     // the window has ended
    {
        zylog::CPeerScope scope("198.51.100.7", false);
        log.debugLvl(0, "forged answer %d", 99);
    }
    zylog::setPeerLineLimits(100, 10);
    std::ifstream in(folder / "peerlog.log");
    std::string line;
    int forged = 0, proven = 0;
    bool before = false, counted = false;
    while (std::getline(in, line)) {
        before |= line.find("before the flood") != std::string::npos;
        forged += line.find("forged answer") != std::string::npos;
        proven += line.find("a proven peer's line") != std::string::npos;
        counted |= line.find("forged answer 99 [47 more lines like this one caused by 198.51.100.7") !=
                   std::string::npos;
    }
    EXPECT_TRUE(before);
    EXPECT_EQ(forged, 4);
    EXPECT_EQ(proven, 5);
    EXPECT_TRUE(counted);
    EvDebugFileInstance::setLogDirectory("");
    fs::remove_all(folder);
}

// A crowd of addresses, each within its own burst, shares one count past the first peers of a minute:
// what it writes is bounded whatever its size, and the next line written says how many were left out.
TEST(PeerLog, ACrowdOfAddressesSharesOneBudgetOfTheLog) {
    const fs::path folder = fs::temp_directory_path() / ("hub-peercrowd-" + std::to_string(getpid()));
    fs::create_directories(folder);
    EvDebugFileInstance::setLogDirectory(folder.string());
    CHubManualClock clock;
    EvDebugFileInstance instance(clock);
    EvDebug log(&instance);
    log.initialize(0, 0, true, "crowd.log");
    zylog::setPeerLineLimits(10, 10, 16);
    for (int i = 0; i < 3000; ++i) {
        zylog::CPeerScope scope("127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), false);
        log.debugLvl(0, "refused request %d", i);
    }
    clock.advance(std::chrono::seconds(61));
    for (int i = 0; i < 17; ++i) {
        zylog::CPeerScope scope("127.2.0." + std::to_string(i), false);
        log.debugLvl(0, "refused request %d", -1 - i);
    }
    zylog::setPeerLineLimits(100, 10);
    std::ifstream in(folder / "crowd.log");
    std::string line;
    int written = 0;
    bool counted = false;
    while (std::getline(in, line)) {
        written += line.find("refused request") != std::string::npos;
        counted |= line.find(
                       "refused request -17 [2974 more lines like this one caused by a crowd of callers "
                       "outside the infrastructure were not written") != std::string::npos;
    }
    EXPECT_EQ(written, 16 + 10 + 17);
    EXPECT_TRUE(counted);
    EvDebugFileInstance::setLogDirectory("");
    fs::remove_all(folder);
}

}  // namespace
}  // namespace nettest

// CRestoreService: the media agent's classic file-system restore service. It serves one service name
// (a restore service number) behind a listener: per session it takes the legacy browse request, the
// source paths, the originated user and the client name, then answers from the item index with item
// batches in the layout of the peer's protocol version (56-byte items up to 4096, 64-byte for 4097,
// 168-byte above), a count item, or prediction items, and the end. Sessions run in parallel on the
// server's connection threads, each with its own index connection; construct and stop on one thread.
//
// What a request means here (fields of the legacy record): subclient (0: the client's one subclient
// here), to-time (0 or 0x7fffffff: now), from-time (versions backed up before it are not shown),
// option bit 0x8 (a versions browse: every version in the range, deletions flagged 0x2; without it the
// directory at the to-time in the cycle holding it, deletions left out), browse path (a directory,
// or a file for its versions; a last part holding a wildcard, or any last part with option bit 0x2, is
// a name filter), em function (1, 5, 8: one item whose name is the count; 2, 3, 4, 6, 7: a page of the
// page size from the first node (field 60) or else from first index - 1 + skip count, each item named
// "<node>" 0x12 "<path>"), option bit 38 (media prediction: the archive files of the browsed cycles
// as prediction items, index 0x2 and data 0x8). Items carry: flags (0x1 directory, 0x2 deleted), the
// path, modification time, size, version number, job id (+48), backup time (+56), node id (+64), the
// name as display name (+72), subclient (+80), archive id {Kelmarch, cycle, archive file} (+96),
// offset in the archive file (+120) and metadata XML when the version has some (+144).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/net/zyd_listener.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubmutex.h"
#include "tools/mediaagent/peerrule.h"

namespace mediaagent {

// Misbehaviour on purpose, for the tests of a browse against a media agent that fails mid-listing.
enum class TRestoreFault : uint8_t {
    None,
    Silent,   // after `faultAfter` items the answer stops; the session stays open
    Vanish,   // after `faultAfter` items the connection is dropped without an end
    Garbage,  // after `faultAfter` items an XML frame arrives where XDR messages are expected
};

struct TRestoreServiceOptions {
    std::string indexPath;
    std::string serviceName = "0";  // what a media agent's plain host name reaches (service number 0)
    uint32_t batchSize = 1000;      // items per array message
    TRestoreFault fault = TRestoreFault::None;
    uint64_t faultAfter = 0;
    TPeerRule peers;  // whom browses are answered for
};

class CRestoreService {
public:
    CRestoreService(std::shared_ptr<CZydListener> listener, TRestoreServiceOptions options);
    ~CRestoreService();
    CRestoreService(const CRestoreService&) = delete;
    CRestoreService& operator=(const CRestoreService&) = delete;

    // Closes every session and waits for their threads. Idempotent.
    void stop();

private:
    struct TSession;

    static void onXdr(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                      unsigned long code, zysDatabuf_v2* data);
    static void onXml(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                      CNMessageBase* message);
    static CRestoreService* serviceOf(CZyNetworkServer* server);

    TSession* session(long long handle);
    void endSession(long long handle);
    void message(long long handle, unsigned long code, zysDatabuf_v2* data);
    // True when the session's peer may ask for a browse.
    bool peerMayBrowse(long long handle);
    // Tells the peer the session is over and closes it (a message out of place, or garbage).
    void abort(long long handle, const char* why);
    // Answers the request the session holds; false when the connection is to be dropped (a fault).
    bool answer(long long handle, TSession& state, CZyNetwork& network);

    const TRestoreServiceOptions m_options;
    std::unique_ptr<CZyNetworkServer> m_server;

    CHubMutex m_mutex;
    // Each session's state is its connection thread's.
    std::map<long long, std::unique_ptr<TSession>> m_sessions GUARDED_BY(m_mutex);
};

}  // namespace mediaagent

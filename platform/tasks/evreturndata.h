// The return channel of a task (stand-in for the job framework's EvReturnData family): records sent
// through it are buffered and delivered, in order, to the destination registered for its id
// (evreturndestination.h). One channel may be used from several threads; its operations are serialised.
//
// Buffering: send() keeps records until 64 are waiting or 1 MiB of payload is, or until dumpBuffer() or
// end(); then they are delivered together. A send with no destination registered for the id fails
// (-1) and is logged once per channel; so does any send after end().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tasks/evreturndestination.h"
#include "platform/threads/hubmutex.h"

class CUxSocket;   // platform/net; kept, never used by the stand-in
class CZyNetwork;  // platform/net; kept, never used by the stand-in

class EvReturnData {
public:
    // kind: the return-data kind (1004 for browse and restore); id: the job id the destination is
    // registered under; flag: true for the job's own channel (nested browses pass false); socket and
    // network: where the real framework would write (unused here).
    EvReturnData(unsigned long kind, long long id, const CUxSocket* socket, bool flag, CZyNetwork* network);
    virtual ~EvReturnData();
    EvReturnData(const EvReturnData&) = delete;
    EvReturnData& operator=(const EvReturnData&) = delete;

    // Queues one record of `kind` with `size` bytes of `data`. 0 on success, -1 on failure.
    int send(unsigned long kind, const void* data, unsigned long size);
    // The same with the record's bytes taken from `data` (no copy); on failure `data` is as it was.
    // `items`, `read`: where an answer's items lie in `data` and the answer as read without them, when
    // known (EvReturnRecord::items, ::read).
    int send(unsigned long kind, std::string&& data, xmlscan::TItems items = {},
             std::shared_ptr<CNMessageBase> read = nullptr);
    // Delivers every queued record; `reason` is informational (the service passes 9). 0 or -1.
    int dumpBuffer(unsigned long reason);
    // Delivers what is queued, then an END record carrying `code`; the channel takes no more records.
    // A second end() does nothing and returns -1.
    int end(long long code);

    // Bits 48 to 63 of a 64-bit id: the locale id carried in its top 16 bits.
    static long long returnLocaleId(long long value) {
        return static_cast<long long>(static_cast<unsigned long long>(value) >> 48);
    }

    unsigned long getKind() const { return m_kind; }
    long long getId() const { return m_id; }
    bool getFlag() const { return m_flag; }
    const CUxSocket* getSocket() const { return m_socket; }
    CZyNetwork* getNetwork() const { return m_network; }
    bool isEnded() const;

private:
    int flushLocked() REQUIRES(m_mutex);
    bool destinationLocked() REQUIRES(m_mutex);  // resolves m_destination; logs once when there is none

    const unsigned long m_kind;
    const long long m_id;
    const CUxSocket* const m_socket;
    const bool m_flag;
    CZyNetwork* const m_network;

    mutable CHubMutex m_mutex;  // held while delivering, so records keep order
    std::shared_ptr<EvReturnDestination> m_destination GUARDED_BY(m_mutex);
    std::vector<EvReturnRecord> m_queue GUARDED_BY(m_mutex);
    size_t m_queuedBytes GUARDED_BY(m_mutex) = 0;
    bool m_ended GUARDED_BY(m_mutex) = false;
    bool m_warned GUARDED_BY(m_mutex) = false;
};

class EvJobReturnData : public EvReturnData {
public:
    EvJobReturnData(unsigned long kind, long long id, const CUxSocket* socket, bool flag,
                    CZyNetwork* network);
    ~EvJobReturnData() override;

protected:
    long long m_jobReturnValue;  // zero at construction; not used by the stand-in
};

class EvRestoreReturn : public EvJobReturnData {
public:
    static constexpr unsigned long kReturnKind = 1004;  // browse and restore return

    EvRestoreReturn(long long jobId, int options, bool flag, const CUxSocket* socket, CZyNetwork* network);
    ~EvRestoreReturn() override;

    // Hand one serialised answer to the caller (kinds EV_RETURN_RECORD_XML_ITEM and
    // EV_RETURN_RECORD_ITEM_9_0). Each success counts one item in the pending count. 0 or -1.
    int returnXMLItem(std::string& item);
    int returnItem_9_0(std::string& item);
    // The same taking the answer's bytes (an answer of a page is tens of kilobytes): no copy is made; on
    // failure `item` is as it was. `items`: where its items lie in it, when the check that took it in
    // found them, and the answer as it read it without them (they go with the record).
    int returnXMLItem(std::string&& item, xmlscan::TItems items = {},
                      std::shared_ptr<CNMessageBase> read = nullptr);

    // When the pending count is not 0: dumpBuffer(9), then a kind-2323 record whose 4-byte payload is
    // the count. Then EvReturnData::end(code).
    int end(long long code);

    int getPendingCount() const { return m_pendingCount.load(); }
    long long getBytesReturned() const { return m_bytesReturned.load(); }
    int getOptions() const { return m_options; }
    bool hadFailure() const { return m_failed.load(); }

private:
    int returnItem(unsigned long kind, const std::string& item);
    int counted(int rc, size_t bytes);

    std::atomic<int32_t> m_pendingCount;     // items returned through the channel
    std::atomic<long long> m_bytesReturned;  // payload bytes of those items
    const int m_options;                     // the task's option bits
    std::atomic<bool> m_failed;              // a return failed
};

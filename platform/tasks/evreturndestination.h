// Where a job's return channel delivers its records: a process-wide registry of destinations keyed by
// job id. The host registers one that forwards to its caller before it hands a task to the service;
// tests register an EvRecordingDestination. Any thread may register, look up and deliver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>
#include <vector>

#include "platform/msg/xml_scan.h"
#include "platform/threads/hubmutex.h"

class CNMessageBase;

// Record kinds a channel delivers. Raw EvReturnData::send() may use any other kind as well.
enum EvReturnRecordKind : unsigned long {
    EV_RETURN_RECORD_XML_ITEM = 2301,     // one serialised databrowse::BrowseResponse (returnXMLItem)
    EV_RETURN_RECORD_ITEM_9_0 = 2302,     // one serialised classic item (returnItem_9_0)
    EV_RETURN_RECORD_ITEM_COUNT = 2323,   // 4-byte count of items returned, sent by EvRestoreReturn::end
    EV_RETURN_RECORD_END = 0xFFFFFFFFUL,  // the channel ended; EvReturnRecord::code holds the end code
};

struct EvReturnRecord {
    unsigned long kind = 0;
    long long jobId = 0;
    std::string data;    // payload bytes (empty for END)
    long long code = 0;  // END: the end code
    // XML_ITEM: where the items of the answer's result lie in `data`, when the check that took the answer
    // in found them (count 0 when not known), so that the destination need not look for them again.
    xmlscan::TItems items;
    // XML_ITEM: the answer as that check read it, its items left out (null when not kept), so that the
    // destination need not read the text again for its type and messages. It and `items` describe `data`.
    std::shared_ptr<CNMessageBase> read;
};

// A receiver of every record of a job, in the order the channel sent them. deliver() may be called from
// any thread, one call at a time per channel; two channels of the same job may deliver concurrently.
class EvReturnDestination {
public:
    virtual ~EvReturnDestination();
    virtual void deliver(const EvReturnRecord& record) = 0;
};

class EvReturnDestinations {
public:
    // Replaces any destination registered for the job.
    static void registerDestination(long long jobId, std::shared_ptr<EvReturnDestination> destination);
    static void unregisterDestination(long long jobId);
    // Null when nothing is registered for the job.
    static std::shared_ptr<EvReturnDestination> find(long long jobId);
};

// Keeps every record it receives; thread-safe. For tests and for hosts that collect a whole answer.
class EvRecordingDestination : public EvReturnDestination {
public:
    void deliver(const EvReturnRecord& record) override;

    std::vector<EvReturnRecord> records() const;
    // Records of one kind, payloads only.
    std::vector<std::string> payloads(unsigned long kind) const;
    bool ended() const;
    // Waits until an END record arrived; false on time-out.
    bool waitForEnd(std::chrono::milliseconds timeout) const;
    // Waits until `count` records of `kind` arrived; false on time-out.
    bool waitForRecords(size_t count, unsigned long kind, std::chrono::milliseconds timeout) const;

private:
    mutable CHubMutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<EvReturnRecord> m_records GUARDED_BY(m_mutex);
};

// TBrowseTask and CBrowseTask: the browse task of one request, the plain copy of the incoming task's
// values that the rest of the service reads, with the return channel, the subclient paths and the link
// to the session's configuration record. A worker makes one and uses it on the thread that runs its
// request; initBrowse prepares it in one call.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "planning/subclientpath.h"
#include "platform/entities/apptypes.h"
#include "platform/msg/msg_enums.h"

class CPredictionClient;
class CNMessageBase;
namespace databrowse {
class BrowseRequest;
}
class EvMultiEntityRestoreTask;
class EvRestoreReturn;
class SDVersion;
class SuperBrowseManager;

struct TBrowseTask {
    EvRestoreReturn* restoreReturn = nullptr;  // owned by CBrowseTask
    std::list<TSubclientPath> subclientPaths;
    uint32_t destClientId = 0;
    uint32_t srcClientId = 0;
    uint32_t subclientId = 0;
    uint32_t appId = 0;
    uint32_t backupSetId = 0;
    uint32_t snapAfileId = 0;
    std::string backupSetName;
    std::string userName;
    std::string taskString1;
    std::string srcHostName;
    std::string destHostName;
    std::string localHostName;
    std::string subclientName;
    std::string taskString2;
    std::string browseViewName;
    EvMultiEntityRestoreTask* task = nullptr;  // borrowed
    SDVersion* sdVersion = nullptr;            // owned by CBrowseTask; only while erase filters apply
    uint32_t requestUserId = 0;
    SuperBrowseManager* planner = nullptr;    // borrowed from the session's configuration
    const char* browseSessionGuid = nullptr;  // text inside the task
    uint64_t jobId = 0;
    uint64_t options = 0;
    uint64_t kelmarchId = 0;
    uint64_t toTime = 0;
    uint64_t fromTime = 0;
    apptype::EAppType appType{};
    uint64_t instanceId = 0;
    uint64_t taskValue = 0;
    uint64_t spareValue = 0;
    uint32_t copyPrecedence = 0;
    uint32_t em = 0;
    uint32_t skipNode = 0;
    uint64_t firstNode = 0;
    uint32_t pageSize = 0;
    std::string browsePath;
    std::string auxPath;
    std::string findPattern;
    uint64_t options1 = 0;
    uint64_t userId = 0;
    uint32_t spareNumber = 0;
    uint8_t isSubclientBrowse = 0;
    uint8_t isSuperBrowse = 0;
    uint8_t skipContent = 0;
    uint8_t confCreated = 0;
    std::string confId;
    std::string workerId;
    uint8_t endUserEraseEnabled = 0;
    std::string authToken;
    uint64_t browseItemFlushCount = 0;
};

// The three values a time limit may carry to mean "none": 0 (not given), 0xFFFFFFFF and 0x7FFFFFFF.
namespace browsetime {
constexpr uint64_t kNoLimit = 0x7FFFFFFF;
// True for any of the three "no limit" values.
bool isNoLimit(uint64_t time);
// `time`, or kNoLimit when it is one of the "no limit" values.
uint64_t limitOrNone(uint64_t time);
}  // namespace browsetime

// The catalogue, the task and the media agents keep times, skips and page sizes in 32 bits. A larger
// value from a caller is taken as the largest they keep: a point in time after every backup (the last
// second is 2106-02-07 06:28:15 UTC), a range or a page that starts after every backup or item, a page
// that holds every item. Cut to 32 bits instead, it wrapped: a far-future time into 1970, a far page
// back to the first.
// The user text a request to a media agent names its user by: the user id in decimal, "12" and the
// user's name, with no separators.
std::string legacyUserText(uint64_t userId, const std::string& userName);

namespace within32bits {
int64_t value(int64_t value);
// The paging of a query (databrowse::Query).
void keepPaging(CNMessageBase& query);
// The request's time range and the paging of each of its queries; a subclient id of 0xFFFFFFFF (every
// subclient, as a caller sends it unsigned) becomes -1, which says the same.
void keep(databrowse::BrowseRequest& request);
// The task's times, skip and page size, and its subclient id as above.
void keep(EvMultiEntityRestoreTask& task);
// A negative time, skip or page size, or an id that is negative (but for the "none" values the protocol
// gives any id, -1, and an instance, -32000) or beyond 32 bits, is no value the caller can mean:
// cut to 32 bits it named another valid one (a time before 1970 a date, a skip a page, an id another
// client). Why a request, a task or a query cannot be taken; empty when it can.
std::string outOfRange(const databrowse::BrowseRequest& request);
std::string outOfRange(const EvMultiEntityRestoreTask& task);
std::string outOfRangePaging(const CNMessageBase& query);
}  // namespace within32bits

class CBrowseTask {
public:
    CBrowseTask();
    virtual ~CBrowseTask();
    CBrowseTask(const CBrowseTask&) = delete;
    CBrowseTask& operator=(const CBrowseTask&) = delete;

    // Prepares the task: copies the values, creates the return channel, decides the indexing version of
    // an Oracle request and opens (or joins) the session's configuration record. 1, or 0 (logged; a
    // reason meant for the caller is in the last error).
    int initBrowse(EvMultiEntityRestoreTask* task);
    // initBrowse's first part alone, for a request whose answers come back through this task but which
    // browses no path of its own (an application mining from the entry point): the values and the return
    // channel, no configuration record. 1, or 0 (logged).
    int initReturnChannel(EvMultiEntityRestoreTask* task);
    // Copies the task's values; throws a text on failure. `prediction` is not used.
    void init(EvMultiEntityRestoreTask* task, CPredictionClient* prediction);
    // Creates the return channel; throws a text on failure.
    void setRestoreReturn(EvMultiEntityRestoreTask* task);
    // The task's values and the return channel; throws a text on failure.
    void setUpReturnChannel(EvMultiEntityRestoreTask* task);
    // Application and path set-up: 0 or -1. appId -1: the ordinary set-up through the session's record;
    // above 0: the Oracle set-ups. Releases the record's reference on every failure after it was taken.
    int setAppId(EvMultiEntityRestoreTask* task, long appId);
    // End-user erase filters of the task's client: 0 or -1 (also when filters exist but cannot be read).
    // `found` is cleared when the client has no filters.
    int initSelectiveDeletion(EvMultiEntityRestoreTask* task, bool& found);
    // Deletes the filter reader, ends (unless option 0x2000) and deletes the return channel.
    virtual void cleanUp();
    // Flushes the return channel and ends it (unless option 0x2000): the caller's answer is complete.
    // Later writes to the channel are refused; ending it again does nothing.
    void endChannel();

    TBrowseTask* getDataPtr() { return &m_data; }
    void setLastError(databrowse::BrowseErrorCode code, const std::string& text);
    std::string getLastError() const { return m_lastError; }
    databrowse::BrowseErrorCode getLastErrorCode() const { return m_lastErrorCode; }
    bool isIndexingV2() const { return m_indexingV2 != 0; }

private:
    TBrowseTask m_data;
    std::string m_lastError;
    databrowse::BrowseErrorCode m_lastErrorCode = databrowse::BROWSE_ERR_NONE;
    uint8_t m_indexingV2 = 0;
};

// Oracle instance-level browse: the application of the instance's last archive file (through the
// archive manager). 0, or -1 when the archive manager fails.
int setBrowseTaskExOracle(TBrowseTask& record);

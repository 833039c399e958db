// The media-prediction library: a prediction client gathers the locations of the archive files a
// restore reads, turns them into the physical media that hold them (through the archive manager's media
// of the Hubmaster database) and sends the prediction through a predictor to a task's return channel.
// A client and its predictor belong to one worker or one call: one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/archive/archmgrrecords.h"
#include "platform/msg/msg_classes.h"

class EvRestoreTask;
class EvRestoreReturn;
class CPredictor;

// One location of a restore: a whole archive file or a range of it. Zero-filled by its constructor;
// the clients copy it.
struct TLocationInfo {
    uint64_t flags = 0;  // kPredictIndexLocation / kPredictDataLocation, or the kind of an index location
    uint64_t archFileId = 0;
    uint64_t beginOffset = 0;
    uint64_t endOffset = 0;
    uint64_t size = 0;  // bytes read from the file; 0: the whole file on the copy
    uint64_t kelmarchId = 0;
};
static_assert(sizeof(TLocationInfo) == 48);

// Flags of a logical media and of the locations made from it.
enum : uint64_t {
    kPredictIndexLocation = 0x2,
    kPredictDataLocation = 0x8,
};

using TMediaList = std::vector<TMediaInfo>;

class CPredictionClient {
public:
    CPredictionClient();
    virtual ~CPredictionClient();
    CPredictionClient(const CPredictionClient&) = delete;
    CPredictionClient& operator=(const CPredictionClient&) = delete;

    // ---- overridable operations, in this order
    // True when the client was initialised for a restore rather than a browse.
    virtual bool isRestore();
    // The browse operation of the task (3 for a media prediction); -1 without a task.
    virtual int getRestoreType();
    // Number of predictions sent so far by apiSendPredictionResults.
    virtual long getSequenceNumber();
    // Forgets every location, medium and flag and binds the client to `task` (kept, not owned; may be
    // null for a conversion that has no task). 0 on success.
    virtual int init(EvRestoreTask* task, bool restore);
    // Media a client knows without locations (for a restore: every medium of the task's subclient over
    // its time range on the copy). Appends to `media`; the number appended, or -1 when the client has
    // none of its own.
    virtual int getRawMedia(unsigned long copyPrecedence, TMediaList* media);
    // Media a client adds of its own to those of its data / index locations; appends, returns the
    // number appended (negative: failure).
    virtual int getDataMedia(unsigned long copyPrecedence, TMediaList* media);
    virtual int getIndexMedia(unsigned long copyPrecedence, TMediaList* media);
    virtual bool isFeatureSupported() { return m_featureSupported; }
    // True when no index media are to be predicted: the client holds no index location.
    virtual bool haveToSkipIndexingMedia();
    // Sets and returns *index restore needed*: index media were found for the index locations.
    virtual bool checkIndexRestoreIsNeeded();
    // Sets and returns *incomplete media list*: a location found no medium on the copy, or index files
    // are missing in the copy.
    virtual bool checkIncompleteMediaList();
    virtual void setIgnoreEmptyMediaList(bool ignore) { m_ignoreEmptyMediaList = ignore; }
    virtual bool isIgnoreEmptyMediaList() { return m_ignoreEmptyMediaList; }
    virtual bool isIndexRestoreNeeded() { return m_indexRestoreNeeded; }
    virtual bool isIncompleteMediaList() { return m_incompleteMediaList; }
    virtual bool isIndexMissingInMedia() { return m_indexMissingInMedia; }
    // True when the media list names exactly what the restore reads (nothing missing or unresolved).
    virtual bool isListMediaPrecise();
    // The report of a prediction, in four parts. 0, or -1 when the file is null or cannot be written.
    virtual int addOptionsToReport(FILE* file);
    virtual int addMediaListToReport(FILE* file);
    virtual int addHeaderToReport(FILE* file);
    virtual int addFooterToReport(FILE* file);
    // Raises an alert about the prediction with `text` for the task's entities. 0 when raised.
    virtual int sendAlert(char* text);

    // ---- locations: copied in; 0 on success, non-zero when the record is null or names no file
    int addIndexLocationInfo(TLocationInfo* location);
    int addDataLocationInfo(TLocationInfo* location);
    bool haveLocationData() const { return !m_indexLocations.empty() || !m_dataLocations.empty(); }
    // For NAS backups: adds the other data files of the jobs of the data locations (their header and
    // ACL files), each once. The number added, or negative on failure.
    int addNasHDRandACLLocationInfo();

    // ---- media: the locations of one kind become media on the copy of `copyPrecedence` (0: the
    // storage policy's default copy), appended to the media list. The number of media appended, or
    // negative on failure (nothing appended then).
    int addIndexMedia(unsigned long copyPrecedence);
    int addDataMedia(unsigned long copyPrecedence);

    TMediaList* getMediaListPtr() { return &m_media; }
    std::vector<TLocationInfo>* getIndexLocationListPtr() { return &m_indexLocations; }
    std::vector<TLocationInfo>* getDataLocationListPtr() { return &m_dataLocations; }
    void setIndexMissingInCopy(bool missing) { m_indexMissingInMedia = missing; }
    // Media that should be in the list could not be added (a failed addIndexMedia/addDataMedia): the
    // list stays incomplete until the client is initialised again.
    void markMediaListIncomplete() {
        m_mediaAddFailed = true;
        m_incompleteMediaList = true;
    }
    // Bytes of the data locations resolved so far (a location's own size, else its file's size on the
    // copy).
    int64_t getTotalDataSize() const { return m_totalDataSize; }
    EvRestoreTask* getTask() const { return m_task; }

    // The media list as prediction items, one per medium with its physical-media block. True when
    // converted (an empty list converts to an empty vector).
    bool convertPredictionToXML(std::vector<databrowse::PredictionData>& out);
    // Sends the prediction (media list and total size) as a prediction response through the predictor
    // to its return channel. 0 when sent.
    int apiSendPredictionResults(CPredictor& predictor);

private:
    int addLocation(std::vector<TLocationInfo>& list, TLocationInfo* location);
    int addMedia(uint64_t flag, unsigned long copyPrecedence);

    int64_t m_totalDataSize = 0;
    bool m_featureSupported = true;
    bool m_indexRestoreNeeded = false;
    bool m_incompleteMediaList = false;
    bool m_ignoreEmptyMediaList = false;
    bool m_indexMissingInMedia = false;
    bool m_mediaAddFailed = false;
    bool m_restore = false;
    long m_sequenceNumber = 0;
    unsigned long m_unresolvedLocations = 0;  // locations of the last addIndexMedia/addDataMedia calls
                                              // that no medium holds on the copy
    std::vector<TLocationInfo> m_indexLocations;
    std::vector<TLocationInfo> m_dataLocations;
    TMediaList m_media;
    EvRestoreTask* m_task = nullptr;  // not owned
};

// The predictor of a request: sends the predictions of its client to the request's return channel.
class CPredictor {
public:
    CPredictor();
    ~CPredictor();
    CPredictor(const CPredictor&) = delete;
    CPredictor& operator=(const CPredictor&) = delete;

    // Binds the predictor to `client` and `channel` (neither owned). 0, or -1 when either is null.
    int init(CPredictionClient* client, EvRestoreReturn* channel);
    bool isInitialized() const { return m_client != nullptr && m_channel != nullptr; }
    CPredictionClient* getClient() const { return m_client; }
    // Writes one prediction response to the channel. 0 when written.
    int sendPrediction(const databrowse::BrowseResponse& response);

private:
    CPredictionClient* m_client = nullptr;  // not owned
    EvRestoreReturn* m_channel = nullptr;   // not owned
};

// Merges the entries of one medium on one copy into one (flags joined, file counts added), sorted by
// medium id. The number of entries removed; -1 for a null list.
int normalizeMediaList(TMediaList* media);

// One medium as a prediction item with its physical-media block.
databrowse::PredictionData predictionDataOf(const TMediaInfo& medium);

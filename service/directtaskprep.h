// The prepared task of a routed browse request and the direct-mode preparation that fills it: the
// stack task and worker completed from the completed request (entity completion, client check, job
// time range, paths, options, copy precedence) so that the worker can run the request in direct
// mode. Called by the router's direct road on the callback thread that delivered the request.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

class CZyNetwork;
namespace zydb {
class CRequestReads;
}

// Everything the direct run needs, owned by one routed request.
struct TDirectTask {
    // The worker ages, and waits for its media agent, on `clock` (the controller's), which outlives it.
    explicit TDirectTask(const CHubClock& clock);
    ~TDirectTask();

    databrowse::BrowseRequest request;  // the completed request (the name resolver's output)
    std::unique_ptr<EvMultiEntityRestoreTask> task;
    std::unique_ptr<CWorkerThreadHM> worker;
    // An error recorded on the way (job time range, mixed paths and GUIDs): the run's reply when set.
    databrowse::BrowseError replyError;
    unsigned long long browseFlags = 0;  // the browse flag word handed to the task
    std::string extendedOptions;         // 1,024 '0'/'1' characters, position n = option n
    // What the worker points at (additional flags, IMAP request): copies owned with it.
    std::vector<databrowse::AdditionalFlag> additionalFlags;
    std::unique_ptr<databrowse::IMAPReq> imapRequest;
    bool useIndexingV2 = false;  // the erase gate's indexing-v2 answer, for end-user erase
    // An erase's entity as its caller sent it (names resolved), which its gate judges: the preparation
    // completes the request's own.
    std::optional<ZyEntities::GenericEntity> sentEntity;
    bool callerAuthenticated = false;  // the token was checked (an erase is judged before it runs)
    // The prepared request as XML, where the worker wrote it with its signed payload's text ("": the
    // request is written when sent).
    std::string preparedText;
    // Who asks, as the network and the token tell (identifyRoutedCaller), before anything of the
    // request's entity is read.
    struct TRoutedCaller {
        bool asked = false;
        std::string refusal;               // why the caller is refused ("" when he is not)
        unsigned long callerClientId = 0;  // the proven calling client; 0: anonymous or unknown
        bool tokenValid = false;
        int userId = 0;  // the token's user
        std::string userName, domain;
    } caller;
    // The entity as the preparation resolved it.
    int kelmarchId = 0;
    int clientId = 0;
    int backupSetId = 0;
    apptype::EAppType appType{};
    int instanceId = 0;
    int subclientId = 0;

    bool hasReplyError() const;
    // Replaces an earlier recorded error; a refusal carries BROWSE_ERR_PERMISSION.
    void recordError(const std::string& text,
                     databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_GENERIC);
    void setOption(int position);  // writes '1' at the position
    bool optionSet(int position) const;
};

// The entity of a completed request, and each entity of a multi-entity one, checked against the
// Hubmaster database and settled on what it records: a client it does not know, a subclient of
// another client or backup set, or an application type other than the one the database records for
// it refuses the request (`refusal`); otherwise the entity carries the recorded type, instance, backup
// set and client, which every later step decides on. Read in the request `reads`.
// `maySee`: the rule's question about the caller. On refusal, `verdict` holds what the caller is told.
bool settleRoutedEntities(zydb::CRequestReads* reads, databrowse::BrowseRequest& request,
                          const TMaySeeClient& maySee, TEntityVerdict& verdict);

// Who asks, for the rule that puts rights before an entity's description (t.caller identified).
TEntityCaller routedEntityCaller(const TDirectTask& t);

// The fifteen preparation steps on `t` (whose request, task, worker, flag word and extended options
// the earlier steps filled). False when the request was refused and must end with `refusal` as its
// error reply (the client check); recorded errors leave it true.
bool prepareDirectTask(TDirectTask& t, CZyNetwork* session, TEntityVerdict& refusal);

#include "service/routerbrowserequest.h"

#include <exception>
#include <vector>

#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/entities/apptypes.h"
#include "platform/msg/erasedryrun.h"
#include "platform/threads/hubmutex.h"
#include "service/controllerthread.h"
#include "service/directrun.h"
#include "service/fastbrowse_multiclient.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerentities.h"
#include "service/routerfields.h"
#include "service/routerjoblimits.h"
#include "service/routeropmapping.h"
#include "service/routeroptions.h"
#include "service/routertoken.h"
#include "worker/requestlog.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

constexpr const char* kTag = "FBHMROUTER";

CHubMutex g_observerLock;
TPreparedTaskObserver g_observer GUARDED_BY(g_observerLock);

TRoutedBrowse errorReply(std::string text, int code = databrowse::BROWSE_ERR_GENERIC) {
    TRoutedBrowse out;
    out.outcome = ERoutedOutcome::kErrorReply;
    out.errorText = std::move(text);
    out.errorCode = code;
    return out;
}

bool isMultiClientFind(databrowse::BrowseRequest& request) {
    auto* entities = request.getlistobject(R::filteredEntities, false);
    return entities && !entities->empty() && intOf(&request, R::opType) == databrowse::BROWSE_OP_FIND;
}

// A VM browse through its hypervisor's index becomes a browse of the VM's own entity. False with
// `errorText` set when the VM cannot be told.
// False when it cannot: `errorText` says what is wrong with the request's paths, `entityError` that its
// backup set has no VM of the GUID its path names (an entity error).
bool convertParentVmEntity(databrowse::BrowseRequest& request, std::string& errorText,
                           std::string& entityError) {
    if (intOf(options(request), databrowse::BrowseOptions::f::at81_81) == 0) return true;
    ZyEntities::GenericEntity child;
    std::vector<databrowse::BrowsePath> paths;
    auto* received = request.getlistobject(R::paths, false);
    if (received)
        for (const CNMessageBase& entry : *received) {
            databrowse::BrowsePath path;
            copyFieldsByCode(entry, path);
            paths.push_back(path);
        }
    const CUxError converted = CBrowseVSAUtils::ConvertParentVSAEntityToChild(
        static_cast<int>(intOf(entity(request), E::backupsetId)), received ? &paths : nullptr, child);
    if (converted.IsError()) {
        CBrowseLog log(kTag);
        if (log.getDebugLevel() >= 1)
            log.debugLvl(1, "Received browse for VM through VSA parent index. browse xml [%s]",
                         maskedRequestText(request).c_str());
        // The caller learns why at once instead of waiting for its own time-out.
        (paths.size() == 1 ? entityError : errorText) = converted.GetErrorText();
        return false;
    }
    child.setint64(E::applicationId, apptype::code(apptype::kVirtualServer));
    request.setObjectAccessor(child, R::entity);
    return true;
}

// Names no subclient: no entity, or neither its subclient id nor its subclient name.
bool namesNoSubclient(const databrowse::BrowseRequest& request) {
    const CNMessageBase* e = entity(request);
    return !e || (!has(e, E::subclientId) && !has(e, E::subclientName));
}

TRoutedBrowse prepare(zydb::CRequestReads* reads, databrowse::BrowseRequest& received, CZyNetwork* session) {
    // The router's worker is the service's like the controller's own: it ages on the controller's clock.
    CControllerThreadHM* controller = g_poControllerThreadHM;
    if (!controller) return errorReply("The browse service is not running");
    auto t = std::make_unique<TDirectTask>(controller->clock());
    t->task->setRequestReads(reads);
    within32bits::keep(received);
    // Before any step reads them, multi-client find included.
    if (const std::string why = within32bits::outOfRange(received); !why.empty()) return errorReply(why);
    if (isMultiClientFind(received)) {
        TRoutedBrowse out;
        out.outcome = ERoutedOutcome::kMultiClientFind;
        return out;
    }
    std::string errorText;
    // A virtual machine, job or archive file the request selects its entity by that cannot be had is an
    // entity error: told only once the caller may see the client the request names, like any other.
    std::string selectionError;
    if (!convertParentVmEntity(received, errorText, selectionError) && !errorText.empty())
        return errorReply(errorText);
    if (selectionError.empty() && selectionBlock(received)) {
        if (namesNoSubclient(received)) applyJobSelection(received, selectionError);
        if (has(selectionBlock(received), databrowse::BrowseAdvancedConfig::f::appMiningBlock)) {
            t->worker->setIsAppMining(true);
            t->worker->setIsAppMiningFromGui(false);
            t->worker->setBrowseReq(&received);
        }
        if (selectionError.empty()) applyArchiveFileSelection(received, selectionError);
    }

    switch (resolveRoutedEntities(received, *t, session, errorText)) {
        case EEntityStep::kContinue:
            break;
        case EEntityStep::kErrorReply:
            return errorReply(errorText);
        case EEntityStep::kNoReply: {
            TRoutedBrowse out;
            out.outcome = ERoutedOutcome::kNoReply;
            return out;
        }
    }
    // Who asks is known before anything of the entity is read: a caller who may not see the client
    // it names is told no more of it than of one he may not browse. A caller refused as such is refused
    // by the run (authenticateRoutedRequest), before the entity is judged.
    CBrowseLog log(kTag);
    const bool identified = identifyRoutedCaller(*t, session, log);
    TEntityVerdict verdict;
    if (!selectionError.empty()) {
        // A caller refused as such is told only that, as the run would tell him.
        if (!identified) return errorReply(t->caller.refusal, databrowse::BROWSE_ERR_PERMISSION);
        verdict = refuseSelection(namedEntityOf(routerfields::entity(t->request)),
                                  maySeeClientOf(routedEntityCaller(*t)), std::move(selectionError), 0);
        return errorReply(verdict.refusal, verdict.code);
    }
    if (identified &&
        !settleRoutedEntities(reads, t->request, maySeeClientOf(routedEntityCaller(*t)), verdict))
        return errorReply(verdict.refusal, verdict.code);
    if (!checkOperationRange(*t, errorText)) return errorReply(errorText);
    applyRequestOptions(*t);
    // An erase's gate is judged once its caller is (judgeGatedErase), on the entity as sent.
    keepEntityForEraseGate(*t, received);
    mapRoutedOperation(*t);
    if (!prepareDirectTask(*t, session, verdict)) return errorReply(verdict.refusal, verdict.code);

    TPreparedTaskObserver observer;
    {
        CHubMutexLock lock(g_observerLock);
        observer = g_observer;
    }
    if (observer) observer(*t);
    TRoutedBrowse out;
    out.outcome = ERoutedOutcome::kPrepared;
    out.prepared = std::move(t);
    return out;
}

}  // namespace

TRoutedBrowse routeBrowseRequest(zydb::CRequestReads* reads, databrowse::BrowseRequest& received,
                                 CZyNetwork* session) {
    try {
        return prepare(reads, received, session);
    } catch (const std::exception& e) {
        CBrowseLog(kTag).debugLvl(0, "browse request preparation failed: %s", e.what());
        return errorReply(std::string("Failed to prepare browse request: ") + e.what());
    }
}

void setPreparedTaskObserver(TPreparedTaskObserver observer) {
    CHubMutexLock lock(g_observerLock);
    g_observer = std::move(observer);
}

std::string answerRoutedBrowseRequest(zydb::CRequestReads* reads, databrowse::BrowseRequest& received,
                                      CZyNetwork* session, int& errorCode) {
    TRoutedBrowse routed = routeBrowseRequest(reads, received, session);
    switch (routed.outcome) {
        case ERoutedOutcome::kPrepared:
            // An erase's dry run asks for the verdict only: nothing is listed, booked or counted.
            if (isGatedErase(*routed.prepared) &&
                !judgeGatedErase(*routed.prepared, session, erasedryrun::isMarked(routed.prepared->request)))
                return {};
            runDirectTask(*routed.prepared, session);
            return {};
        case ERoutedOutcome::kMultiClientFind: {
            CBrowseMulticlient finder;
            finder.setDirectAPI(true);
            finder.setRequestReads(reads);
            ignoreResult(finder.Find(&received, session), "it has answered the caller, whatever it returns");
            return {};
        }
        case ERoutedOutcome::kNoReply:
            return {};
        case ERoutedOutcome::kErrorReply:
            break;
    }
    errorCode = routed.errorCode;
    return routed.errorText;
}

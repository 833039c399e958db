// The relay of a media agent's browse answers (databrowse::BrowseResponse) to the registered worker that
// asked: prediction items, items, warnings, errors and the end, in the order the router's connection
// delivers them, under the worker's lock; the worker is deleted after its last end. Runs on the router's
// callback threads.
#include <cstdint>

#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/msg/xml_codec.h"
#include "platform/net/zynet_xml.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

using Response = databrowse::BrowseResponse::f;
// The index server lost the database's session: its cached sessions are dropped.
constexpr int64_t kIndexSessionLost = 25;

// The copy of one databrowse::BrowseData into a classic databrowse::BrowseItem: each value is copied
// only when set, from the data itself or from its inner record (advanced data).
enum class CopyKind : uint8_t { Signed32, Unsigned32, Wide, Text, Object };
enum class Source : uint8_t { Data, Inner, InnerSubclient };
struct TItemCopy {
    Source source;
    MsgFieldRef from;
    MsgFieldRef to;
    CopyKind kind;
};

using D = databrowse::BrowseData::f;
using A = databrowse::Msg93::f;
using I = databrowse::BrowseItem::f;
constexpr TItemCopy kItemCopy[] = {
    {Source::InnerSubclient, ZyEntities::Msg10::f::subclientId, I::at10_19, CopyKind::Signed32},
    {Source::Inner, A::archiveFileId, I::at16_25, CopyKind::Signed32},
    {Source::Inner, A::c_938d16, I::at13_22, CopyKind::Wide},
    {Source::Inner, A::backupTime, I::at12_21, CopyKind::Signed32},
    {Source::Inner, A::idxMetaData, I::at18_27, CopyKind::Object},
    {Source::Inner, A::at5_8, I::at11_20, CopyKind::Unsigned32},
    {Source::Data, D::displayName, I::displayName, CopyKind::Text},
    {Source::Data, D::flags, I::flags, CopyKind::Object},
    {Source::Data, D::modificationTime, I::modificationTime, CopyKind::Signed32},
    {Source::Data, D::name, I::name, CopyKind::Text},
    {Source::Inner, A::offset, I::at17_26, CopyKind::Wide},
    {Source::Data, D::path, I::path, CopyKind::Text},
    {Source::Inner, A::c_6c68b8, I::at6_6, CopyKind::Signed32},
    {Source::Data, D::size, I::size, CopyKind::Wide},
    {Source::Inner, A::kelmarch, I::at14_23, CopyKind::Object},
};

databrowse::BrowseItem toBrowseItem(CNMessageBase& data) {
    databrowse::BrowseItem item;
    CNMessageBase* inner =
        data.isSet(D::advancedData) ? data.getObjectAccessor(D::advancedData, false) : nullptr;
    CNMessageBase* subclient = inner && inner->isSet(A::subclientEntity)
                                   ? inner->getObjectAccessor(A::subclientEntity, false)
                                   : nullptr;
    for (const TItemCopy& c : kItemCopy) {
        CNMessageBase* from = c.source == Source::Data    ? &data
                              : c.source == Source::Inner ? inner
                                                          : subclient;
        if (!from || !from->isSet(c.from)) continue;
        switch (c.kind) {
            case CopyKind::Signed32:
                item.setint64(c.to, static_cast<int32_t>(from->getint64(c.from)));
                break;
            case CopyKind::Unsigned32:
                item.setint64(c.to, static_cast<uint32_t>(from->getint64(c.from)));
                break;
            case CopyKind::Wide:
                item.setint64(c.to, from->getint64(c.from));
                break;
            case CopyKind::Text:
                item.setstring(c.to, from->getstring(c.from));
                break;
            case CopyKind::Object:
                if (CNMessageBase* child = from->getObjectAccessor(c.from, false))
                    item.setObjectAccessor(*child, c.to);
                break;
        }
    }
    return item;
}

std::string sessionGuidOf(databrowse::BrowseResponse& response) {
    CNMessageBase* session = response.getObjectAccessor(Response::session, false);
    return session ? session->getstring(databrowse::BrowseSession::f::sessionId) : std::string();
}

bool hasResultData(databrowse::BrowseResponse& response) {
    CNMessageBase* result = response.getObjectAccessor(Response::browseResult, false);
    if (!result) return false;
    std::vector<CNMessageBase>* data =
        result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false);
    return data && !data->empty();
}

// Drops the cached index-server sessions of an indexing-v2 session's database.
void clearIndexSessions(const std::string& guid) {
    if (guid.empty() || !g_poConfMgr) return;
    CConfRecordRef record = g_poConfMgr->holdConfRec(guid);
    if (!record) return;
    std::string dbId, mediaAgent;
    unsigned appType = 0;
    unsigned long idxAppType = 0;
    App::IdxDbEngineType engineType = App::IDX_DB_ENGINE_CTREE;
    if (record->IsIndexingV2(dbId, mediaAgent, appType, engineType, idxAppType))
        I2::Utils::DbToIdxSrvrSessionCache::Instance()->ClearCacheForDb(dbId, engineType, mediaAgent, "");
}

// Forwards the response to the worker (whose lock the caller holds); true when the worker has ended its
// last outstanding request.
bool forward(CWorkerThreadHM& worker, databrowse::BrowseResponse& response, bool oldProtocol,
             zynet::TReceivedXml* received, CBrowseLog& log) REQUIRES(worker.workerLock()) {
    if (worker.answerInVmView(response)) received = nullptr;
    const int64_t type = response.getint64(Response::respType);
    if (std::vector<CNMessageBase>* predictions = response.getlistobject(Response::predictions, false)) {
        received = nullptr;  // the answer goes on without its predictions
        for (CNMessageBase& prediction : *predictions) worker.sendPredictionItem(prediction);
        response.clearField(Response::predictions.tag, Response::predictions.code);
        // Only an answer of items carries nothing more once its predictions are out; an error, a warning
        // or the end still has to reach the worker.
        if ((type == databrowse::BROWSE_RESP_ITEMS || type == databrowse::BROWSE_RESP_PREDICTIONS) &&
            !hasResultData(response))
            return false;
    }

    if (!oldProtocol) {
        std::string xml;
        xmlscan::TItems items;  // where the items lie in the text as it came
        const int rc = received ? 0 : response.serialize(xml);
        const bool asRead = received && received->skimmed;  // the answer read but for its items, as it came
        if (received) {
            xml = std::move(received->text);  // an answer's text is tens of kilobytes
            items = std::move(received->items);
        }
        if (rc != 0) {
            log.debugLvl(0, "failed to serialize browse response, error [%d]", rc);
            return false;
        }
        if (type == databrowse::BROWSE_RESP_ERROR) {
            std::vector<CNMessageBase>* errors = response.getlistobject(Response::messages, false);
            if (errors && !errors->empty() &&
                errors->front().getint64(databrowse::BrowseError::f::errorCode) == kIndexSessionLost)
                clearIndexSessions(sessionGuidOf(response));
        }
        if (type == databrowse::BROWSE_RESP_END)  // read whole when none of it was left out
            return worker.processEndMessage(
                xml.c_str(), received && !asRead
                                 ? std::make_shared<CNMessageBase>(static_cast<CNMessageBase&&>(response))
                                 : nullptr);
        // The answer as read goes with its text, so that its caller's side need not read it again (its
        // fields moved, not copied as a named class's move would).
        worker.sendItemBack(
            std::move(xml), std::move(items),
            asRead ? std::make_shared<CNMessageBase>(static_cast<CNMessageBase&&>(response)) : nullptr);
        return false;
    }

    if (CNMessageBase* result = response.getObjectAccessor(Response::browseResult, false)) {
        if (std::vector<CNMessageBase>* data =
                result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false)) {
            for (CNMessageBase& entry : *data) {
                databrowse::BrowseItem item = toBrowseItem(entry);
                worker.sendItemBack(item);
            }
        }
    }
    if (type == databrowse::BROWSE_RESP_ERROR) {
        if (std::vector<CNMessageBase>* errors = response.getlistobject(Response::messages, false)) {
            for (CNMessageBase& error : *errors) {
                if (!error.isSet(databrowse::BrowseError::f::errorMessage)) continue;
                const auto code = error.isSet(databrowse::BrowseError::f::errorCode)
                                      ? static_cast<databrowse::BrowseErrorCode>(
                                            error.getint64(databrowse::BrowseError::f::errorCode))
                                      : databrowse::BROWSE_ERR_GENERIC;
                worker.processErrorMessage(code,
                                           error.getstring(databrowse::BrowseError::f::errorMessage).c_str());
            }
        }
    }
    if (type == databrowse::BROWSE_RESP_END) return worker.processEndMessage(nullptr);
    return false;
}

}  // namespace

void CBrowseRouterThreadHM::relayBrowseResponse(databrowse::BrowseResponse& response, bool oldProtocol,
                                                const std::string& peer, long long connection,
                                                zynet::TReceivedXml* received) {
    CBrowseLog log("FBHMROUTER");
    const std::string workerId = response.getstring(Response::workerId);
    const int type = static_cast<int>(response.getint64(Response::respType));
    CControllerThreadHM* controller = g_poControllerThreadHM;
    CControllerThreadHM::WorkerPtr worker = controller ? controller->getWorker(workerId) : nullptr;
    if (!worker) {
        log.debugLvl(0, "***** No such worker available. Aborted Browse response type %d for worker ID [%s]",
                     type, workerId.c_str());
        return;
    }
    CWorkerAccess access(*worker);
    try {
        if (worker->getMarkedForDeletion()) {
            log.debugLvl(0, "***** Worker [%s] is being deleted. Aborted Browse response type %d",
                         workerId.c_str(), type);
        } else if (!worker->admitsAnswer(peer)) {
            // Only a media agent the worker asked may answer it: its proven name must be one of them (on
            // whichever of its connections).
            log.debugLvl(
                0,
                "***** Browse response type %d for worker ID [%s] came from [%s], which the worker did "
                "not ask; dropped",
                type, workerId.c_str(), peer.empty() ? "an anonymous caller" : peer.c_str());
        } else if (const std::string expected = worker->getBrowseSessionGuid(), got = sessionGuidOf(response);
                   expected.empty() || got != expected) {
            // Worker ids are sequential: only the session GUID tells that the answer belongs to this browse.
            log.debugLvl(
                0,
                "***** Browse response type %d for worker ID [%s] names session [%s], not the worker's; "
                "dropped",
                type, workerId.c_str(), got.c_str());
        } else if (received && received->skimmed &&
                   (oldProtocol || response.isSet(Response::predictions) || worker->rewritesAnswerPaths()) &&
                   XMLDecoder().decodeInto(received->text.data(), received->text.size(), response) != 0) {
            // Read without its items (they go on as they came); the classic protocol, an answer that
            // also predicts media and one whose item paths the worker names anew are rewritten, so they
            // need it whole.
            log.debugLvl(0, "***** Browse response type %d for worker ID [%s] cannot be read whole; dropped",
                         type, workerId.c_str());
        } else {
            // The connection carries this agent's answer until its end comes on it.
            controller->answerStreams().heard(workerId, peer, connection,
                                              type == databrowse::BROWSE_RESP_END);
            const bool ended = forward(*worker, response, oldProtocol, received, log);
            access.release();
            if (ended) controller->deleteWorker(workerId);
        }
    } catch (...) {
        log.debugLvl(0, "Unhandled exception caught during forward of the Browse responce");
    }
}

// OneDrive browse restriction: an end user of a OneDrive tenant sees only his own data, through a
// filter on his mailbox GUID when the client is indexed on V2 (a path of other data lists nothing),
// else by his own folder, named by his e-mail address, as the browse path. A member of CWorkerThreadHM run by
// intake under the worker's lock.
#include <algorithm>
#include <cctype>

#include "Db/Proc/AppGetIndexingV2Enabled.h"
#include "Db/Tbl/UMUsers.h"
#include "appbrowse/enduserown.h"
#include "appbrowse/mailboxaccess.h"
#include "appbrowse/querycriteria.h"
#include "fbDebug/fbdebug.h"
#include "platform/db/cursorwrapper.h"
#include "platform/entities/apptypes.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr int kObjectIdAttribute = 20;
const char* const kRestrictionQueryId = "onedrive-owner-restriction";

// Whether a '\\' path from `from` on climbs: a "." or ".." segment.
bool climbs(const std::string& judged, size_t from) {
    for (size_t at = from; at < judged.size();) {
        const size_t end = std::min(judged.find('\\', at + 1), judged.size());
        const std::string segment = judged.substr(at + 1, end - at - 1);
        if (segment == "." || segment == "..") return true;
        at = end;
    }
    return false;
}

// The path the end user browses for the browse path `path`: the way down to her folder leads to the
// folder, and her folder or any path below it is browsed as asked; false when the path names other data
// (another user's folder), and any folder for a user without an e-mail address (who has none of her
// own). Either separator is taken, as the console prints paths with '/'.
bool ownFolderPath(const std::string& path, const std::string& email, std::string& out) {
    std::string judged = path;
    std::replace(judged.begin(), judged.end(), '/', '\\');
    const std::string folder = "\\OneDrive\\" + email;
    // Her folder is judged in the form the path is: an e-mail with a '/' names it too.
    std::string judgedFolder = folder;
    std::replace(judgedFolder.begin(), judgedFolder.end(), '/', '\\');
    if (climbs(judgedFolder, 0)) return false;  // an e-mail that would lead out of her folder
    if (judged == "\\" || judged == "\\OneDrive" || judged == "\\OneDrive\\") {
        out = folder;
        return true;
    }
    // A find below the top or below the OneDrive folder searches what she may browse: her folder.
    if (judged == "\\**\\*" || judged == "\\OneDrive\\**\\*") {
        out = folder + "\\**\\*";
        return true;
    }
    // Below her folder on a separator boundary ("<e-mail>2" is another user's), never climbing out of it.
    if (judged.compare(0, judgedFolder.size(), judgedFolder) != 0 ||
        (judged.size() > judgedFolder.size() && judged[judgedFolder.size()] != '\\'))
        return false;
    if (climbs(judged, judgedFolder.size())) return false;
    out = path;
    return true;
}

}  // namespace

bool userEmailAddress(long userId, std::string& email) {
    UMUsers users(nullptr);
    users.setWhere("id = %lu", static_cast<unsigned long>(userId));
    if (users.getOneRow(&users, false, -1, 0) != 0) {
        CBrowseLog(kTag).debugLvl(0, "Error: Cannot fetch logged-in user'e email id");
        return false;
    }
    const char* address = users.getDataPtr()->email;
    email = address ? address : "";
    return true;
}

bool oneDriveOnIndexingV2(long clientId, bool& v2) {
    CBrowseLog log(kTag);
    if (clientId <= 1) {
        log.debugLvl(0, "Invalid client id for determining indexing type. Failing the operation.");
        return false;
    }
    App::GetIndexingV2EnabledReq request;
    request.setint64(App::GetIndexingV2EnabledReq::f::clientId, clientId);
    request.setint64(App::GetIndexingV2EnabledReq::f::idxAppType, apptype::code(apptype::kOneDriveIndex));
    std::string requestXml;
    if (request.serialize(requestXml) != 0) {
        log.debugLvl(0, "Error : Failed to serialize App::GetIndexingV2EnabledReq.");
        return false;
    }
    SprocWrapper<AppGetIndexingV2Enabled, AppGetIndexingV2Enabled_t> procedure("handleOneDriveRequest",
                                                                               nullptr);
    procedure.getCursor()->setValues(requestXml.c_str());
    std::string replyXml, error;
    if (const int rc = procedure.getXMLFromCursor(replyXml, &error, false, true); rc != 0) {
        log.debugLvl(0, "Error [%d] while determining the indexing version of client [%ld]: %s", rc, clientId,
                     error.c_str());
        return false;
    }
    log.debugLvl(1, "indexing version reply [%s]", replyXml.c_str());
    App::GetIndexingV2EnabledResp reply;
    if (reply.unserialize(replyXml) != 0) {
        log.debugLvl(0, "Error : Failed to unserialize App::GetIndexingV2EnabledResp.");
        return false;
    }
    v2 = reply.getint64(App::GetIndexingV2EnabledResp::f::indexingV2Enabled) != 0;
    return true;
}

bool CWorkerThreadHM::handleOneDriveRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    bool v2 = false;
    if (!oneDriveOnIndexingV2(task->getClientId(), v2)) return false;
    if (v2) {
        EvSecurityMgr security(static_cast<long long>(task->getJobId()));
        std::string guid;
        if (!security.GetFromUsersPropDB(static_cast<int>(task->getUserId()), "Object ID", guid, nullptr)) {
            log.debugLvl(1, "Error returned while fetching tenant user mailbox . Failing the operation.");
            return false;
        }
        // The filter on her object id keeps her to her own items, at whatever path the index records
        // her folder: her e-mail address, which may be absent or spelt otherwise, names nothing here.
        std::transform(guid.begin(), guid.end(), guid.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        std::replace(guid.begin(), guid.end(), '-', 'X');
        if (log.getDebugLevel() > 1)
            log.debugLvl(1, "In handleOneDriveRequest with username [%s] and usermailbox guid [%s]",
                         task->getUserName(), guid.c_str());
        const databrowse::Criteria filter =
            singleValueCriterion(kObjectIdAttribute, kCriteriaOperatorDefault, getMbxGUID(guid));
        if (!m_queryList) m_queryList = std::make_unique<databrowse::Querylist>();
        // Without a data query the browse would run unfiltered: a plain browse query carries the filter.
        if (addToDataQueries(*m_queryList, filter) == 0) {
            databrowse::Query query;
            query.setint64(databrowse::Query::f::type, 0);
            query.setstring(databrowse::Query::f::queryId, kRestrictionQueryId);
            query.setlistobject(databrowse::Query::f::criteriaList, {filter});
            m_queryList->getlistobject(databrowse::Querylist::f::queries, true)->push_back(query);
        }
        return true;
    }

    const char* browsePath = task->getPath(EvRestoreTask::kBrowsePathList);
    if (!browsePath || !*browsePath) return false;
    std::string email;
    if (!userEmailAddress(task->getUserId(), email)) return false;
    if (email.empty()) {
        log.debugLvl(0, "Error: empty email id set for user");
        return false;
    }
    std::string newPath;
    if (!ownFolderPath(browsePath, email, newPath)) return false;
    task->clearPaths(EvRestoreTask::kBrowsePathList);
    task->setPath(EvRestoreTask::kBrowsePathList, newPath.c_str());

    auto setFirstBrowsePath = [&newPath](CNMessageBase& request) {
        auto* paths = request.getlistobject(databrowse::BrowseRequest::f::paths, false);
        if (paths && !paths->empty()) paths->front().setstring(databrowse::BrowsePath::f::path, newPath);
    };
    if (m_requestToReturn && m_requestToReturn->getTagID() == Indexing::BrowseReq::TAG) {
        auto setFirstIndexPath = [&newPath](CNMessageBase& request) {
            auto* paths = request.getliststring(Indexing::BrowseReq::f::sourcePaths, false);
            if (paths && !paths->empty()) paths->front() = newPath;
        };
        setFirstIndexPath(*m_requestToReturn);
        setFirstIndexPath(m_indexBrowseRequest);
    } else {
        if (m_requestToReturn) setFirstBrowsePath(*m_requestToReturn);
        setFirstBrowsePath(m_browseRequest);
    }
    return true;
}

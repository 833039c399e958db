// Exchange mailbox access and path rewriting: which mailbox an end user may browse (his own, or one
// delegated to him), the filter path that confines his browse of the root, the refusal of a range that
// spans the client's upgrade and the triplet source path of data written before it; the mailbox GUID
// criterion of Monorun mailbox queries. Members of CWorkerThreadHM run by intake under the worker's lock.
#include "appbrowse/mailboxaccess.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "appbrowse/querycriteria.h"
#include "fbDebug/fbdebug.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/mailboxdirectory.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/zytime.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr int kUpgradeRelease = 15;
constexpr int kMailboxGuidAttribute = 124;
const char* const kWildcardTail = "\\**\\*";
const char* const kNoOwnMailbox =
    "Browse access denied: an end user browses his own mailbox (and those delegated to him), and the "
    "mailbox directory records none of yours";
const char* const kNoOwnOlderLayoutMailbox =
    "Browse access denied: an end user browses his own mailbox, and yours has no path in the layout of "
    "before the client's upgrade (it was made after it)";

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

void eraseFirst(std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at != std::string::npos) text.erase(at, part.size());
}

// The parts of a path or triplet between '\' and the triplet separator, empty parts left out.
std::vector<std::string> partsOf(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (c == '\\' || c == kMailboxTripletSeparator) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// The path of a mailbox in the layout the browse reads: "\MB\{guid}", or the older layout's triplet
// with its own separators (written as '*' they would match any text, "rosemary" for the alias "mary").
std::string ownMailboxSubtree(apptype::EAppType appType, const std::string& mailboxGuid,
                              const std::string& triplet, bool olderLayout) {
    if (olderLayout || appType == apptype::kExchangeMailboxClassic) return triplet;
    return mailboxGuid.empty() ? std::string() : "\\MB\\" + mailboxGuid;
}

// Why `filter` does not confine a browse to exactly the subtree `own` ("" when it does): the index
// applies a pattern only as a subtree followed by the wildcard tail, and anything else would answer
// another user's data, or the media agent would have to refuse it.
std::string whyNotConfined(const std::string& filter, const std::string& own) {
    const std::string tail = kWildcardTail;
    if (own.empty()) return "the mailbox directory records no path of the user's mailbox";
    if (own.find_first_of("*?[") != std::string::npos)
        return "the path of the user's mailbox holds a wildcard character";
    if (filter.size() <= tail.size() || filter.compare(filter.size() - tail.size(), tail.size(), tail) != 0 ||
        !CaseInsensitiveStringCompare(filter.substr(0, filter.size() - tail.size()), own))
        return "the filter is not the user's own mailbox";
    return std::string();
}

// One mailbox check: what the request asks, what the steps found, and the caller's outputs (by
// reference) as the steps fill them.
struct TMailboxCheck {
    apptype::EAppType appType;
    int rightsMode;
    std::string path;  // the task's first browse path
    long userId;
    std::string& filterPath;
    std::string& tripletSrcPath;
    bool& useTriplet;
    bool& spansUpgrade;
    bool& accessDenied;
    std::string& mailboxGuid;
    std::string triplet{};           // of the user's mailbox, or of the one the path names
    std::string refusal{};           // why an end user is refused when the check cannot go on (kFailed)
    bool endUserRoot = false;        // an end user browses the root: his filter confines it
    bool olderLayoutFilter = false;  // his filter is his mailbox's path in the older layout
    CBrowseLog log{kTag};
};

// kFailed fails the request; kRefused refuses it as unauthenticated (access denied set).
enum class EAccess { kGoOn, kFailed, kRefused };

// The mailbox of the checking user into `c`; false (logged with `failure`) when it cannot be had, with
// the refusal to give when the directory records none for him: an end user who has no mailbox of his own
// has none to browse, which is a refusal, not a failure of the check.
bool ownMailboxDetails(TMailboxCheck& c, const char* failure) {
    switch (findMailboxDetails(c.userId, c.mailboxGuid, c.triplet)) {
        case EMailboxFound::kFound:
            return true;
        case EMailboxFound::kNone:
            c.refusal = kNoOwnMailbox;
            break;
        case EMailboxFound::kUnreadable:
            break;
    }
    c.log.debugLvl(0, "%s", failure);
    return false;
}

// An end user's browse of the root: his own mailbox's path and the wildcard tail become his filter.
EAccess filterEndUserRoot(TMailboxCheck& c) {
    if (!ownMailboxDetails(c, "Error: Cannot fetch logged-in user details")) return EAccess::kFailed;
    c.endUserRoot = true;
    if (c.appType == apptype::kExchangeMailboxClassic && c.triplet.empty()) {
        c.log.debugLvl(0, "Error: Mailbox Triplet empty");
        // His mailbox has no path in the older layout (it was made after the client's upgrade): there
        // is nothing of his to browse in that layout.
        c.refusal = kNoOwnOlderLayoutMailbox;
        return EAccess::kFailed;
    }
    if (c.appType != apptype::kExchangeMailboxClassic && c.mailboxGuid.empty()) {
        c.log.debugLvl(0, "Error: Mailbox GUID empty");
        c.refusal = kNoOwnMailbox;
        return EAccess::kFailed;
    }
    c.filterPath = ownMailboxSubtree(c.appType, c.mailboxGuid, c.triplet, false) + kWildcardTail;
    c.log.debugLvl(3,
                   "Will add Mailbox details to filter path as end user browse/find for "
                   "exchange..strMbxFolderPathFilter:[%s]",
                   c.filterPath.c_str());
    return EAccess::kGoOn;
}

// A path of the older layout names its mailbox by the triplet: the user's own only.
EAccess checkOwnTripletPath(TMailboxCheck& c) {
    if (!ownMailboxDetails(c, "Error: Cannot fetch logged-in user details.")) return EAccess::kFailed;
    if (c.triplet.empty() || !isPathInTriplet(c.path, c.triplet)) {
        c.accessDenied = true;
        std::string shown;
        replaceOldExchDelim(c.triplet, shown);
        c.log.debugLvl(0, "Error: UserId:[%ld] with mailbox triplet [%s] does not have access to browse [%s]",
                       c.userId, shown.c_str(), c.path.c_str());
        return EAccess::kRefused;
    }
    c.accessDenied = false;
    return EAccess::kGoOn;
}

// A path that names its mailbox `pathGuid`: the user's own only, and named where a mailbox is named.
EAccess checkOwnGuidPath(TMailboxCheck& c, const std::string& pathGuid) {
    if (!isMailboxPathOf(c.path, pathGuid)) {
        c.accessDenied = true;
        c.log.debugLvl(0, "Error: browse path [%s] does not name the mailbox MbxGUID[%s] it holds",
                       c.path.c_str(), pathGuid.c_str());
        return EAccess::kRefused;
    }
    if (!ownMailboxDetails(c, "Error: Cannot fetch logged-in user details.")) return EAccess::kFailed;
    if (!CaseInsensitiveStringCompare(c.mailboxGuid, pathGuid)) {
        c.accessDenied = true;
        c.log.debugLvl(0, "Error: UserId:[%ld] with MbxGUID[%s] does not have access to browse MbxGUID[%s]",
                       c.userId, c.mailboxGuid.c_str(), pathGuid.c_str());
        return EAccess::kRefused;
    }
    c.accessDenied = false;
    return EAccess::kGoOn;
}

// Without delegate access an end user browses below his own mailbox only.
EAccess checkOwnMailbox(TMailboxCheck& c) {
    std::string pathGuid;
    if (getMbxGUIDfromPath(c.path, pathGuid)) return checkOwnGuidPath(c, pathGuid);
    if (c.appType != apptype::kExchangeMailboxClassic) {
        c.log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox GUID from browse path..");
        c.accessDenied = true;
        return EAccess::kFailed;
    }
    return checkOwnTripletPath(c);
}

// With delegate access an end user browses the mailbox folders delegated to him; the browse is of the
// mailbox the path names.
EAccess checkDelegatedMailbox(TMailboxCheck& c) {
    c.log.debugLvl(3, "This is Exchange Delegate Access");
    std::string pathGuid, folder;
    if (!getMbxGUIDfromPath(c.path, pathGuid)) {
        c.log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox GUID from browse path..");
        c.accessDenied = true;
        return EAccess::kFailed;
    }
    if (!getMbxFolderfromPath(c.path, folder)) {
        c.log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox Folder from browse path..");
        c.accessDenied = true;
        return EAccess::kFailed;
    }
    if (!isMailboxPathOf(c.path, pathGuid) ||
        !canAccessExchDelegates(static_cast<int>(c.userId), c.mailboxGuid, pathGuid, folder)) {
        c.accessDenied = true;
        c.log.debugLvl(0, "Error: UserId:[%ld] does not have access to browse:[%s]", c.userId,
                       c.path.c_str());
        return EAccess::kRefused;
    }
    c.accessDenied = false;
    if (c.userId == 0)
        c.log.debugLvl(3, "userGUID:[%s] has delegate access to browse:[%s]", c.mailboxGuid.c_str(),
                       c.path.c_str());
    else
        c.log.debugLvl(3, "UserId:[%ld] has delegate access to browse:[%s]", c.userId, c.path.c_str());
    c.mailboxGuid = getMbxGUID(pathGuid);
    return EAccess::kGoOn;
}

// Which mailbox an end user (rights mode 1) of a mailbox application type may browse; anyone else goes on.
EAccess checkMailboxAccess(TMailboxCheck& c, bool delegateAccess) {
    if (!isMailboxAppType(c.appType) || c.rightsMode != 1) return EAccess::kGoOn;
    const EAccess verdict = isMailboxRootPath(c.path) ? filterEndUserRoot(c)
                            : delegateAccess          ? checkDelegatedMailbox(c)
                                                      : checkOwnMailbox(c);
    if (verdict == EAccess::kGoOn) c.log.debugLvl(3, "Exchange Mailbox GUID:[%s]", c.mailboxGuid.c_str());
    return verdict;
}

// kAcross: the range spans the client's upgrade and is refused; kBefore: all of it lies before.
enum class EUpgradeRange { kUnaffected, kAcross, kBefore };

// Where the task's time range lies against the upgrade of the client (`upgradeTime`, set for kAcross and
// kBefore); only a mailbox browse or find at mailbox level with a range is affected. A failed lookup lets
// the browse go on as it is.
EUpgradeRange rangeAgainstUpgrade(EvMultiEntityRestoreTask& task, TMailboxCheck& c,
                                  unsigned long& upgradeTime) {
    const long fromTime = task.getFromTime();
    const long toTime = task.getToTime();
    const databrowse::BrowseOperation op = task.getBrowseOpType();
    if (c.appType != apptype::kExchangeMailbox || (fromTime == 0 && toTime == 0) ||
        (op != databrowse::BROWSE_OP_BROWSE && op != databrowse::BROWSE_OP_FIND) ||
        !isMailboxLevelPath(c.path))
        return EUpgradeRange::kUnaffected;
    bool upgraded = false;
    if (!isClientUpgraded(kUpgradeRelease, static_cast<int>(task.getClientId()), upgraded, upgradeTime)) {
        c.log.debugLvl(0, "Check for client update time failed...");
        return EUpgradeRange::kUnaffected;
    }
    if (!upgraded) {
        c.log.debugLvl(3, "Client is not upgraded..");
        return EUpgradeRange::kUnaffected;
    }
    const auto from = static_cast<unsigned long>(fromTime);
    const auto to = static_cast<unsigned long>(toTime);
    if (from >= upgradeTime) return EUpgradeRange::kUnaffected;
    // An open start (from-time 0) is browsed as it is: only a range with both ends is refused.
    if (toTime == 0 || to > upgradeTime)
        return fromTime == 0 ? EUpgradeRange::kUnaffected : EUpgradeRange::kAcross;
    return to == upgradeTime ? EUpgradeRange::kUnaffected : EUpgradeRange::kBefore;
}

// The refusal of a range across the upgrade at `upgradeTime`: logged, the flag set, and the message for
// the worker to give.
EvMessageContainer acrossUpgradeMessage(TMailboxCheck& c, unsigned long upgradeTime) {
    char text[ZyTime::kTextSize] = {};
    ZyTime formatted(static_cast<long>(upgradeTime), text, 0, sizeof text);
    c.log.debugLvl(0,
                   "Exchange Mailbox browse/find cannot span across client upgrade time:[%s][%lu]. "
                   "Please select the time range before or after the upgrade time.",
                   text, upgradeTime);
    EvMessageContainer message;
    message.SetMessageID(evmsg::kMailboxSpansUpgrade, true);
    message << text;
    c.spansUpgrade = true;
    return message;
}

// Data before the upgrade are read at the triplet path of the mailbox the path names (a delegate's or an
// administrator's browse names another's mailbox; the user's own for his root) followed by the folder.
void pointAtTriplet(TMailboxCheck& c) {
    // An end user's listing of a level above the mailboxes ("\", "\MB") lists that level, confined by
    // his filter below; only a find from there searches his mailbox by its older path.
    const std::string tail = kWildcardTail;
    const std::string& path = c.path;
    const bool findFromRoot =
        path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    if (!(c.endUserRoot && findFromRoot) && isMailboxRootPath(path)) return;
    std::string folder;
    const size_t close = path.find('}');
    if (close != std::string::npos && close + 1 < path.size()) folder = path.substr(close + 1);
    // A find from the root ("\MB\**\*") stays a find of everything in the mailbox.
    if (close == std::string::npos && findFromRoot) folder = tail;
    std::string pathGuid;
    if (getMbxGUIDfromPath(path, pathGuid)) {
        std::string pathTriplet;
        if (GetMailboxDetails(0, pathGuid, pathTriplet)) c.triplet = pathTriplet;
    } else if (c.mailboxGuid.empty() || c.triplet.empty()) {
        GetMailboxDetails(c.userId, c.mailboxGuid, c.triplet);
    }
    if (c.triplet.empty()) return;
    c.tripletSrcPath = c.triplet + folder;
    c.useTriplet = true;
    c.log.debugLvl(3, "Will add triplet to Src path as data is before 10.0...strMbxTripletSrcPath:[%s]",
                   c.tripletSrcPath.c_str());
}

// The end user's filter follows his browse into the older layout, his own mailbox there; a mailbox that
// never had a triplet keeps the filter of its own mailbox, never a bare tail.
void filterOlderLayout(TMailboxCheck& c) {
    if (c.triplet.empty()) GetMailboxDetails(c.userId, c.mailboxGuid, c.triplet);
    if (c.triplet.empty()) return;
    c.filterPath = ownMailboxSubtree(c.appType, c.mailboxGuid, c.triplet, true) + kWildcardTail;
    c.olderLayoutFilter = true;
    std::string shown;
    replaceOldExchDelim(c.filterPath, shown);
    c.log.debugLvl(3,
                   "Will add Mailbox Triplet to filter path as end user browse/find for "
                   "exchange..strMbxFolderPathFilter:[%s]",
                   shown.c_str());
}

// A range wholly before the upgrade reads the older layout.
void readOlderLayout(TMailboxCheck& c) {
    pointAtTriplet(c);
    if (c.endUserRoot) filterOlderLayout(c);
    if (c.rightsMode != 1 && isMailboxRootPath(c.path)) c.useTriplet = false;
}

}  // namespace

void replaceOldExchDelim(const std::string& in, std::string& out) {
    out = in;
    std::replace(out.begin(), out.end(), kMailboxTripletSeparator, '*');
}

bool CaseInsensitiveStringCompare(std::string a, std::string b) {
    return upper(std::move(a)) == upper(std::move(b));
}

bool getMbxGUIDfromPath(std::string path, std::string& guid) {
    guid.clear();
    const size_t open = path.find('{');
    const size_t close = path.find('}');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    guid = path.substr(open, close - open + 1);
    return true;
}

bool getMbxFolderfromPath(std::string path, std::string& folder) {
    eraseFirst(path, "\\**\\*");
    eraseFirst(path, "\\**\\");
    eraseFirst(path, "\\*");
    const size_t close = path.find('}');
    if (close == std::string::npos) return false;
    if (path.size() - close - 1 >= 2) {
        folder = path.substr(close + 2);
        if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    } else {
        folder.assign(1, '\\');
    }
    return true;
}

std::string getMbxGUID(std::string guid) {
    if (guid.size() >= 2 && guid.front() == '{' && guid.back() == '}') return guid.substr(1, guid.size() - 2);
    return guid;
}

bool isMailboxPathOf(const std::string& path, const std::string& guid) {
    auto separator = [](char c) { return c == '\\' || c == '/'; };
    const size_t end = 4 + guid.size();
    return !guid.empty() && path.size() >= end && separator(path[0]) && separator(path[3]) &&
           CaseInsensitiveStringCompare(path.substr(1, 2), "MB") && path.compare(4, guid.size(), guid) == 0 &&
           (path.size() == end || separator(path[end]));
}

bool isMailboxAppType(apptype::EAppType appType) {
    return apptype::isMailbox(appType);
}

bool isMailboxRootPath(const std::string& path) {
    return path.empty() || path == "\\" || path == "\\MB" || path == "\\MB\\" || path == "\\MB\\**\\*";
}

bool isMailboxLevelPath(const std::string& path) {
    if (isMailboxRootPath(path)) return true;
    if (path.rfind("\\MB\\{", 0) != 0) return false;
    const size_t close = path.find('}');
    return close != std::string::npos &&
           (close + 1 == path.size() || (close + 2 == path.size() && path[close + 1] == '\\'));
}

bool isPathInTriplet(const std::string& path, const std::string& triplet) {
    const std::vector<std::string> want = partsOf(triplet);
    const std::vector<std::string> have = partsOf(path);
    if (want.empty() || have.size() < want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i)
        if (!CaseInsensitiveStringCompare(want[i], have[i])) return false;
    return true;
}

bool CWorkerThreadHM::handleExchangeRequest(EvMultiEntityRestoreTask* task, int rightsMode,
                                            std::string& filterPath, std::string& tripletSrcPath,
                                            bool& useTriplet, bool& spansUpgrade, bool& accessDenied,
                                            std::string& mailboxGuid) {
    mailboxGuid.clear();
    filterPath.clear();
    tripletSrcPath.clear();
    useTriplet = false;
    spansUpgrade = false;
    long userId = task->getUserId();
    if (m_resourceDomainEnabled) {
        userId = 0;
        mailboxGuid = m_resourceDomainUserGUID;
    }
    const char* first = task->getFirstPath(EvRestoreTask::kBrowsePathList);
    std::string path = first ? first : "";
    // An end user's find below the top (the wildcard tail alone, a find that names no path) searches
    // what he may browse: it is his find from the mailboxes' root, confined by his filter. Anyone
    // else's is no browse at mailbox level.
    if (rightsMode == 1 && isMailboxAppType(task->getAppType()) && path == kWildcardTail)
        path = std::string("\\MB") + kWildcardTail;
    TMailboxCheck c{.appType = task->getAppType(),
                    .rightsMode = rightsMode,
                    .path = path,
                    .userId = userId,
                    .filterPath = filterPath,
                    .tripletSrcPath = tripletSrcPath,
                    .useTriplet = useTriplet,
                    .spansUpgrade = spansUpgrade,
                    .accessDenied = accessDenied,
                    .mailboxGuid = mailboxGuid};

    switch (checkMailboxAccess(c, m_delegateAccess)) {
        case EAccess::kGoOn:
            break;
        case EAccess::kFailed:
            // A refusal the check could tell is the caller's answer; any other failure says it could not.
            if (!c.refusal.empty()) setLastError(databrowse::BROWSE_ERR_PERMISSION, c.refusal);
            return false;
        case EAccess::kRefused:
            return true;
    }
    unsigned long upgradeTime = 0;
    switch (rangeAgainstUpgrade(*task, c, upgradeTime)) {
        case EUpgradeRange::kUnaffected:
            break;
        case EUpgradeRange::kAcross:
            setErrorMessage(acrossUpgradeMessage(c, upgradeTime));
            break;
        case EUpgradeRange::kBefore:
            readOlderLayout(c);
            break;
    }
    // Every way out passes the end user's filter through the last check.
    return confineEndUserRoot(c.endUserRoot, c.appType, filterPath, mailboxGuid, c.triplet,
                              useTriplet || c.olderLayoutFilter);
}

bool CWorkerThreadHM::confineEndUserRoot(bool endUserRoot, apptype::EAppType appType,
                                         const std::string& filterPath, const std::string& mailboxGuid,
                                         const std::string& triplet, bool olderLayout) {
    if (!endUserRoot) return true;
    // The filter is all that keeps an end user's browse of the mailboxes to his own: one wider than his
    // mailbox is never sent, whatever built it.
    const std::string why =
        whyNotConfined(filterPath, ownMailboxSubtree(appType, mailboxGuid, triplet, olderLayout));
    if (why.empty()) return true;
    CBrowseLog log(kTag);
    std::string shown;
    replaceOldExchDelim(filterPath, shown);
    log.debugLvl(0, "Error: the mailbox browse of an end user cannot be confined to his mailbox [%s]: %s",
                 shown.c_str(), why.c_str());
    setLastError(databrowse::BROWSE_ERR_PERMISSION,
                 "Your mailbox browse is refused: it cannot be confined to your own mailbox (" + why + ")");
    return false;
}

bool CWorkerThreadHM::handleExchangeRequest2(int rightsMode, std::string& mailboxGuid) {
    if (rightsMode != 1 || mailboxGuid.empty() || !m_queryList) return true;
    mailboxGuid = lower(mailboxGuid);
    addToDataQueries(*m_queryList, singleValueCriterion(kMailboxGuidAttribute, kCriteriaOperatorDefault,
                                                        getMbxGUID(mailboxGuid)));
    return true;
}

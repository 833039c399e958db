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
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/zytime.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "platform/errors/evmessageids.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr int kUpgradeRelease = 15;
constexpr int kMailboxGuidAttribute = 124;
const char* const kWildcardTail = "\\**\\*";

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
    CBrowseLog log(kTag);
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
    const apptype::EAppType appType = task->getAppType();
    const char* first = task->getFirstPath(EvRestoreTask::kBrowsePathList);
    const std::string path = first ? first : "";
    std::string triplet;
    bool endUserRoot = false;

    if (isMailboxAppType(appType) && rightsMode == 1) {
        if (isMailboxRootPath(path)) {
            if (!GetMailboxDetails(userId, mailboxGuid, triplet)) {
                log.debugLvl(0, "Error: Cannot fetch logged-in user details");
                return false;
            }
            endUserRoot = true;
            if (appType == apptype::kExchangeMailboxClassic && triplet.empty()) {
                log.debugLvl(0, "Error: Mailbox Triplet empty");
                return false;
            }
            if (appType != apptype::kExchangeMailboxClassic && mailboxGuid.empty()) {
                log.debugLvl(0, "Error: Mailbox GUID empty");
                return false;
            }
            filterPath = ownMailboxSubtree(appType, mailboxGuid, triplet, false) + kWildcardTail;
            log.debugLvl(3,
                         "Will add Mailbox details to filter path as end user browse/find for "
                         "exchange..strMbxFolderPathFilter:[%s]",
                         filterPath.c_str());
        } else if (!m_delegateAccess) {
            std::string pathGuid;
            if (!getMbxGUIDfromPath(path, pathGuid)) {
                if (appType != apptype::kExchangeMailboxClassic) {
                    log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox GUID from browse path..");
                    accessDenied = true;
                    return false;
                }
                // A path of the older layout names its mailbox by the triplet: the user's own only.
                if (!GetMailboxDetails(userId, mailboxGuid, triplet)) {
                    log.debugLvl(0, "Error: Cannot fetch logged-in user details.");
                    return false;
                }
                if (triplet.empty() || !isPathInTriplet(path, triplet)) {
                    accessDenied = true;
                    std::string shown;
                    replaceOldExchDelim(triplet, shown);
                    log.debugLvl(
                        0,
                        "Error: UserId:[%ld] with mailbox triplet [%s] does not have access to browse [%s]",
                        userId, shown.c_str(), path.c_str());
                    return true;
                }
                accessDenied = false;
            } else {
                if (!isMailboxPathOf(path, pathGuid)) {
                    accessDenied = true;
                    log.debugLvl(0, "Error: browse path [%s] does not name the mailbox MbxGUID[%s] it holds",
                                 path.c_str(), pathGuid.c_str());
                    return true;
                }
                if (!GetMailboxDetails(userId, mailboxGuid, triplet)) {
                    log.debugLvl(0, "Error: Cannot fetch logged-in user details.");
                    return false;
                }
                if (!CaseInsensitiveStringCompare(mailboxGuid, pathGuid)) {
                    accessDenied = true;
                    log.debugLvl(
                        0, "Error: UserId:[%ld] with MbxGUID[%s] does not have access to browse MbxGUID[%s]",
                        userId, mailboxGuid.c_str(), pathGuid.c_str());
                    return true;
                }
                accessDenied = false;
            }
        } else {
            log.debugLvl(3, "This is Exchange Delegate Access");
            std::string pathGuid, folder;
            if (!getMbxGUIDfromPath(path, pathGuid)) {
                log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox GUID from browse path..");
                accessDenied = true;
                return false;
            }
            if (!getMbxFolderfromPath(path, folder)) {
                log.debugLvl(0, "Fatal Error: Cannot fetch Mailbox Folder from browse path..");
                accessDenied = true;
                return false;
            }
            if (!isMailboxPathOf(path, pathGuid) ||
                !canAccessExchDelegates(static_cast<int>(userId), mailboxGuid, pathGuid, folder)) {
                accessDenied = true;
                log.debugLvl(0, "Error: UserId:[%ld] does not have access to browse:[%s]", userId,
                             path.c_str());
                return true;
            }
            accessDenied = false;
            if (userId == 0)
                log.debugLvl(3, "userGUID:[%s] has delegate access to browse:[%s]", mailboxGuid.c_str(),
                             path.c_str());
            else
                log.debugLvl(3, "UserId:[%ld] has delegate access to browse:[%s]", userId, path.c_str());
            mailboxGuid = getMbxGUID(pathGuid);
        }
        log.debugLvl(3, "Exchange Mailbox GUID:[%s]", mailboxGuid.c_str());
    }

    // Data before the upgrade are read in the older layout; every way out passes the end user's filter
    // through the last check.
    bool olderLayoutFilter = false;
    auto olderLayout = [&]() REQUIRES(m_workerLock) {
        const long fromTime = task->getFromTime();
        const long toTime = task->getToTime();
        const databrowse::BrowseOperation op = task->getBrowseOpType();
        if (appType != apptype::kExchangeMailbox || (fromTime == 0 && toTime == 0) ||
            (op != databrowse::BROWSE_OP_BROWSE && op != databrowse::BROWSE_OP_FIND) ||
            !isMailboxLevelPath(path))
            return;
        bool upgraded = false;
        unsigned long upgradeTime = 0;
        if (!isClientUpgraded(kUpgradeRelease, static_cast<int>(task->getClientId()), upgraded,
                              upgradeTime)) {
            log.debugLvl(0, "Check for client update time failed...");
            return;
        }
        if (!upgraded) {
            log.debugLvl(3, "Client is not upgraded..");
            return;
        }
        const auto from = static_cast<unsigned long>(fromTime);
        const auto to = static_cast<unsigned long>(toTime);
        if (from >= upgradeTime) return;
        if (toTime == 0 || to > upgradeTime) {
            // An open start (from-time 0) is browsed as it is: only a range with both ends is refused.
            if (fromTime == 0) return;
            char text[ZyTime::kTextSize] = {};
            ZyTime formatted(static_cast<long>(upgradeTime), text, 0, sizeof text);
            log.debugLvl(0,
                         "Exchange Mailbox browse/find cannot span across client upgrade time:[%s][%lu]. "
                         "Please select the time range before or after the upgrade time.",
                         text, upgradeTime);
            EvMessageContainer message;
            message.SetMessageID(evmsg::kMailboxSpansUpgrade, true);
            message << text;
            setErrorMessage(message);
            spansUpgrade = true;
            return;
        }
        if (to == upgradeTime) return;
        // An end user's listing of a level above the mailboxes ("\", "\MB") lists that level, confined
        // by his filter below; only a find from there searches his mailbox by its older path.
        const std::string tail = kWildcardTail;
        const bool findFromRoot =
            path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
        if ((endUserRoot && findFromRoot) || !isMailboxRootPath(path)) {
            std::string folder;
            const size_t close = path.find('}');
            if (close != std::string::npos && close + 1 < path.size()) folder = path.substr(close + 1);
            // A find from the root ("\MB\**\*") stays a find of everything in the mailbox.
            if (close == std::string::npos && findFromRoot) folder = tail;
            // The triplet of the mailbox the path names (a delegate's or an administrator's browse names
            // another's mailbox); the user's own for his root.
            std::string pathGuid;
            if (getMbxGUIDfromPath(path, pathGuid)) {
                std::string pathTriplet;
                if (GetMailboxDetails(0, pathGuid, pathTriplet)) triplet = pathTriplet;
            } else if (mailboxGuid.empty() || triplet.empty()) {
                GetMailboxDetails(userId, mailboxGuid, triplet);
            }
            if (!triplet.empty()) {
                tripletSrcPath = triplet + folder;
                useTriplet = true;
                log.debugLvl(
                    3, "Will add triplet to Src path as data is before 10.0...strMbxTripletSrcPath:[%s]",
                    tripletSrcPath.c_str());
            }
        }
        if (endUserRoot) {
            if (triplet.empty()) GetMailboxDetails(userId, mailboxGuid, triplet);
            // The end user's filter follows his browse into the older layout, his own mailbox there; a
            // mailbox that never had a triplet keeps the filter of its own mailbox, never a bare tail.
            if (!triplet.empty()) {
                filterPath = ownMailboxSubtree(appType, mailboxGuid, triplet, true) + kWildcardTail;
                olderLayoutFilter = true;
                std::string shown;
                replaceOldExchDelim(filterPath, shown);
                log.debugLvl(3,
                             "Will add Mailbox Triplet to filter path as end user browse/find for "
                             "exchange..strMbxFolderPathFilter:[%s]",
                             shown.c_str());
            }
        }
        if (rightsMode != 1 && isMailboxRootPath(path)) useTriplet = false;
    };
    olderLayout();
    return confineEndUserRoot(endUserRoot, appType, filterPath, mailboxGuid, triplet,
                              useTriplet || olderLayoutFilter);
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

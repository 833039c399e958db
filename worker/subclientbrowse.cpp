// The answer from a subclient's configured contents, without a media agent: the content lines of the
// browse task paged by the request's first node, skip count and page size, each line converted as an
// item (lines of unknown type resolved by a nested browse); the empty answer of a child count; and the
// levels of a content directory to strip. Called on the worker's thread under its lock.
#include <algorithm>
#include <ctime>
#include <iterator>

#include "fbDebug/fbdebug.h"
#include "framework/browseutils.h"
#include "planning/browsetask.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/fssubclientconf.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/restoreproto/fsr_records.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kItemDirectory = 0x1;
constexpr uint64_t kItemUnknownType = 0x8;
constexpr char kSeparator = 0x12;

bool isCountFunction(uint32_t function) {
    return function == 1 || function == 5 || function == 8;
}
bool isPageFunction(uint32_t function) {
    return function == 2 || function == 3 || function == 4 || function == 6 || function == 7;
}

bool hasAnswer(databrowse::BrowseResponse& response) {
    if (!response.isSet(databrowse::BrowseResponse::f::browseResult)) return false;
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    const auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false);
    const auto* counts = result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, false);
    return (items && !items->empty()) || (counts && !counts->empty());
}

}  // namespace

int CWorkerThreadHM::doBrowseBySubclients(EvMessageContainer&, TInputData* input,
                                          std::list<TSubclientPath>& lines) {
    CBrowseLog log(kTag);
    if (!input) return -1;
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_ITEMS);
    const uint64_t now = static_cast<uint64_t>(m_clock.epochSeconds());
    const size_t n = lines.size();
    const uint32_t function = input->emFunction & 0xFF;

    size_t first = 0;
    uint32_t skip = 0;
    if (isCountFunction(function)) {
        std::string xml;
        const int rc = response.serialize(xml);
        if (rc != 0) {
            log.debugLvl(0, "failed to serialize browse response,error [%d]", rc);
            return -1;
        }
        sendItemBack(std::move(xml));
        return 0;
    }
    if (isPageFunction(function)) {
        first = input->emFunction >> 8;
        if (input->emFirstNode != 0) {
            log.debugLvl(
                0, "firstNode=%llu, and index=%d. It is request for the page of backed up data. Not a conf.",
                static_cast<unsigned long long>(input->emFirstNode), static_cast<int>(first));
            return 0;
        }
        if (first != 0) {
            log.debugLvl(0,
                         "id of the first node = %d. It is request for the page of subclient conf. Not a "
                         "backed Up data.",
                         static_cast<int>(first));
            --first;
        }
        skip = input->skipCount;
    }

    const bool imageVolume = (input->optionBits & taskoption::kExactBrowse) != 0;
    const uint32_t pageSize = input->pageSize;
    unsigned int countOperation = 0;
    // A page is full: the caller gets the number of lines with it when it asked for a count.
    auto pageFull = [&](uint32_t sent) REQUIRES(m_workerLock) {
        if (sent != pageSize || !emRequiresCount(countOperation)) return false;
        if (!m_countTag.empty()) addCountResponse(static_cast<long long>(n), response);
        return true;
    };

    uint32_t sent = 0;
    FSRRestoreItem_90 item{};
    // A first index at or past the last line leaves nothing to answer.
    auto line = lines.begin();
    std::advance(line, std::min(first, n));
    for (size_t index = first; line != lines.end(); ++line, ++index) {
        if (skip > 0) {
            log.debugLvl(2, "skipped item [%d] path [%s] display name [%s]", static_cast<int>(index),
                         line->path.c_str(), line->displayName.c_str());
            --skip;
            continue;
        }
        std::string path = line->path;
        uint64_t flags = 0;
        if (!path.empty() && path[0] == '!') {
            path.erase(0, 1);
            flags = kItemDirectory;
        } else {
            flags = getSubConfItemFileType(apptype::of(input->appType));
            if (flags == kItemUnknownType &&
                apptype::in(apptype::family::kVirtualMachineRootDirectories, apptype::of(input->appType))) {
                if (input->browsePath == "\\" || input->browsePath == "/") {
                    flags = kItemDirectory;
                    log.debugLvl(0,
                                 imageVolume ? "ImageLevel_Volume '%s' is Directory (actual volume)."
                                             : "ImageLevel_FileSystem '%s' is Directory (actual volume).",
                                 path.c_str());
                } else {
                    log.debugLvl(2, "ImageLevel_FileSystem file/directory status of '%s' is unknown.",
                                 path.c_str());
                }
            }
        }
        if (flags & kItemUnknownType) {
            if (doDotBrowse(line->path.c_str(), line->pathValue)) {
                if (pageFull(++sent)) break;
                continue;
            }
            flags = kItemDirectory;
        }
        const char* last = findLastDelimiter(path.c_str());
        if (!last) {
            log.debugLvl(0, "path %s has no delimiter", path.c_str());
            return -2;
        }
        const std::string name = std::string("0") + kSeparator + (last + 1);
        item.flags = flags;
        item.name = name.c_str();
        item.modificationTime = now;
        item.version = 1;
        item.displayName = line->displayName.c_str();
        convertToXML(&item, response);
        ++sent;
        if (!imageVolume && pageFull(sent)) break;
    }
    item.name = nullptr;
    item.displayName = nullptr;

    if (hasAnswer(response)) {
        std::string xml;
        const int rc = response.serialize(xml);
        if (rc != 0)
            log.debugLvl(0, "failed to serialize browse response,error [%d]", rc);
        else
            sendItemBack(std::move(xml));
    }
    if (sent < pageSize) input->pageSize -= sent;
    return 0;
}

bool CWorkerThreadHM::emGetCountOfChildrenFullPageSupport_HM(std::vector<TSubclientPath> lines) {
    CBrowseLog log(kTag);
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_ITEMS);
    std::string xml;
    const int rc = response.serialize(xml);
    if (rc != 0) {
        log.debugLvl(0, "Failed to serialize browse response, error [%d]", rc);
        return false;
    }
    sendItemBack(std::move(xml));
    log.debugLvl(0, "Count of children sent as '%zu'", lines.size());
    return true;
}

int CWorkerThreadHM::computeStripLevel(unsigned long long flags, long level, FSSubclientDir* directory) {
    CBrowseLog log(kTag);
    if (!directory) return -1;
    const std::string& path = directory->path;
    const char delimiter = path.empty() ? '\0' : path[0];
    if (delimiter != '/' && delimiter != '\\') {
        log.debugLvl(-1, "ERROR: invalid path '%s' (no delimiter)", path.c_str());
        return -1;
    }
    const long sourceLevel =
        path.size() > 1 ? static_cast<long>(std::count(path.begin(), path.end(), delimiter)) : 0;
    const std::string& suffix = directory->suffix;
    const long suffixLevel = static_cast<long>(std::count(suffix.begin(), suffix.end(), delimiter));
    const long d = sourceLevel - suffixLevel;
    if (d < 0) {
        log.debugLvl(0, "INTERNAL ERROR: path '%s' suffix %s sourceLevel %d suffixLevel %d", path.c_str(),
                     suffix.c_str(), static_cast<int>(sourceLevel), static_cast<int>(suffixLevel));
        return -1;
    }
    if (flags & 0x80) return static_cast<int>(d - std::min(level, d));
    if (flags & 0x100) return static_cast<int>(level < d ? level + 1 : d);
    return static_cast<int>(d);
}

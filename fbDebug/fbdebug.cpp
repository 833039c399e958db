#include "fbDebug/fbdebug.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/config/zyformat.h"
#include "platform/log/zytime.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"

EvDebugFileInstance* g_pLogInstance = nullptr;

CBrowseLog::CBrowseLog(const char* tag) : EvDebug(g_pLogInstance) {
    setPrefixMessage(tag);
}

CBrowseLog::~CBrowseLog() = default;

void smallDump(const char* tag, EvRestoreTask* task) {
    if (!task) return;
    CBrowseLog log(tag);

    // 1. Positions of the extended options that are set, each followed by a blank.
    std::string extended;
    if (const char* options = task->getExtendedOption()) {
        // Most positions hold '0': only the ones are visited.
        const char* const end = options + strnlen(options, 1024);
        for (const char* one = options; (one = static_cast<const char*>(memchr(one, '1', end - one)));
             ++one) {
            extended += std::to_string(one - options);
            extended += ' ';
        }
    }

    // 2. The browse's two times as text; a from-time of 0 is shown as time 1.
    char fromText[ZYTIME_BUFFER_SIZE];
    char toText[ZYTIME_BUFFER_SIZE];
    long fromTime = task->getFromTime();
    long toTime = task->getToTime();
    ZyTime(fromTime == 0 ? 1 : fromTime, fromText, 0);
    ZyTime(toTime, toText, 0);

    // 3. The lines, made together and written together.
    std::vector<std::string> lines;
    lines.push_back(zyFormat("browse session [%s]", task->getbrowseSessionGUID()));
    for (const char* path = task->getFirstPath(); path; path = task->getNextPath())
        lines.push_back(zyFormat("browse path [%s]", path));
    lines.push_back(
        zyFormat("source client [%ld] apptype [%ld] instance [%ld] backupset [%ld] subclient [%ld]",
                 task->getClientId(), apptype::code(task->getAppType()), task->getInstanceId(),
                 task->getBackupSetId(), task->getSubClientId()));
    lines.push_back(zyFormat("from [%ld : %s] to [%ld : %s]", fromTime, fromText, toTime, toText));
    lines.push_back(zyFormat("options [%llu] options1 [%llu] extended options [%s]", task->getOptions(),
                             task->getOptions1(), extended.c_str()));
    const std::string& pattern = task->getbrowseFindPattern();
    if (!pattern.empty()) lines.push_back("filter [" + pattern + "]");
    lines.push_back(
        zyFormat("copy precedence [%lu] user [%ld]", task->getArchGroupCopyPrecedence(), task->getUserId()));
    lines.push_back(zyFormat("em [%lu] skip node [%lu] first node [%llu] page size [%lu]",
                             task->getEmFunction(), task->getEmSkipNode(),
                             static_cast<unsigned long long>(task->getEmFirstNode()), task->getEmPageSize()));
    log.debugLines(0, lines);
    // The current time's text is made only for a log that writes its line.
    if (log.getDebugLevel() >= 2) {
        char nowText[ZYTIME_BUFFER_SIZE];
        ZyTime(static_cast<long>(CHubClock::real().epochSeconds()), nowText, 0);
        log.debugLvl(2, "current time [%ld : %s]", static_cast<long>(CHubClock::real().epochSeconds()),
                     nowText);
    }
    std::string view = task->getBrowseViewName();
    if (!view.empty()) log.debugLvl(0, "browse-view [%s]", view.c_str());
}

// hubdbdemo: creates the demo Hubmaster world in a work folder (database, registry with the token
// key, log), opens it as the process's database and prints what the platform can already answer
// about it: media agents, the backup cycles and archive files of a subclient over a time range, the
// media they lie on, and browse rights and a token of the demo users. ./dev run then serves this world
// with the host and the media agents and browses it with the console.
//
//   hubdbdemo <work folder>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/security/evsecuritymgr.h"

namespace {

constexpr int kDay = 86400;

std::string when(long long t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    gmtime_r(&tt, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tmv);
    return buf;
}

int failed(const std::string& what) {
    std::fprintf(stderr, "hubdbdemo: %s\n", what.c_str());
    return 1;
}

bool showMediaAgents(const hubdemo::DemoWorld& w) {
    std::printf("\nMedia agents (ArchiveManagerHM::getMediaAgentInfo):\n");
    ArchiveManagerHM am(nullptr);
    for (int id : {w.mediaAgent, w.offlineMediaAgent, w.legacy.mediaAgent}) {
        GetMediaAgentInfoArgsHM_t args;
        args.clientId = static_cast<uint32_t>(id);
        GetMediaAgentInfoRetHM_t ma;
        int rc = am.getMediaAgentInfo(&args, &ma);
        if (rc != 0) {
            std::printf("  client %d: error %d\n", id, rc);
            return false;
        }
        std::printf("  %-12s client %-3llu host %-12s release %-5s port %llu\n", ma.clientName.c_str(),
                    static_cast<unsigned long long>(ma.clientId), ma.hostName.c_str(), ma.versionText.c_str(),
                    static_cast<unsigned long long>(ma.port));
    }
    return true;
}

bool showCycles(const hubdemo::DemoWorld& w, long long from, long long to) {
    std::printf(
        "\nBackup cycles of client1's file-system subclient from %s to %s (ArchFileByTimeSuperBrowse):\n",
        when(from).c_str(), when(to).c_str());
    ArchFileByTimeSuperBrowse proc(nullptr);
    proc.setValues(w.fileAppType, w.fileClient, w.fileBackupSet, w.fileSubclient, static_cast<int>(from),
                   static_cast<int>(to), 0, 1, 0, 0, "");
    int dataFiles = 0, indexFiles = 0, rc;
    while ((rc = getNextRow(&proc, nullptr, -1, 0)) == zydb::DB_OK) {
        const ArchFileByTimeSuperBrowse_t* r = proc.getDataPtr();
        if (r->r_resultSetId == 1)
            std::printf("  cycle %d: newest data file %d of job %d at %s, on media agent %d (release %s)\n",
                        r->r_fullCycleNum, r->r_afileId, r->r_jobId, when(r->r_createTime).c_str(),
                        r->r_mediaAgentId, r->r_mediaAgentVersion);
        dataFiles += r->r_resultSetId != 3;
        indexFiles += r->r_resultSetId == 3;
    }
    if (rc != zydb::DB_NO_DATA) {
        std::printf("  error %d: %s\n", rc, proc.getErrorStr(rc));
        return false;
    }
    std::printf("  %d data archive files and %d index archive files in those cycles\n", dataFiles,
                indexFiles);

    std::printf("\nLast archive file of each cycle (ArchiveManagerHM::getLastAfileForEachCycle):\n");
    ArchiveManagerHM am(nullptr);
    LastAfileForEachCycleArgs_t args;
    args.appId = static_cast<uint64_t>(w.fileSubclient);
    args.searchMode = kAfileModeCycle;
    args.fromTime = static_cast<uint64_t>(from);
    args.toTime = static_cast<uint64_t>(to);
    LastAfileForEachCycleRet_t cycles;
    if ((rc = am.getLastAfileForEachCycle(&args, &cycles)) != 0) {
        std::printf("  error %d\n", rc);
        return false;
    }
    for (const ArchFileByTime_t& f : cycles.lastAfiles)
        std::printf("  archive file %d (type %d) of job %d at %s, copy %d\n", f.r_afileId, f.r_fileType,
                    f.r_jobId, when(f.r_createTime).c_str(), f.r_copyId);

    std::printf("\nMedia a restore of that range reads (ArchiveManagerHM::getMediaListForAppIdByTime):\n");
    std::vector<TMediaInfo> media;
    rc = am.getMediaListForAppIdByTime(0, static_cast<unsigned long>(w.fileSubclient),
                                       static_cast<unsigned long>(from), static_cast<unsigned long>(to), 0,
                                       &media, kMediaIndex | kMediaData);
    if (rc != 0) {
        std::printf("  error %d\n", rc);
        return false;
    }
    for (const TMediaInfo& m : media)
        std::printf("  %s in %s: %llu archive files, on %s\n", m.text1.c_str(), m.text2.c_str(),
                    static_cast<unsigned long long>(m.value8), m.text4.c_str());
    return true;
}

bool showRights(const hubdemo::DemoWorld& w) {
    std::printf("\nBrowse rights (EvSecurityCheck::canBrowse):\n");
    struct Question {
        const char* user;
        int userId;
        const char* client;
        int clientId;
    };
    EvSecurityCheck check(0);
    for (const Question& q : {Question{"alice", w.fileUser, "client1", w.fileClient},
                              Question{"alice", w.fileUser, "client2", w.otherFileClient},
                              Question{"admin", w.adminUser, "client2", w.otherFileClient}}) {
        bool allowed = check.canBrowse(q.userId, hubdb::kDefaultKelmarchId, q.clientId, w.fileAppType, 0, 0,
                                       0, false, "");
        std::printf("  %s on %s: %s (%s)\n", q.user, q.client, allowed ? "allowed" : "refused",
                    check.getResponseString());
    }

    std::printf("\nA token for alice (EvSecurityMgr::IssueZetaToken, signed with the registry's key):\n");
    std::string token;
    if (EvSecurityMgr::IssueZetaToken(w.fileUser, false, 3600, token) != 0) {
        std::printf("  could not be issued\n");
        return false;
    }
    int userId = 0;
    std::string login, domain, fullName;
    if (check.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, login, domain, fullName) !=
        1) {
        std::printf("  was refused\n");
        return false;
    }
    std::printf("  %zu characters, verified as user %d (%s, %s)\n", token.size(), userId, login.c_str(),
                fullName.c_str());
    token.back() = token.back() == 'A' ? 'B' : 'A';
    const bool tamperedAccepted = check.GetUserInfoFromZetaTokenWithoutAuthentication(
                                      token, false, userId, login, domain, fullName) == 1;
    std::printf("  with its last character changed: %s\n",
                tamperedAccepted ? "accepted (wrong!)" : "refused");
    return !tamperedAccepted;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr const char* kUsage =
        "usage: hubdbdemo <work folder>\n"
        "  creates the demo Hubmaster world in <work folder> (database, registry, log) and prints what the\n"
        "  platform answers about it; ./dev run then serves it with tools/hubmaster and tools/mediaagent\n";
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // An option is never taken for a folder to create.
    if (argc != 2 || argv[1][0] == '-' || argv[1][0] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string folder = argv[1];
    EvDebugFileInstance::setLogDirectory(folder);
    // Opened now, with its opening line, so the log named below exists whatever the questions log.
    EvDebug(nullptr).initialize(0, 0, false, "");
    const std::string logPath = EvDebugFileInstance::defaultInstance()->filePath();

    hubdemo::DemoWorld w;
    std::string error;
    if (!hubdemo::createDemoWorld(folder, w, &error)) return failed(error);
    if (hubdb::openHubDatabase(w.databasePath, &error) != zydb::DB_OK)
        return failed("opening the database: " + error);
    std::printf(
        "hubdbdemo: the demo Hubmaster world\n  database %s\n  registry %s (token key set)\n  log      %s\n",
        w.databasePath.c_str(), w.registryPath.c_str(), logPath.c_str());
    // The world the README's table "The demo world" shows, by road.
    std::printf(
        "  backups daily for %d days from %s (a full each week) of:\n"
        "    client1, client2: file systems on mediaagent1 (release 11.0, with an index service)\n"
        "    client3: a file system on mediaagent3 (release 9.0, no index service: %d weekly cycles of a "
        "full\n"
        "      and %d incrementals), browsed through the Hubmaster\n"
        "    vsahypervisor (vmalpha ... vmdelta), hypervisor1 (vm1, vm2): virtual machines\n"
        "    exchmb1 (mailboxes), onedrive1, onedrive2, exchdb1, exchdb2, exchmine1 (Exchange databases, "
        "mined),\n"
        "    spplain (SharePoint sites, mined), notes1, livewin1, livelinux1, livewin2 (live browse)\n"
        "  users: admin, alice, EXCH\\mary, EXCH\\dan, EXCH\\sam, TENANT\\olivia, TENANT\\nemo, vmowner\n"
        "  mediaagent2 holds the storage policy's second copy and is never started\n",
        w.backupDays, when(w.firstBackupTime).c_str(), w.legacy.cycles, w.legacy.jobsPerCycle - 1);

    // From the middle of the first week into the second: two cycles.
    const long long from = w.firstBackupTime + 4 * kDay;
    const long long to = w.firstBackupTime + 10 * kDay;
    bool ok = showMediaAgents(w) && showCycles(w, from, to) && showRights(w);
    zydb::CDbEnv::close();
    if (!ok) return failed("a question above was not answered; see the log " + logPath);

    std::printf(
        "\nServe it with tools/hubmaster and tools/mediaagent and browse it with tools/browse "
        "(./dev run does all three).\n");
    return 0;
}

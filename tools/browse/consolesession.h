// CConsoleSession: one console command against a Hubmaster. It obtains a token (or uses the one given),
// sends the command's databrowse::BrowseRequest to "BrowseRouter", takes the one reply, and when the
// reply is a prepared request sends it to the media agent it names ("IndexingService_0") and reads the
// answers back on that connection. With --via hubmaster the request goes to the Hubmaster's own browse
// service instead, which browses (an older media agent over the classic protocol included) and streams
// the answers back, which the console also chooses by itself for a media agent too old for an index
// service. An erase first checks each path against its backup (size, folder), lists its items through
// the router, then has the Hubmaster make the erase task. Each failure carries the exit status a script
// acts on. One object per command, on the console's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consoleoutput.h"

class CConsoleSession {
public:
    static constexpr const char* kIndexService = "IndexingService_0";
    // Where the host program writes its router's address in the data folder's registry.
    static constexpr const char* kRegistrySection = "~Hubmaster";
    static constexpr const char* kRouterHostKey = "sBrowseRouterHost";
    static constexpr const char* kRouterPortKey = "nBrowseRouterPort";

    // `hubmasterProgram`: the host program that issues tokens for --user ("" : none). The command's
    // --timeout and a token's expiry are measured on `clock`, which must outlive the session.
    CConsoleSession(TConsoleOptions options, std::string hubmasterProgram,
                    const CHubClock& clock = CHubClock::real());

    // Runs the command. kExitOk when the browse answered without error; otherwise the EConsoleExit of
    // the failure, with result.error set. `progress` is told the number of items received so far after
    // each answer of a media agent. `confirm` is asked before an erase of a folder's contents (false:
    // nothing is booked); without one, such an erase needs --yes.
    int run(TConsoleResult& result, const std::function<void(size_t)>& progress = {},
            const std::function<bool(const std::string&)>& confirm = {});

    // Test seam: `edit` changes the command's request before it is sent (what the command line cannot
    // say: a subclient by name, a raw type number). Empty: the request goes as built.
    void setRequestEditor(std::function<void(databrowse::BrowseRequest&)> edit) {
        m_requestEditor = std::move(edit);
    }

    // Test seam: `fail` is asked before each exchange the command has with the Hubmaster, numbered from
    // 1 in the order they are made (its request, then every question after it: look-ups, conversions,
    // the Hubmaster's road taken instead); true makes that exchange fail as a Hubmaster that cannot be
    // reached does. Empty: none fails.
    void setExchangeFault(std::function<bool(int exchange)> fail) { m_exchanges->fail = std::move(fail); }

    // The road the command took ("router", "router, then media agent [name]", "hubmaster"), for -v and
    // the log.
    const std::string& road() const { return m_road; }
    // Who asked, as the log names them: the user by the name given (--user) or by the id the token
    // shows, with the token's source.
    std::string askedBy() const;
    // The exit status of a service error with error `code`: refused when the service says it denied the
    // caller (the permission code), else the service's error.
    static int exitOfServiceError(long long code);
    // The major release of a media agent as the Hubmaster records it; 0 when unknown (no database).
    static int mediaAgentRelease(const std::string& agent);

    // The major release of `agent` as a prepared request's backup cycles record it; 0 when they do not.
    static int mediaAgentReleaseOf(CNMessageBase& prepared, const std::string& agent);

    // The media agent a prepared request names ("" when it names none).
    static std::string mediaAgentOf(CNMessageBase& prepared);

    // Why the service refused `token`, as far as its visible part tells (expired, damaged, or not signed
    // by this Hubmaster as it stands), with how to get a new one.
    std::string explainTokenRefusal(const std::string& token, const std::string& dataFolder) const;

private:
    // Another exchange of the same command (a look-up, the Hubmaster's road taken instead): it keeps the
    // command's clock and its one deadline.
    CConsoleSession(const CConsoleSession& command, TConsoleOptions options);
    // True when `token`'s visible part shows an expiry that has passed on the console's clock: the one
    // judgement of expiry the console makes before it sends anything.
    bool tokenExpired(const std::string& token) const;
    // Steps of runCommand, each a status (kExitOk: go on). The settings a command needs and the router
    // it asks, named when one is missing.
    int checkSettings(TZyNetAddress& router, TConsoleResult& result);
    // An erase's dry run: the Hubmaster's verdict, nothing booked.
    int judgeEraseDryRun(const TZyNetAddress& router, const databrowse::BrowseRequest& request,
                         TConsoleResult& result);
    // The media command's columns and its note, or why a path has no media.
    int finishMedia(const TZyNetAddress& router, TConsoleResult& result);
    // A second question of the command (a look-up asked to explain or complete its answer) failed with
    // status `rc` and `asked.error`: the answer fails with it, with its status, saying what could not
    // be told (`untold`) and which question (`question`) failed. Every such look-up's failure comes here.
    static int questionFailed(TConsoleResult& result, int rc, const TConsoleResult& asked,
                              const std::string& untold, const std::string& question);
    // An empty listing of a path that was never backed up is said to be so.
    int explainNothingListed(const TZyNetAddress& router, TConsoleResult& result);
    int runCommand(TConsoleResult& result, const std::function<void(size_t)>& progress,
                   const std::function<bool(const std::string&)>& confirm);
    bool prepare(TConsoleResult& result);
    // Installs the console's credentials (see TConsoleOptions::tlsFolder).
    bool secure(TConsoleResult& result);
    bool obtainToken(TConsoleResult& result);
    // Away from the Hubmaster's data the log goes to the user's own state folder (owner-only), unless
    // $HUB_LOG_DIR names one.
    static void useOwnLogFolder();
    bool tokenFromFile(std::string& token, std::string& error) const;
    // Runs `options` (another command of the same user) through the road the command takes.
    int browseAs(const TConsoleOptions& options, const TZyNetAddress& router, TConsoleResult& result);
    // The item backed up at `path` as of `at`, from its parent's listing: 1 found, 0 not there, or
    // the failure's negative exit status with `result.error` set.
    int lookUp(const TZyNetAddress& router, const std::string& path, long long at, TConsoleItem& item,
               TConsoleResult& result);
    // Connects to `service` at `where` within --timeout and sends `request`; kExitOk or the failure.
    int sendTo(CZyNetwork& session, const TZyNetAddress& where, const char* service, CNMessageBase& request,
               TConsoleResult& result);
    // Sends the stop to the Hubmaster's own service, which answers its verdict: what the stop ends,
    // nothing left to stop, refused or no such session. A token it would refuse is refused first.
    int stop(const TZyNetAddress& router, databrowse::BrowseRequest& request, TConsoleResult& result);
    int checkErase(const TZyNetAddress& router, TConsoleResult& result,
                   const std::function<bool(const std::string&)>& confirm);
    void nameClients(TConsoleResult& result) const;
    // The media an answer names by archive file only: label, library, copy and media agent as the
    // router converts them; a warning says why the columns of a file stay unknown (refused, or no medium
    // known), and a conversion that could not be asked fails the answer (its status).
    int describeMedia(const TZyNetAddress& router, TConsoleResult& result);
    // The media of the archive files not yet named, from the Hubmaster's data (--data).
    void describeMediaFromData(TConsoleResult& result) const;
    bool routerAddress(TZyNetAddress& address, std::string& error);
    int throughRouter(const TZyNetAddress& router, databrowse::BrowseRequest& request, TConsoleResult& result,
                      const std::function<void(size_t)>& progress);
    // `agent`: the peer the Hubmaster browses for it, when the router named it ("": not known here), so
    // that a silence names that peer.
    int throughHubmaster(const TZyNetAddress& hubmaster, databrowse::BrowseRequest& request,
                         TConsoleResult& result, const std::function<void(size_t)>& progress,
                         const std::string& agent = {});
    int follow(CNMessageBase& prepared, TConsoleResult& result, const std::function<void(size_t)>& progress);
    // Takes the Hubmaster's road for a browse the media agent's road cannot serve (`why`, told on
    // standard error; `roadNote` for -v), for the commands that road offers; the others fail, `whyNot`.
    int throughHubmasterInstead(const std::string& why, const std::string& whyNot,
                                const std::string& roadNote, TConsoleResult& result,
                                const std::function<void(size_t)>& progress, const std::string& agent = {});
    // Adds the answers `peer` sends until the end; a silence or a broken session sets the error, naming
    // `who`, or for a silence `silent` when given (the peer that `peer` waits on).
    void readAnswers(CZyNetwork& peer, const std::string& who, TConsoleResult& result,
                     const std::function<void(size_t)>& progress, const std::string& silent = {});

    TConsoleOptions m_options;
    std::string m_hubmasterProgram;
    const CHubClock& m_clock;
    std::string m_road;
    std::map<long long, std::string> m_findClients;  // subclient id -> its client, as a find's request says
    bool m_authorityMissing = false;
    bool m_tokenFromEnvironment = false;               // no --ca, $BROWSE_CA, default file, --data or --tls
    std::function<void(const std::string&)> m_remark;  // the console's remarks: standard error
    // What --timeout gives the command (set as it starts): every session of it, those of the exchanges
    // it makes with other sessions of its own included, ends its waits by then.
    zynet::Deadline m_deadline = zynet::Deadline::max();
    std::function<void(databrowse::BrowseRequest&)> m_requestEditor;
    // The command's exchanges with the Hubmaster, shared by every exchange of it (see setExchangeFault).
    struct TExchanges {
        int made = 0;
        std::function<bool(int)> fail;
    };
    std::shared_ptr<TExchanges> m_exchanges = std::make_shared<TExchanges>();
};

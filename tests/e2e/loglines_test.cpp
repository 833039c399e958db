// Nothing a caller sends can begin or imitate a log line: every text field of every request the console
// builds (session id, token, paths, client, subclient and backup-set names and GUIDs, the user, find
// patterns, mailbox, OneDrive and VM paths), one at a time, carries a forged line after a line break or
// another control, to BrowseRouter (as a console without a certificate and as a client machine), to the
// Hubmaster's own browse service and to the media agent's index service; the console itself runs with
// such options. Afterwards every line of every log of every process (the host's, the media agents',
// the console's, the agent's journals and progress lines) is one line with its own prefix, and the forged
// line is found only inside an escaped field.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "platform/log/logtext.h"
#include "platform/msg/msg_field.h"
#include "platform/net/zynetwork.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/log/logline.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tools/browse/consoleoptions.h"

namespace {

// A line as the log writes it, after each kind of break a caller might send before it.
constexpr const char* kForged = "2026-12-11 00:00:02.000000 7095 1 FORGEDTAG 0 FORGED";
const std::vector<std::string> kBreaks{"\n",   "\r",       "\r\n",         "\x0B",         "\x0C",
                                       "\x1E", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9", "\x7F\xFF\n"};

std::string forged(const std::string& was, size_t n) {
    return was + kBreaks[n % kBreaks.size()] + kForged + std::to_string(n) + "]";
}

// Each text a message holds (fields, list entries, those of its children), in one order.
void textsOf(CNMessageBase& message, std::vector<std::string*>& texts) {
    for (size_t n = 0; n < message.fieldCount(); ++n) {
        CNMessageField& f = message.fieldAt(n);
        if (f.kind == MsgFieldKind::Str) texts.push_back(&f.text);
        if (f.kind == MsgFieldKind::Obj && f.child) textsOf(*f.child, texts);
        if (f.kind == MsgFieldKind::StrList)
            for (std::string& s : f.list().strings) texts.push_back(&s);
        if (f.kind == MsgFieldKind::ObjList)
            for (CNMessageBase& child : f.list().objects) textsOf(child, texts);
    }
}

// Sends `message` to `service` at `port` as `name`, and reads until an end, an error, a prepared request
// or a few seconds of silence; what comes back is not judged here.
void ask(CNMessageBase& message, const char* service, const std::string& name, int port) {
    CZyNetwork session;
    bool timedOut = false;
    if (session.Connect(TZyNetAddress{"127.0.0.1", port}, service, name.c_str(), 10, timedOut).IsError() ||
        session.SendXMLMessage(message, 0, 10, timedOut).IsError())
        return;
    for (;;) {
        CNMessageBase* received = nullptr;
        ignoreResult(session.ReceiveXMLMessage(nullptr, received, nullptr, 0, 3, timedOut),
                     "no answer ends the loop next");
        std::unique_ptr<CNMessageBase> answer(received);
        auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get());
        if (!response) break;
        const int64_t type = response->getint64(databrowse::BrowseResponse::f::respType);
        if (type == 3 || type == 5) break;
    }
    ignoreResult(session.Disconnect(5, timedOut), "the session ends either way");
}

databrowse::BrowseRequest request(const std::string& words) {
    std::vector<std::string> parts{"browse"};
    std::istringstream in(words);
    for (std::string w; in >> w;) parts.push_back(w);
    std::vector<char*> argv;
    for (std::string& w : parts) argv.push_back(w.data());
    TConsoleOptions options;
    std::string error;
    EXPECT_TRUE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    return buildConsoleRequest(options);
}

// Each line of `text` (a log file's, a journal's, a program's output) is one line of its own: for a log,
// one the parser takes whose tag is its own; for the others, one in the escaped form. The forged line is
// found only right after an escape, the log's or a character reference of a request's XML that a line
// quotes; `found` counts it.
void expectLinesOfTheirOwn(const std::string& text, bool log, const std::string& where, size_t& found) {
    EXPECT_TRUE(text.empty() || text.back() == '\n') << where;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) {
        hubtest::ParsedLine parsed;
        EXPECT_TRUE(log ? hubtest::parseLine(line, &parsed) && parsed.tag != "FORGEDTAG"
                        : logtext::unescape(line, parsed.original) && std::isalpha(line[0]))
            << where << ": " << line;
        for (size_t at = line.find(kForged); at != std::string::npos;
             at = line.find(kForged, at + 1), ++found)
            EXPECT_TRUE(at >= 4 && (line[at - 1] == ';' ||
                                    (line.compare(at - 4, 2, "\\x") == 0 && std::isxdigit(line[at - 1]))))
                << where << ": " << line;
    }
}

TEST(LogLines, NoCallerFieldBeginsOrImitatesALineInAnyProcesssLog) {
    TempDir dir;
    hubdemo::DemoWorld w;
    ASSERT_EQ(hubtest::demoWorldIn(dir.file("demo"), w), "");
    auto agent =
        hubtest::startDemoAgent(w, "mediaagent1", dir.file("mediaagent1.db"), dir.path(),
                                {"--index-service", "started", "--progress", "1", "--journal",
                                 dir.file("agent.journal"), "--mining-journal", dir.file("mining.journal")});
    auto legacyAgent = hubtest::startDemoAgent(w, "mediaagent3", dir.file("mediaagent3.db"), dir.path());
    int hostPort = 0;
    auto host = hubtest::startDemoHost(w, dir.file("demo"), hostPort);
    const std::string token = hubtest::issueToken(dir.file("demo"), "admin");
    auto name = [&](int client) {
        return hubtest::queryText(w.databasePath,
                                  "SELECT name FROM APP_Client WHERE id = " + std::to_string(client));
    };
    const std::string last = std::to_string(w.firstBackupTime + 86400LL * w.backupDays);
    const std::string file = "--client client1 --subclient " + std::to_string(w.fileSubclient);
    const std::string at = " --at " + last + " --token " + token;
    const std::vector<std::string> kinds{
        "list " + file + " --path \\d00" + at,
        "versions " + file + " --path \\d00 --from " + std::to_string(w.firstBackupTime) + " --to " + last +
            " --token " + token,
        "count " + file + at,
        "find " + file + " --name f0* --page-size 5 --page 2" + at,
        "media " + file + at,
        "stop --session held-one --token " + token,
        "erase " + file + " --path /d00/f0=10 --dry-run" + at,
        "find --clients client1,client2 --name f0*" + at,
        "list --client exchmb1 --subclient " + std::to_string(w.apps.mailboxSubclient) +
            " --app-type 54 --path \\MB\\" + w.apps.ownerGuid + at,
        "list --client onedrive1 --subclient " + std::to_string(w.apps.oneDriveV1Subclient) +
            " --app-type 134 --path \\OneDrive\\" + w.apps.oneDriveEmail + at,
        "list --client " + name(w.vsa.client) + " --subclient " + std::to_string(w.vsa.subclient) +
            " --path \\" + w.vsa.vms.front().guid + at,
        "list --client " + name(w.legacy.client) + " --subclient " + std::to_string(w.legacy.subclient) +
            " --path \\" + at,
    };
    // Each request with one of its texts forged (those the console fills, then those it leaves out: the
    // user, the entity's other names and GUIDs), by each road.
    const int agentPort = static_cast<int>(agent->numberAfter(hubtest::kAgentListening));
    const std::vector<std::tuple<const char*, std::string, int>> roads{
        {"BrowseRouter", hubtest::kAnonymous, hostPort},
        {"BrowseRouter", "client1", hostPort},
        {"HubmasterBrowse", hubtest::kAnonymous, hostPort},
        {"IndexingService_0", hubtest::kAnonymous, agentPort}};
    std::vector<CNMessageBase> sends;
    size_t n = 0;
    using E = ZyEntities::GenericEntity::f;
    for (const std::string& words : kinds) {
        databrowse::BrowseRequest base = request(words);
        std::vector<std::string*> texts;
        textsOf(base, texts);
        for (size_t t = 0; t < texts.size() + 5; ++t) {
            databrowse::BrowseRequest one = base;
            std::vector<std::string*> its;
            textsOf(one, its);
            if (t < its.size())
                *its[t] = forged(*its[t], n++);
            else if (t == its.size())
                one.setstring(databrowse::BrowseRequest::f::userName, forged("admin", n++));
            else
                one.getObjectAccessor(databrowse::BrowseRequest::f::entity, true)
                    ->setstring(std::vector{E::subclientName, E::instanceName, E::backupsetGUID,
                                            E::subclientGUID}[t - its.size() - 1],
                                forged("", n++));
            sends.push_back(one);
        }
    }
    // An index service's own request: its session, user and media agent.
    Indexing::BrowseReq stop;
    stop.setint64(Indexing::BrowseReq::f::options, Indexing::kBrowseReqStopOptions);
    stop.setstring(Indexing::BrowseReq::f::browseSessionGuid, forged("held-two", n++));
    stop.setstring(Indexing::BrowseReq::f::userText, forged("1", n++));
    stop.setstring(Indexing::BrowseReq::f::maName, forged("mediaagent1", n++));
    sends.push_back(stop);
    std::atomic<size_t> next{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&] {
            for (size_t k; (k = next++) < sends.size() * roads.size();) {
                const auto& [service, as, port] = roads[k % roads.size()];
                ask(sends[k / roads.size()], service, as, port);
            }
        });
    for (std::thread& t : senders) t.join();
    // The console with such options, by both roads (it refuses some itself, which it may log).
    for (const char* via : {"", " --via hubmaster"})
        for (const std::string& options : {"list " + file + " --session '" + forged("nl", n++) + "'",
                                           "list " + file + " --path '" + forged("\\d00", n++) + "'",
                                           "find " + file + " --name '" + forged("f0*", n++) + "'",
                                           "list --client '" + forged("client1", n++) + "' --subclient 1"})
            hubtest::runConsole(hubtest::binaryDir() + "/tools/browse/browse " + options + via + at +
                                    " --data " + dir.file("demo") +
                                    " --ma-host 127.0.0.1 --quiet --timeout 30",
                                dir.file("err"));

    // Every line of every process, its last ones too: the processes stop first.
    for (auto* process : {host.get(), agent.get(), legacyAgent.get()}) EXPECT_EQ(process->stop(), 0);
    size_t inLogs = 0, inHostLog = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        const std::string fileName = entry.path().filename().string();
        const bool log = fileName.find(".log") != std::string::npos;
        if (!entry.is_regular_file() || (!log && fileName.find(".journal") == std::string::npos)) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        size_t found = 0;
        expectLinesOfTheirOwn(std::string(std::istreambuf_iterator<char>(in), {}), log, entry.path(), found);
        inLogs += found;
        if (fileName.rfind("hubmaster.log", 0) == 0) inHostLog += found;
    }
    for (const auto* process : {agent.get(), legacyAgent.get()})
        expectLinesOfTheirOwn(process->output(), false, "a media agent's output", inLogs);
    // The walk reached the logs: the host's names forged fields of requests on both of its roads.
    EXPECT_GT(inHostLog, 10u);
    EXPECT_GT(inLogs, inHostLog);
}

}  // namespace

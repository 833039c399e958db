// CConsoleSession: one console command against a Hubmaster. It obtains a token (or uses the one given),
// sends the command's databrowse::BrowseRequest to "BrowseRouter", takes the one reply, and when the
// reply is a prepared request sends it to the media agent it names ("IndexingService_0") and reads the
// answers back on that connection. With --via hubmaster the request goes to the Hubmaster's own browse
// service instead, which browses (an older media agent over the classic protocol included) and streams
// the answers back; an erase lists its items through the router, then has the Hubmaster make the erase
// task. One object per command, on the console's thread.
#pragma once

#include <functional>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consoleoutput.h"

class CConsoleSession {
public:
    static constexpr const char* kIndexService = "IndexingService_0";
    // Where the host program writes its router's address in the data folder's registry.
    static constexpr const char* kRegistrySection = "~Hubmaster";
    static constexpr const char* kRouterHostKey = "sBrowseRouterHost";
    static constexpr const char* kRouterPortKey = "nBrowseRouterPort";

    // `hubmasterProgram`: the host program that issues tokens for --user ("" : none).
    CConsoleSession(TConsoleOptions options, std::string hubmasterProgram);

    // Runs the command. 0 when the browse answered without error; 1 otherwise, with result.error set.
    // `progress` is told the number of items received so far after each answer of a media agent.
    int run(TConsoleResult& result, const std::function<void(size_t)>& progress = {});

    // The media agent a prepared request names ("" when it names none).
    static std::string mediaAgentOf(CNMessageBase& prepared);

private:
    bool prepare(std::string& error);
    // Installs the console's credentials (see TConsoleOptions::tlsFolder).
    bool secure(std::string& error);
    bool obtainToken(std::string& error);
    bool routerAddress(TZyNetAddress& address, std::string& error);
    int throughRouter(const TZyNetAddress& router, databrowse::BrowseRequest& request, TConsoleResult& result,
                      const std::function<void(size_t)>& progress);
    int throughHubmaster(const TZyNetAddress& hubmaster, databrowse::BrowseRequest& request,
                         TConsoleResult& result, const std::function<void(size_t)>& progress);
    int follow(CNMessageBase& prepared, TConsoleResult& result, const std::function<void(size_t)>& progress);
    // Adds the answers `peer` sends until the end; a silence or a broken session sets the error.
    void readAnswers(CZyNetwork& peer, const std::string& who, TConsoleResult& result,
                     const std::function<void(size_t)>& progress);

    TConsoleOptions m_options;
    std::string m_hubmasterProgram;
};

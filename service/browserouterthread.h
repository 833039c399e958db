// CBrowseRouterThreadHM: the service's network face. Its thread serves the network server
// "BrowseRouter" (consoles' browse requests, media agents' answers); the server's own threads call the
// two callbacks, several at once. Start, terminate and join belong to start-up and clean-up.
#pragma once

#include <memory>
#include <string>

#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/osthread.h"

class CBrowseRouterThreadHM : public OSThread {
public:
    static constexpr const char* kServerName = "BrowseRouter";

    // Creates the server behind this machine's listener; nothing listens until run.
    CBrowseRouterThreadHM();
    // Stops the server when it still serves and joins the thread.
    ~CBrowseRouterThreadHM() override;

    // Serves the server until terminate.
    void* run(void* arg) override;
    // Quits the server: no new connection, every session closed and its thread joined; run returns.
    void terminate();

    CZyNetworkServer* getSessionServer() const { return m_server.get(); }
    std::string getRouterName() const { return m_serverName; }

    static void browseRouterCallBackXDR(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                        long long handle, unsigned long messageType, zysDatabuf_v2* data);
    // Owns `message` and deletes it before returning (also when its session cannot be acquired).
    // Dispatches by tag: disconnects and aborts answered, media-agent answers relayed, the two
    // media-prediction conversions answered; a browse request this router does not serve gets the
    // common error reply; anything else is dropped without a reply.
    static void browseRouterCallBackXML(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                        long long handle, CNMessageBase* message);
    // Media-agent answers, read for the relay: served as above, with the text they came in.
    static void browseRouterCallBackRelay(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                          long long handle, zynet::TReceivedXml& received);

    // Relays one media agent's answer to the registered worker named in it, under the worker's lock
    // (service/browserelay.cpp). An answer whose worker is unknown, being deleted, or of another
    // browse session is dropped and logged. `oldProtocol`: items go as classic BrowseItems.
    // `peer`: the proven client name of the session it came on ("" for an anonymous caller); only a
    // media agent the worker asked may answer it. `connection`: the router connection it came on (the
    // answer streams follow which connections carry answers under way). `received`: the text the answer
    // came in, forwarded as it is when the relay changes nothing (taken, not copied, with where its items
    // lie); when it was skimmed, the items of its list were left out of `response` (read again from the
    // text where the relay rewrites it).
    static void relayBrowseResponse(databrowse::BrowseResponse& response, bool oldProtocol,
                                    const std::string& peer, long long connection,
                                    zynet::TReceivedXml* received = nullptr);

    // The mailbox GUID of a mailbox path ("/MB/<guid>/..." or "\\MB\\<guid>\\..."); empty otherwise.
    static std::string getMbGuidFromPath(const std::string& path);

private:
    // The XML callbacks' one body: `received` is the relay's read of an answer (null for other messages).
    static void serveXml(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                         std::unique_ptr<CNMessageBase> owned, zynet::TReceivedXml* received);
    std::string m_serverName = kServerName;
    std::unique_ptr<CZyNetworkServer> m_server;
};

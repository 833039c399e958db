// Test support: a loopback server (port chosen by the system) that answers the opening like a
// listener and then plays a script of frames, usually a media agent's side. Build the script,
// start(), run the code under test on the test's thread, then finish() and read failures().
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net/net_frame_link.h"

namespace hubtest {

struct TPeerIdentity {
    std::string clientName = "scripted-peer";
    unsigned protocolVersion = 4098;
    std::string service;  // the service an opening must name; empty: any
};

class CScriptedPeer {
public:
    explicit CScriptedPeer(TPeerIdentity identity = TPeerIdentity());
    ~CScriptedPeer();

    CScriptedPeer& expect(zynet::FrameKind kind, uint32_t code);
    CScriptedPeer& expectXdr(uint32_t code) { return expect(zynet::FrameKind::Xdr, code); }
    CScriptedPeer& expectXml(uint32_t tag) { return expect(zynet::FrameKind::Xml, tag); }
    CScriptedPeer& send(zynet::FrameKind kind, uint32_t code, std::vector<uint8_t> payload);
    CScriptedPeer& sendXdr(uint32_t code, std::vector<uint8_t> payload = {});
    CScriptedPeer& sendXml(uint32_t tag, const std::string& xml);
    CScriptedPeer& sendRaw(std::vector<uint8_t> bytes);  // any bytes, garbage included
    CScriptedPeer& close();                              // ends the connection at once
    CScriptedPeer& waitForClose();                       // waits (up to 20 s) for the other side to end it

    // Listens and plays the script on `connections` connections, one after the other.
    void start(int connections = 1);
    int port() const { return m_port; }
    // The peer's address as sessions name it: "127.0.0.1*<client>*<service number>*<port>".
    std::string mangledName(int serviceNumber = 0) const;

    // Waits for the script to end on every connection; false when it did not within the time.
    bool finish(int seconds = 20);
    std::vector<std::string> failures() const;
    std::vector<TRawFrame> received() const;  // frames matched by expect steps, in order
    std::string openingService() const;       // what the last opening named
    std::string openingClient() const;

private:
    struct TStep {
        enum Kind { Expect, Send, SendRaw, Close, WaitForClose } kind;
        zynet::FrameKind frameKind = zynet::FrameKind::Xdr;
        uint32_t code = 0;
        std::vector<uint8_t> bytes;
    };

    void run(int connections);
    bool playOpening(CFrameLink& link);
    void play(CFrameLink& link);
    void fail(const std::string& what);

    TPeerIdentity m_identity;
    std::vector<TStep> m_steps;  // fixed once started
    zynet::CSocket m_listener;
    int m_port = 0;
    std::thread m_thread;

    mutable std::mutex m_mutex;  // guards the fields below
    std::vector<std::string> m_failures;
    std::vector<TRawFrame> m_received;
    std::string m_openingService;
    std::string m_openingClient;
    bool m_done = false;
    std::condition_variable m_ended;  // m_done was set
};

}  // namespace hubtest

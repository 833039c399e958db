#include "tests/support/net/net_scripted_peer.h"

#include <poll.h>

#include <chrono>

#include "platform/restoreproto/fsr_messages.h"

namespace hubtest {

CScriptedPeer::CScriptedPeer(TPeerIdentity identity) : m_identity(std::move(identity)) {
    std::string why;
    m_listener = zynet::CSocket::listenOn("127.0.0.1", 0, m_port, why);
    if (!m_listener.valid()) fail("cannot listen: " + why);
}

CScriptedPeer::~CScriptedPeer() {
    if (m_thread.joinable()) {
        m_listener.shutdownBoth();
        m_thread.join();
    }
}

CScriptedPeer& CScriptedPeer::expect(zynet::FrameKind kind, uint32_t code) {
    m_steps.push_back({TStep::Expect, kind, code, {}});
    return *this;
}

CScriptedPeer& CScriptedPeer::send(zynet::FrameKind kind, uint32_t code, std::vector<uint8_t> payload) {
    m_steps.push_back({TStep::Send, kind, code, std::move(payload)});
    return *this;
}

CScriptedPeer& CScriptedPeer::sendXdr(uint32_t code, std::vector<uint8_t> payload) {
    return send(zynet::FrameKind::Xdr, code, std::move(payload));
}

CScriptedPeer& CScriptedPeer::sendXml(uint32_t tag, const std::string& xml) {
    return send(zynet::FrameKind::Xml, tag, std::vector<uint8_t>(xml.begin(), xml.end()));
}

CScriptedPeer& CScriptedPeer::sendRaw(std::vector<uint8_t> bytes) {
    m_steps.push_back({TStep::SendRaw, zynet::FrameKind::Xdr, 0, std::move(bytes)});
    return *this;
}

CScriptedPeer& CScriptedPeer::close() {
    m_steps.push_back({TStep::Close, zynet::FrameKind::Xdr, 0, {}});
    return *this;
}

CScriptedPeer& CScriptedPeer::waitForClose() {
    m_steps.push_back({TStep::WaitForClose, zynet::FrameKind::Xdr, 0, {}});
    return *this;
}

void CScriptedPeer::start(int connections) {
    m_thread = std::thread(&CScriptedPeer::run, this, connections);
}

std::string CScriptedPeer::mangledName(int serviceNumber) const {
    return "127.0.0.1*" + m_identity.clientName + "*" + std::to_string(serviceNumber) + "*" +
           std::to_string(m_port);
}

void CScriptedPeer::fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures.push_back(what);
}

bool CScriptedPeer::finish(int seconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_ended.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; });
}

std::vector<std::string> CScriptedPeer::failures() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failures;
}

std::vector<TRawFrame> CScriptedPeer::received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::string CScriptedPeer::openingService() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openingService;
}

std::string CScriptedPeer::openingClient() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openingClient;
}

void CScriptedPeer::run(int connections) {
    for (int i = 0; i < connections; ++i) {
        pollfd p{m_listener.fd(), POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            fail("no connection came");
            break;
        }
        CFrameLink link(m_listener.acceptOne());
        if (!link.valid() || !link.serve(20, m_identity.clientName)) {
            fail("accept failed");
            break;
        }
        if (playOpening(link)) play(link);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_ended.notify_all();
}

bool CScriptedPeer::playOpening(CFrameLink& link) {
    TRawFrame hello;
    std::string why;
    if (!link.receive(hello, 20, why)) {
        fail("no opening: " + why);
        return false;
    }
    TZynHello opening;
    fsr::CArena arena;
    if (hello.kind != zynet::FrameKind::Control || hello.code != zynet::kHello ||
        fsr::decodeRecord(fsr::LayoutOf<TZynHello>::layout, hello.payload.data(), hello.payload.size(), arena,
                          &opening) != fsr::Status::Ok) {
        fail("the first frame is not an opening");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_openingService = opening.service;
        m_openingClient = opening.clientName;
    }
    if (!m_identity.service.empty() && m_identity.service != opening.service) {
        TZynRefusal refusal;
        refusal.code = -1;
        refusal.reason = "no such service";
        link.send(zynet::FrameKind::Control, zynet::kRefused,
                  zynet::encodeRecordBytes(fsr::LayoutOf<TZynRefusal>::layout, &refusal));
        return false;
    }
    TZynWelcome welcome;
    welcome.protocolVersion = m_identity.protocolVersion;
    welcome.clientName = m_identity.clientName.c_str();
    welcome.hostName = "127.0.0.1";
    return link.send(zynet::FrameKind::Control, zynet::kWelcome,
                     zynet::encodeRecordBytes(fsr::LayoutOf<TZynWelcome>::layout, &welcome));
}

void CScriptedPeer::play(CFrameLink& link) {
    for (size_t n = 0; n < m_steps.size(); ++n) {
        const TStep& step = m_steps[n];
        const std::string where = "step " + std::to_string(n) + ": ";
        switch (step.kind) {
            case TStep::Expect: {
                TRawFrame frame;
                std::string why;
                if (!link.receive(frame, 20, why)) {
                    fail(where + "expected " + ZYS_FileSystemRestore_PM_STRING(step.code) + ", got " + why);
                    return;
                }
                if (frame.kind != step.frameKind || frame.code != step.code) {
                    fail(where + "expected " + ZYS_FileSystemRestore_PM_STRING(step.code) + ", got " +
                         ZYS_FileSystemRestore_PM_STRING(frame.code));
                    return;
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.push_back(std::move(frame));
                break;
            }
            case TStep::Send:
                if (!link.send(step.frameKind, step.code, step.bytes)) {
                    fail(where + "send failed");
                    return;
                }
                break;
            case TStep::SendRaw:
                if (!link.sendRaw(step.bytes)) {
                    fail(where + "raw send failed");
                    return;
                }
                break;
            case TStep::Close:
                link.close();
                return;
            case TStep::WaitForClose:
                if (!link.waitForClose(20)) fail(where + "the other side did not close");
                return;
        }
    }
}

}  // namespace hubtest

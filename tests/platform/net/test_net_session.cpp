// A session (CZyNetwork) against a scripted media agent on loopback: the classic browse exchange,
// receive buffers, time-outs, peers that vanish or send what they should not, the disconnect and
// abort exchanges, and XML messages.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/log/evdebug.h"
#include "platform/msg/cnmessagebase.h"
#include "platform/msg/msg_registry.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "tests/support/net/net_records.h"
#include "tests/support/net/net_reserved_port.h"
#include "tests/support/net/net_scripted_peer.h"

namespace {

using hubtest::CScriptedPeer;
using zynet::FrameKind;

constexpr uint32_t kBrowseRequestTag = 0x644c8485;

class NetSession : public ::testing::Test {
protected:
    void TearDown() override { setZyNetOptions(TZyNetOptions()); }

    std::unique_ptr<CZyNetwork> open(CScriptedPeer& peer, const char* service = "8") {
        auto session = std::make_unique<CZyNetwork>();
        bool timedOut = true;
        CUxError error = session->Connect(peer.mangledName(8).c_str(), service, "hubmaster", 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_FALSE(timedOut);
        return session;
    }

    static void expectPeerDone(CScriptedPeer& peer) {
        EXPECT_TRUE(peer.finish());
        EXPECT_EQ(peer.failures(), std::vector<std::string>());
    }

    static std::vector<uint8_t> userIdBytes(uint64_t id) {
        FSROriginatedUserId user;
        user.userId = id;
        return hubtest::encodeMessage(FSR_MSG_ORIGINATED_USER_ID, user);
    }
    // Wraps the caller's own memory in `buffer` and receives the user-id record that a peer sends
    // first; the record is then held by `buffer`.
    static void receiveUserId(CZyNetwork& session, zysDatabuf_v2& buffer, void* own, size_t ownSize,
                              uint64_t id) {
        buffer.setExternalBuffer(own, ownSize);
        unsigned long code = 0;
        bool timedOut = false;
        ASSERT_FALSE(session.ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut).IsError());
        ASSERT_FALSE(timedOut);
        ASSERT_EQ(code, FSR_MSG_ORIGINATED_USER_ID);
        ASSERT_EQ(reinterpret_cast<const FSROriginatedUserId*>(buffer.getDataBuffer())->userId, id);
    }

    // Sends a record under its code.
    template <class T>
    static CUxError sendRecord(CZyNetwork& session, unsigned long code, T& record) {
        zysDatabuf_v2 buffer;
        buffer.setExternalBuffer(&record, sizeof(record));
        bool timedOut = false;
        return session.SendXDRMessage(code, &buffer, 0, -1, timedOut);
    }
};

// Half of a frame, then the rest: for receives that must wait inside a frame.
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> splitFrame(uint32_t code,
                                                                 const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> whole = zynet::buildFrame(FrameKind::Xdr, code, payload.data(), payload.size());
    const size_t half = whole.size() / 2;
    return {std::vector<uint8_t>(whole.begin(), whole.begin() + half),
            std::vector<uint8_t>(whole.begin() + half, whole.end())};
}

TEST_F(NetSession, ClassicBrowseExchangeWithEveryItemLayout) {
    const fsr::TMessage& items90 = *fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90);
    const fsr::TMessage& items80 = *fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_80);
    const fsr::TMessage& item56 = *fsr::findMessage(FSR_MSG_RESTORE_ITEM);
    const fsr::TMessage& predictions = *fsr::findMessage(FSR_MSG_PREDICTION_ITEM_ARRAY);
    hubtest::TFilledMessage sent90, sent80, sent56, sentPredictions;
    hubtest::fillMessage(items90, 25, 1, sent90);
    hubtest::fillMessage(items80, 4, 2, sent80);
    hubtest::fillMessage(item56, 1, 3, sent56);
    hubtest::fillMessage(predictions, 2, 4, sentPredictions);

    CScriptedPeer peer(hubtest::TPeerIdentity{"ma-classic", 4097, "8"});
    peer.expectXdr(ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097)
        .expectXdr(FSR_MSG_SRC_PATH)
        .expectXdr(FSR_MSG_SRC_PATH)
        .expectXdr(FSR_MSG_ORIGINATED_USER_ID)
        .expectXdr(FSR_MSG_CLIENT_NAME)
        .sendXdr(
            FSR_MSG_RESTORE_ITEM_ARRAY_90,
            hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90, sent90.record.data(), sent90.record.size()))
        .sendXdr(
            FSR_MSG_RESTORE_ITEM_ARRAY_80,
            hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM_ARRAY_80, sent80.record.data(), sent80.record.size()))
        .sendXdr(FSR_MSG_RESTORE_ITEM,
                 hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM, sent56.record.data(), sent56.record.size()))
        .sendXdr(FSR_MSG_PREDICTION_ITEM_ARRAY,
                 hubtest::encodeMessage(FSR_MSG_PREDICTION_ITEM_ARRAY, sentPredictions.record.data(),
                                        sentPredictions.record.size()))
        .sendXdr(FSR_MSG_RESTORE_END)
        .waitForClose();
    peer.start();

    auto session = open(peer);
    unsigned int version = 0;
    ASSERT_FALSE(session->GetProtocolVersion(version).IsError());
    EXPECT_EQ(version, 4097u);
    CUxString name;
    ASSERT_FALSE(session->GetRemoteClientName(name).IsError());
    EXPECT_STREQ(name.c_str(), "ma-classic");
    CUxString peerName;
    ASSERT_FALSE(session->GetPeerName(peerName).IsError());
    EXPECT_STREQ(peerName.c_str(), "127.0.0.1");
    EXPECT_EQ(peer.openingService(), "8");
    EXPECT_EQ(peer.openingClient(), "hubmaster");

    auto request = std::make_unique<FSRLegacyBrowseRequest>();
    std::strcpy(request->browsePath, "\\data\\*");
    request->field3 = 0x400;
    request->text11 = "eleven";
    ASSERT_FALSE(sendRecord(*session, ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097, *request).IsError());
    const std::string firstPath = std::string("/home") + '\x12' + "second part";
    FSRSrcPath paths[2];
    paths[0].path = firstPath.c_str();
    paths[1].pathIndex = 1;
    paths[1].path = "/var";
    for (FSRSrcPath& path : paths) ASSERT_FALSE(sendRecord(*session, FSR_MSG_SRC_PATH, path).IsError());
    FSROriginatedUserId user;
    user.userId = 77;
    ASSERT_FALSE(sendRecord(*session, FSR_MSG_ORIGINATED_USER_ID, user).IsError());
    FSRClasterClientName client;
    ASSERT_TRUE(fsr::setClientName(client, "client-a"));
    ASSERT_FALSE(sendRecord(*session, FSR_MSG_CLIENT_NAME, client).IsError());

    // Receive as the worker does: a small buffer of its own, one-second waits, until the end.
    unsigned char small[128] = {};
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(small, sizeof(small));
    std::vector<unsigned long> codes;
    for (unsigned long code = 0; code != FSR_MSG_RESTORE_END;) {
        bool timedOut = false;
        CUxError error = session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut);
        ASSERT_FALSE(error.IsError()) << error.AsString();
        if (timedOut) continue;
        codes.push_back(code);
        const fsr::TMessage* message = fsr::findMessage(code);
        ASSERT_NE(message, nullptr);
        const hubtest::TFilledMessage* expected = code == FSR_MSG_RESTORE_ITEM_ARRAY_90   ? &sent90
                                                  : code == FSR_MSG_RESTORE_ITEM_ARRAY_80 ? &sent80
                                                  : code == FSR_MSG_RESTORE_ITEM          ? &sent56
                                                  : code == FSR_MSG_PREDICTION_ITEM_ARRAY ? &sentPredictions
                                                                                          : nullptr;
        if (expected) {
            EXPECT_EQ(hubtest::compareMessage(*message, *expected, buffer.getDataBuffer()), "");
        }
        ignoreResult(session->FreeReceivedMessage(code, &buffer), "it only gives the buffer back");
    }
    EXPECT_EQ(codes, (std::vector<unsigned long>{FSR_MSG_RESTORE_ITEM_ARRAY_90, FSR_MSG_RESTORE_ITEM_ARRAY_80,
                                                 FSR_MSG_RESTORE_ITEM, FSR_MSG_PREDICTION_ITEM_ARRAY,
                                                 FSR_MSG_RESTORE_END}));
    session.reset();
    expectPeerDone(peer);

    // What the media agent read is what was sent.
    const std::vector<hubtest::TRawFrame> got = peer.received();
    ASSERT_EQ(got.size(), 5u);
    fsr::CArena arena;
    FSRLegacyBrowseRequest readRequest;
    ASSERT_EQ(fsr::decodeRecord(fsr::LayoutOf<FSRLegacyBrowseRequest>::layout, got[0].payload.data(),
                                got[0].payload.size(), arena, &readRequest),
              fsr::Status::Ok);
    EXPECT_EQ(
        hubtest::compareRecords(fsr::LayoutOf<FSRLegacyBrowseRequest>::layout, request.get(), &readRequest),
        "");
    FSRSrcPath readPath;
    ASSERT_EQ(fsr::decodeRecord(fsr::LayoutOf<FSRSrcPath>::layout, got[1].payload.data(),
                                got[1].payload.size(), arena, &readPath),
              fsr::Status::Ok);
    EXPECT_EQ(std::string(readPath.path), firstPath);
    FSRClasterClientName readClient;
    ASSERT_EQ(fsr::decodeRecord(fsr::LayoutOf<FSRClasterClientName>::layout, got[4].payload.data(),
                                got[4].payload.size(), arena, &readClient),
              fsr::Status::Ok);
    EXPECT_STREQ(readClient.name, "client-a");
}

TEST_F(NetSession, ReceiveNeverWritesIntoTheCallersBuffer) {
    const std::string longName(600, 'n');
    FSRRestoreItem_90 item;
    item.name = longName.c_str();
    item.size = 5;
    CScriptedPeer peer;
    peer.sendXdr(FSR_MSG_RESTORE_ITEM_90, hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM_90, item))
        .waitForClose();
    peer.start();
    auto session = open(peer);

    unsigned char memory[256];
    std::memset(memory, 0xA5, sizeof(memory));
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(memory + 64, 128);
    unsigned long code = 0;
    bool timedOut = false;
    do {
        ASSERT_FALSE(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut).IsError());
    } while (timedOut);
    ASSERT_EQ(code, FSR_MSG_RESTORE_ITEM_90);
    for (unsigned char byte : memory) ASSERT_EQ(byte, 0xA5);
    ASSERT_NE(buffer.getDataBuffer(), memory + 64);
    const auto* received = reinterpret_cast<const FSRRestoreItem_90*>(buffer.getDataBuffer());
    EXPECT_EQ(std::string(received->name), longName);
    EXPECT_EQ(received->size, 5u);
    ASSERT_FALSE(session->FreeReceivedMessage(code, &buffer).IsError());
    EXPECT_EQ(buffer.getDataBuffer(), memory + 64);
    session.reset();
    expectPeerDone(peer);
}

TEST_F(NetSession, ATimeOutKeepsWhatArrivedOfAFrame) {
    FSROriginatedUserId user;
    user.userId = 0x1122334455667788ull;
    const auto [head, tail] =
        splitFrame(FSR_MSG_ORIGINATED_USER_ID, hubtest::encodeMessage(FSR_MSG_ORIGINATED_USER_ID, user));
    CScriptedPeer peer;
    // The rest of the frame comes only after the session has given up waiting once.
    peer.sendRaw(head).expectXdr(FSR_MSG_RESTORE_END).sendRaw(tail).waitForClose();
    peer.start();
    auto session = open(peer);

    zysDatabuf_v2 buffer;
    unsigned long code = 99;
    bool timedOut = false;
    CUxError error = session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut);
    EXPECT_FALSE(error.IsError());  // a time-out is not a failure
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(session->IsConnected());

    bool sendTimedOut = false;
    ASSERT_FALSE(session->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 10, sendTimedOut).IsError());
    zysHostProtocolHeader header;
    do {
        ASSERT_FALSE(session->ReceiveXDRMessage(&code, &buffer, &header, 0, 5, timedOut).IsError());
    } while (timedOut);
    EXPECT_EQ(code, FSR_MSG_ORIGINATED_USER_ID);
    EXPECT_EQ(header.messageCode, FSR_MSG_ORIGINATED_USER_ID);
    EXPECT_EQ(header.kind, 2u);
    EXPECT_EQ(reinterpret_cast<const FSROriginatedUserId*>(buffer.getDataBuffer())->userId, user.userId);
    session.reset();
    expectPeerDone(peer);
}

TEST_F(NetSession, APeerLeavingIsReportedAsSuchNeverAsSuccess) {
    FSRRestoreItem_90 item;
    const auto [head, tail] =
        splitFrame(FSR_MSG_RESTORE_ITEM_90, hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM_90, item));
    (void)tail;
    CScriptedPeer peer;
    peer.sendRaw(head).close();  // gone inside a frame
    peer.start();
    auto session = open(peer);

    zysDatabuf_v2 buffer;
    unsigned long code = 0;
    bool timedOut = true;
    CUxError error = session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_DISCONNECTED);
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(session->IsConnected());
    EXPECT_NE(session->GetLastErrorGenericText().find("inside a frame"), std::string::npos);
    EXPECT_EQ(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut).GetErrorCode(),
              ZYNET_E_NOT_CONNECTED);
    expectPeerDone(peer);

    // Between frames too.
    CScriptedPeer quiet;
    quiet.close();
    quiet.start();
    auto other = open(quiet);
    EXPECT_EQ(other->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut).GetErrorCode(),
              ZYNET_E_DISCONNECTED);
    expectPeerDone(quiet);
}

TEST_F(NetSession, APeerStoppingInsideAFrameIsGivenUpOn) {
    TZyNetOptions options;
    options.stallSeconds = 1;
    setZyNetOptions(options);
    FSRRestoreItem_90 item;
    const auto [head, tail] =
        splitFrame(FSR_MSG_RESTORE_ITEM_90, hubtest::encodeMessage(FSR_MSG_RESTORE_ITEM_90, item));
    (void)tail;
    CScriptedPeer peer;
    peer.sendRaw(head).waitForClose();
    peer.start();
    auto session = open(peer);
    zysDatabuf_v2 buffer;
    unsigned long code = 0;
    bool timedOut = false;
    CUxError error = session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, -1, timedOut);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_DISCONNECTED);
    EXPECT_FALSE(timedOut);
    expectPeerDone(peer);  // and the peer saw the session close
}

TEST_F(NetSession, BadFramesCloseTheSession) {
    struct TCase {
        const char* what;
        std::vector<uint8_t> bytes;
        int error;
    };
    std::vector<uint8_t> oversize = zynet::buildFrame(FrameKind::Xdr, FSR_MSG_RESTORE_ITEM_90, nullptr, 0);
    oversize[13] = 0x10;  // claims 1 MiB against a 64 KiB limit
    const std::string http = "GET / HTTP/1.0\r\n\r\n";
    const uint8_t three[] = {1, 2, 3};
    std::vector<TCase> cases = {
        {"oversize", oversize, ZYNET_E_FRAME_TOO_LARGE},
        {"garbage", std::vector<uint8_t>(http.begin(), http.end()), ZYNET_E_BAD_FRAME},
        {"short record", zynet::buildFrame(FrameKind::Xdr, FSR_MSG_RESTORE_ITEM_90, three, 3),
         ZYNET_E_BAD_PAYLOAD},
        {"opening again", zynet::buildFrame(FrameKind::Control, zynet::kHello, nullptr, 0),
         ZYNET_E_BAD_FRAME},
    };
    TZyNetOptions options;
    options.maxFrameBytes = 64 * 1024;
    setZyNetOptions(options);
    for (const TCase& c : cases) {
        CScriptedPeer peer;
        peer.sendRaw(c.bytes).waitForClose();
        peer.start();
        auto session = open(peer);
        zysDatabuf_v2 buffer;
        unsigned long code = 0;
        bool timedOut = false;
        CUxError error;
        do {
            error = session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut);
        } while (timedOut && !error.IsError());
        EXPECT_EQ(error.GetErrorCode(), c.error) << c.what;
        EXPECT_FALSE(session->IsConnected()) << c.what;
        expectPeerDone(peer);
    }
}

TEST_F(NetSession, DisconnectExchanges) {
    {  // the media agent asks; the session answers
        CScriptedPeer peer;
        peer.sendXdr(ZYS_PM_DISCONNECT_REQ).expectXdr(ZYS_PM_DISCONNECT_REPLY).waitForClose();
        peer.start();
        auto session = open(peer);
        zysDatabuf_v2 buffer;
        unsigned long code = 0;
        bool timedOut = false;
        do {
            ASSERT_FALSE(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut).IsError());
        } while (timedOut);
        ASSERT_EQ(code, ZYS_PM_DISCONNECT_REQ);
        ASSERT_FALSE(session->ReplyDisconnect("ma", 120, timedOut).IsError());
        EXPECT_FALSE(session->IsConnected());
        session.reset();
        expectPeerDone(peer);
    }
    {  // the session asks and waits for the answer
        CScriptedPeer peer;
        peer.expectXdr(ZYS_PM_DISCONNECT_REQ)
            .sendXdr(FSR_MSG_RESTORE_END)
            .sendXdr(ZYS_PM_DISCONNECT_REPLY)
            .waitForClose();
        peer.start();
        auto session = open(peer);
        bool timedOut = true;
        CUxError error = session->Disconnect(10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_FALSE(timedOut);
        EXPECT_FALSE(session->IsConnected());
        expectPeerDone(peer);
    }
    {  // a peer that just leaves is as good as one that answers
        CScriptedPeer peer;
        peer.expectXdr(ZYS_PM_DISCONNECT_REQ).close();
        peer.start();
        auto session = open(peer);
        bool timedOut = true;
        EXPECT_FALSE(session->Disconnect(10, timedOut).IsError());
        expectPeerDone(peer);
    }
    {  // an abort carries its status
        CScriptedPeer peer;
        peer.expectXdr(ZYS_PM_ABORT_REQ).waitForClose();
        peer.start();
        auto session = open(peer);
        zysStatus status;
        status.kind = 2;
        bool timedOut = false;
        ASSERT_FALSE(session->AbortConnection(status, 30, timedOut).IsError());
        EXPECT_FALSE(session->IsConnected());
        session.reset();
        expectPeerDone(peer);
        const auto got = peer.received();
        ASSERT_EQ(got.size(), 1u);
        zysStatus read;
        fsr::CArena arena;
        ASSERT_EQ(fsr::decodeRecord(fsr::LayoutOf<zysStatus>::layout, got[0].payload.data(),
                                    got[0].payload.size(), arena, &read),
                  fsr::Status::Ok);
        EXPECT_EQ(read.kind, 2);
    }
}

TEST_F(NetSession, OpeningsThatFail) {
    CScriptedPeer peer(hubtest::TPeerIdentity{"ma-idx", 4098, "IndexingService_0"});
    peer.start();
    CZyNetwork refused;
    bool timedOut = false;
    CUxError error = refused.Connect(peer.mangledName().c_str(), "8", "hubmaster", 10, timedOut);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_REFUSED);
    EXPECT_NE(refused.GetLastErrorGenericText().find("no such service"), std::string::npos);
    EXPECT_FALSE(refused.IsConnected());
    EXPECT_TRUE(peer.finish());
    unsigned int version = 0;

    CZyNetwork nowhere;
    EXPECT_EQ(nowhere.Connect("no-such-client", "8", "hm", 10, timedOut).GetErrorCode(),
              ZYNET_E_UNKNOWN_HOST);
    EXPECT_TRUE(nowhere.GetProtocolVersion(version).IsError());
    hubtest::CReservedPort held;  // a port nobody listens on, and nobody can start to meanwhile
    const int port = held.port();
    ASSERT_NE(port, 0);
    CZyNetwork closedPort;
    EXPECT_EQ(closedPort.Connect(("127.0.0.1*c*0*" + std::to_string(port)).c_str(), "8", "hm", 10, timedOut)
                  .GetErrorCode(),
              ZYNET_E_CONNECT);
    CZyNetwork once;
    EXPECT_EQ(once.SendXMLMessage(1, "<a/>", 0, 1, timedOut).GetErrorCode(), ZYNET_E_NOT_CONNECTED);
}

TEST_F(NetSession, XmlMessagesBothWays) {
    std::unique_ptr<CNMessageBase> request(CNMessageRegistry::instance().create(kBrowseRequestTag));
    ASSERT_NE(request, nullptr);
    std::string requestXml;
    ASSERT_EQ(request->serialize(requestXml), 0);

    CScriptedPeer peer;
    peer.expectXml(kBrowseRequestTag)
        .expectXml(0x0A0B0C0D)
        .sendXml(kBrowseRequestTag, requestXml)
        .sendXml(0x0A0B0C0D, "<just text>")
        .sendXml(kBrowseRequestTag, "<not-xml")
        .waitForClose();
    peer.start();
    auto session = open(peer);
    bool timedOut = false;
    ASSERT_FALSE(session->SendXMLMessage(request.get(), 0, 120, timedOut).IsError());
    ASSERT_FALSE(session->SendXMLMessage(0x0A0B0C0D, "<raw/>", 0, 120, timedOut).IsError());

    unsigned long code = 0;
    CNMessageBase* message = nullptr;
    ASSERT_FALSE(session->ReceiveXMLMessage(&code, message, nullptr, 0, 10, timedOut).IsError());
    ASSERT_FALSE(timedOut);
    std::unique_ptr<CNMessageBase> owned(message);
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(owned->getTagID(), kBrowseRequestTag);
    std::string text;
    ASSERT_FALSE(session->ReceiveXMLMessage(&code, text, nullptr, 0, 10, timedOut).IsError());
    EXPECT_EQ(text, "<just text>");
    EXPECT_EQ(code, 0x0A0B0C0Du);

    // XML that does not parse ends the session.
    EXPECT_EQ(session->ReceiveXMLMessage(&code, message, nullptr, 0, 10, timedOut).GetErrorCode(),
              ZYNET_E_BAD_PAYLOAD);
    EXPECT_EQ(message, nullptr);
    EXPECT_FALSE(session->IsConnected());
    expectPeerDone(peer);

    const auto got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::string(got[0].payload.begin(), got[0].payload.end()), requestXml);
    EXPECT_EQ(std::string(got[1].payload.begin(), got[1].payload.end()), "<raw/>");
}

// Both receives report a time-out alike: the flag, success, nothing received, the session going on;
// the XDR buffer no longer shows the record of the receive before.
TEST_F(NetSession, ATimeOutIsTheFlagWithSuccessAndAnEmptyBuffer) {
    CScriptedPeer peer;
    peer.sendXdr(FSR_MSG_ORIGINATED_USER_ID, userIdBytes(4242))
        .expectXdr(FSR_MSG_RESTORE_END)  // sent once the receives below have timed out
        .sendXml(0x0A0B0C0D, "<late/>")
        .waitForClose();
    peer.start();
    auto session = open(peer);

    unsigned char own[64] = {};
    zysDatabuf_v2 buffer;
    receiveUserId(*session, buffer, own, sizeof(own), 4242);

    // No FreeReceivedMessage: the caller goes straight on to the next receive, as a loop does.
    unsigned long code = 0;
    bool timedOut = false;
    zysHostProtocolHeader header;
    CUxError error = session->ReceiveXDRMessage(&code, &buffer, &header, 0, 1, timedOut);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(header.messageCode, 0u);
    EXPECT_EQ(buffer.getDataBuffer(), own);
    EXPECT_EQ(buffer.getDataSize(), sizeof(own));

    std::unique_ptr<CNMessageBase> earlier(CNMessageRegistry::instance().create(kBrowseRequestTag));
    CNMessageBase* message = earlier.get();  // must come back null
    code = 7;
    error = session->ReceiveXMLMessage(&code, message, nullptr, 0, 1, timedOut);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(code, 0u);
    std::string text = "stale";
    EXPECT_FALSE(session->ReceiveXMLMessage(&code, text, nullptr, 0, 1, timedOut).IsError());
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(text, "");
    ASSERT_TRUE(session->IsConnected());

    bool sendTimedOut = false;
    ASSERT_FALSE(session->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 10, sendTimedOut).IsError());
    ASSERT_FALSE(session->ReceiveXMLMessage(&code, text, nullptr, 0, 10, timedOut).IsError());
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(text, "<late/>");
    session.reset();
    expectPeerDone(peer);
}

// A message of the kind not awaited cannot be handed back: the receive fails and the session closes
// (the peer sees it go), whichever way round.
TEST_F(NetSession, AMessageOfTheOtherKindClosesTheSession) {
    {  // XML where XDR is awaited
        CScriptedPeer peer;
        peer.sendXdr(FSR_MSG_ORIGINATED_USER_ID, userIdBytes(1))
            .sendXml(kBrowseRequestTag, "<BrowseRequest/>")
            .waitForClose();
        peer.start();
        auto session = open(peer);
        unsigned char own[16] = {};
        zysDatabuf_v2 buffer;
        receiveUserId(*session, buffer, own, sizeof(own), 1);
        unsigned long code = 0;
        bool timedOut = false;
        EXPECT_EQ(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut).GetErrorCode(),
                  ZYNET_E_UNEXPECTED_KIND);
        EXPECT_FALSE(timedOut);
        EXPECT_EQ(code, kBrowseRequestTag);  // told, for the log line
        EXPECT_EQ(buffer.getDataBuffer(), own);
        EXPECT_FALSE(session->IsConnected());
        expectPeerDone(peer);
    }
    {  // XDR where XML is awaited
        CScriptedPeer peer;
        peer.sendXdr(FSR_MSG_RESTORE_END).waitForClose();
        peer.start();
        auto session = open(peer);
        unsigned long code = 0;
        bool timedOut = false;
        CNMessageBase* message = nullptr;
        EXPECT_EQ(session->ReceiveXMLMessage(&code, message, nullptr, 0, 10, timedOut).GetErrorCode(),
                  ZYNET_E_UNEXPECTED_KIND);
        EXPECT_EQ(code, FSR_MSG_RESTORE_END);
        EXPECT_EQ(message, nullptr);
        EXPECT_FALSE(session->IsConnected());
        EXPECT_NE(session->GetLastErrorGenericText().find("FSR_MSG_RESTORE_END"), std::string::npos)
            << session->GetLastErrorGenericText();
        expectPeerDone(peer);
    }
    {  // a peer's goodbye where XML is awaited: the session ends as a disconnect, no error line
        const std::string logFile = EvDebugFileInstance::defaultInstance()->filePath();
        auto logged = [&] {
            std::ifstream in(logFile);
            return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        };
        const size_t before = logged().size();
        CScriptedPeer peer;
        peer.sendXdr(ZYS_PM_DISCONNECT_REQ).waitForClose();
        peer.start();
        auto session = open(peer);
        bool timedOut = false;
        CNMessageBase* message = nullptr;
        EXPECT_EQ(session->ReceiveXMLMessage(nullptr, message, nullptr, 0, 10, timedOut).GetErrorCode(),
                  ZYNET_E_DISCONNECTED);
        EXPECT_EQ(message, nullptr);
        EXPECT_FALSE(session->IsConnected());
        expectPeerDone(peer);
        const std::string after = logged().substr(std::min(before, logged().size()));
        EXPECT_EQ(after.find("ZYNET -1"), std::string::npos) << after;
    }
}

TEST_F(NetSession, CodesOutsideTheTableCarryTheirBytes) {
    const std::vector<uint8_t> bytes = {9, 8, 7, 6, 5};
    CScriptedPeer peer;
    peer.expectXdr(0x22000001).sendXdr(0x22000002, bytes).waitForClose();
    peer.start();
    auto session = open(peer);
    uint8_t out[3] = {1, 2, 3};
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(out, sizeof(out));
    bool timedOut = false;
    ASSERT_FALSE(session->SendXDRMessage(0x22000001, &buffer, 0, 10, timedOut).IsError());
    unsigned long code = 0;
    do {
        ASSERT_FALSE(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut).IsError());
    } while (timedOut);
    EXPECT_EQ(code, 0x22000002u);
    ASSERT_EQ(buffer.getDataSize(), bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.getDataBuffer(), buffer.getDataBuffer() + bytes.size()), bytes);
    session.reset();
    expectPeerDone(peer);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].payload, std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(NetSession, ARecordThatCannotBeSentIsRefusedBeforeAnyByteGoesOut) {
    CScriptedPeer peer;
    peer.expectXdr(FSR_MSG_RESTORE_END).waitForClose();
    peer.start();
    auto session = open(peer);
    FSRClasterClientName name;
    std::memset(name.name, 'x', sizeof(name.name));
    EXPECT_EQ(sendRecord(*session, FSR_MSG_CLIENT_NAME, name).GetErrorCode(), ZYNET_E_BAD_RECORD);
    bool timedOut = false;
    EXPECT_EQ(session->SendXDRMessage(FSR_MSG_CLIENT_NAME, nullptr, 0, 10, timedOut).GetErrorCode(),
              ZYNET_E_BAD_RECORD);
    EXPECT_TRUE(session->IsConnected());
    ASSERT_FALSE(session->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 10, timedOut).IsError());
    session.reset();
    expectPeerDone(peer);
}

}  // namespace

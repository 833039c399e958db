// The wire header and the frame assembler, and the naming of hosts: mangled names and the directory.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/xml_codec.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_frame.h"
#include "platform/net/zynet_xml.h"

namespace {

using zynet::FrameKind;
using zynet::FrameStatus;

std::vector<uint8_t> frameOf(FrameKind kind, uint32_t code, const std::string& payload) {
    return zynet::buildFrame(kind, code, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

TEST(NetFrame, HeaderIsCheckedBeforeThePayload) {
    std::vector<uint8_t> frame = frameOf(FrameKind::Xdr, 0x18000091, "abcd");
    zynet::TFrameHeader header;
    ASSERT_EQ(zynet::decodeHeader(frame.data(), 100, header), FrameStatus::Frame);
    EXPECT_EQ(header.kind, FrameKind::Xdr);
    EXPECT_EQ(header.code, 0x18000091u);
    EXPECT_EQ(header.length, 4u);
    EXPECT_EQ(zynet::decodeHeader(frame.data(), 3, header), FrameStatus::TooLarge);

    const struct {
        size_t at;
        uint8_t value;
        FrameStatus status;
    } faults[] = {{0, 'X', FrameStatus::BadMagic},
                  {5, 9, FrameStatus::BadVersion},
                  {6, 0, FrameStatus::BadKind},
                  {6, 4, FrameStatus::BadKind},
                  {7, 1, FrameStatus::BadKind}};
    for (const auto& fault : faults) {
        std::vector<uint8_t> bad = frame;
        bad[fault.at] = fault.value;
        EXPECT_EQ(zynet::decodeHeader(bad.data(), 100, header), fault.status) << fault.at;
    }
}

TEST(NetFrame, AssemblerCutsAStreamIntoFramesWhateverTheChunks) {
    std::vector<uint8_t> stream = frameOf(FrameKind::Xml, 1, "<a/>");
    const std::vector<uint8_t> second = frameOf(FrameKind::Xdr, 2, std::string(70000, 'z'));
    const std::vector<uint8_t> third = frameOf(FrameKind::Control, 3, "");
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.end());

    for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
        zynet::CFrameAssembler assembler(1 << 20);
        std::vector<std::pair<uint32_t, size_t>> seen;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            assembler.append(stream.data() + at, std::min(chunk, stream.size() - at));
            zynet::TFrame frame;
            while (assembler.next(frame) == FrameStatus::Frame) seen.emplace_back(frame.code, frame.length);
        }
        EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, size_t>>{{1, 4}, {2, 70000}, {3, 0}})) << chunk;
        EXPECT_FALSE(assembler.midFrame());
    }
}

TEST(NetFrame, AssemblerRefusesAClaimAboveTheLimitFromTheHeaderAlone) {
    std::vector<uint8_t> header = frameOf(FrameKind::Xdr, 1, "");
    header[12] = 0x7f;  // claims about 2 GB
    zynet::CFrameAssembler assembler(64 << 20);
    assembler.append(header.data(), header.size());
    zynet::TFrame frame;
    EXPECT_EQ(assembler.next(frame), FrameStatus::TooLarge);
    size_t room = 0;
    assembler.prepare(room);
    EXPECT_LE(room, size_t{1} << 20);  // never sized by the claim
}

TEST(NetNames, MangledHostNamesSplitAndJoin) {
    std::string host, client;
    int service = -1, port = -1;
    ASSERT_TRUE(DemangleHostName("ma1.lab*ma1*8*8400", host, client, service, port));
    EXPECT_EQ(host, "ma1.lab");
    EXPECT_EQ(client, "ma1");
    EXPECT_EQ(service, 8);
    EXPECT_EQ(port, 8400);

    ASSERT_TRUE(DemangleHostName("plainhost", host, client, service, port));
    EXPECT_EQ(client, "plainhost");  // a plain host name is its own client name
    EXPECT_EQ(service, 0);
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(DemangleHostName("h**3", host, client, service, port));
    EXPECT_EQ(client, "h");
    EXPECT_EQ(service, 3);

    for (const char* bad : {"", "*client", "h*c*x", "h*c*1*70000", "h*c*1*2*3", "h*c*-1", "h*c*1 "})
        EXPECT_FALSE(DemangleHostName(bad, host, client, service, port)) << bad;
    EXPECT_FALSE(DemangleHostName(static_cast<const char*>(nullptr), host, client, service, port));

    EXPECT_EQ(MangleHostName("h", "c"), "h*c");
    EXPECT_EQ(MangleHostName("h", "c", 8), "h*c*8");
    EXPECT_EQ(MangleHostName("h", "c", 0, 99), "h*c*0*99");
    EXPECT_EQ(MangleHostName("h*x", "c"), "");
    EXPECT_EQ(MangleHostName("h", ""), "");
}

TEST(NetNames, DirectoryPrefersPortThenRegistrationThenResolver) {
    CZyNetDirectory& directory = CZyNetDirectory::instance();
    directory.registerClient("reg-client", "10.0.0.5", 8400);
    directory.setResolver([](const std::string& name, TZyNetAddress& address) {
        if (name != "db-client" && name != "db-host") return false;
        address = TZyNetAddress{"db-host.lab", 8401};
        return true;
    });

    TZyNetAddress address;
    ASSERT_FALSE(directory.resolve("x*reg-client*0*9000", address).IsError());
    EXPECT_EQ(address.port, 9000);  // the name's own port wins
    ASSERT_FALSE(directory.resolve("x*reg-client", address).IsError());
    EXPECT_EQ(address.host, "10.0.0.5");
    ASSERT_FALSE(directory.resolve("reg-client", address).IsError());
    EXPECT_EQ(address.port, 8400);
    ASSERT_FALSE(directory.resolve("db-client", address).IsError());
    EXPECT_EQ(address.host, "db-host.lab");
    ASSERT_FALSE(directory.resolve("db-host*unknown", address).IsError());  // by host name after the client
    EXPECT_EQ(address.port, 8401);

    CUxError unknown = directory.resolve("nobody", address);
    EXPECT_EQ(unknown.GetErrorCode(), ZYNET_E_UNKNOWN_HOST);
    EXPECT_EQ(directory.resolve("bad*name*z", address).GetErrorCode(), ZYNET_E_UNKNOWN_HOST);

    directory.unregisterClient("reg-client");
    directory.setResolver(nullptr);
    EXPECT_TRUE(directory.resolve("reg-client", address).IsError());
}

}  // namespace

namespace {

// A relay's skimmed read leaves out only the list's items: what it reads is intact, and the text it
// forwards is the whole text as it came.
TEST(XmlSkim, LeavesOutOnlyTheListsItemsAndKeepsTheWholeText) {
    const zynet::TXmlSkim skim{databrowse::BrowseResponse::TAG,
                               databrowse::BrowseResponse::f::browseResult.code,
                               databrowse::BrowseResult::f::dataResultSet.code};
    databrowse::BrowseResponse answer;
    answer.setint64(databrowse::BrowseResponse::f::respType, 0);
    answer.setstring(databrowse::BrowseResponse::f::workerId, "w\t<7>");
    CNMessageBase* result = answer.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
    result->setstring(databrowse::BrowseResult::f::queryId, "q&1");
    std::vector<CNMessageBase> items(3, databrowse::BrowseData());
    result->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
    std::string xml, why;
    ASSERT_TRUE(zynet::messageToXml(answer, xml, why)) << why;

    zynet::TReceivedXml received;
    ASSERT_TRUE(
        zynet::messageFromXml(skim, reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), received, why))
        << why;
    std::unique_ptr<CNMessageBase> read = std::move(received.message);
    ASSERT_TRUE(read);
    EXPECT_TRUE(received.skimmed);
    EXPECT_EQ(received.text, xml);
    EXPECT_EQ(read->getstring(databrowse::BrowseResponse::f::workerId), "w\t<7>");
    CNMessageBase* readResult = read->getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    ASSERT_NE(readResult, nullptr);
    EXPECT_EQ(readResult->getstring(databrowse::BrowseResult::f::queryId), "q&1");
    EXPECT_EQ(readResult->getlistobject(databrowse::BrowseResult::f::dataResultSet, false), nullptr);
    // A reader that only counts the items is told how many were left out.
    std::unique_ptr<CNMessageBase> counted;
    size_t leftOut = 0;
    CNMessageRegistry& registry = CNMessageRegistry::instance();
    ASSERT_EQ(XMLDecoder().decodeLeavingOut(databrowse::BrowseResponse::TAG, xml.data(), xml.size(),
                                            registry.fieldName(skim.child), registry.fieldName(skim.list),
                                            counted, leftOut),
              MSG_OK);
    EXPECT_EQ(leftOut, items.size());
    // The items left out are still parsed: an answer whose items are not well formed is refused.
    std::string badItems = xml;
    badItems.insert(badItems.find("<dataResultSet"), "<dataResultSet a=\"1\">");
    EXPECT_FALSE(zynet::messageFromXml(skim, reinterpret_cast<const uint8_t*>(badItems.data()),
                                       badItems.size(), received, why));

    // Nothing to leave out: read whole, as any message. Text that does not parse is refused as ever.
    databrowse::BrowseResponse end;
    end.setint64(databrowse::BrowseResponse::f::respType, 5);
    ASSERT_TRUE(zynet::messageToXml(end, xml, why)) << why;
    ASSERT_TRUE(
        zynet::messageFromXml(skim, reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), received, why))
        << why;
    EXPECT_TRUE(received.message);
    EXPECT_FALSE(received.skimmed);
    EXPECT_EQ(received.text, xml);
    const std::string broken = "<BrowseResponse x.tag=\"1\"><browseResult>";
    EXPECT_FALSE(zynet::messageFromXml(skim, reinterpret_cast<const uint8_t*>(broken.data()), broken.size(),
                                       received, why));
}

}  // namespace

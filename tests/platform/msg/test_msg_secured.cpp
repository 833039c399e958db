// Signing a browse request for a media agent and checking it where it arrives, with the key from the
// registry or set by the host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/msg/xml_codec.h"

using BR = databrowse::BrowseRequest::f;
using SBR = databrowse::SecuredBrowseRequest::f;
using PAY = databrowse::Msg238::f;

namespace {

class SecuredMessages : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("msg-secured-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ZYPlatformInfo::setRegistryPath((dir_ / "registry.ini").string());
        ASSERT_TRUE(ZYPlatformInfo::setString(I2::SecuredMessageHandler::kKeySection,
                                              I2::SecuredMessageHandler::kKeyName,
                                              "registry-key-0123456789"));
        I2::SecuredMessageHandler::setSigningKey("");
    }
    void TearDown() override {
        I2::SecuredMessageHandler::setSigningKey("");
        ZYPlatformInfo::setRegistryPath("");
        std::filesystem::remove_all(dir_);
    }

    // An indexing-v1 request of a backup set, a path and an option.
    static Indexing::BrowseReq indexRequest() {
        using IR = Indexing::BrowseReq::f;
        Indexing::BrowseReq req;
        req.setstring(IR::backupsetGuid, "BACKUPSET-1");
        req.getliststring(IR::sourcePaths, true)->push_back("/home/alice");
        req.setint64(IR::options, 1);
        return req;
    }

    static databrowse::BrowseRequest request() {
        databrowse::BrowseRequest req;
        req.setint64(BR::opType, 0);
        req.getObjectAccessor(BR::session, true)
            ->setstring(databrowse::BrowseSession::f::sessionId, "SESSION-9");
        databrowse::BrowsePath p;
        p.setstring(databrowse::BrowsePath::f::path, "/home/alice");
        req.getlistobject(BR::paths, true)->push_back(p);
        CNMessageBase* range = req.getObjectAccessor(BR::timeRange, true);
        range->setint64(databrowse::BrowseTimeRange::f::fromTime, 100);
        range->setint64(databrowse::BrowseTimeRange::f::toTime, 200);
        req.getObjectAccessor(BR::mode, true)->setint64(databrowse::BrowseMode::f::mode, 2);
        req.setint64(BR::c_93ccff, 5);
        return req;
    }

    // The secured form as its builder makes it: session, encoded attributes, signature, and the
    // request's parts copied into the payload.
    static bool secure(databrowse::BrowseRequest& req, const std::string& client,
                       databrowse::SecuredBrowseRequest& out) {
        I2::SecuredMessageHandler handler;
        return handler.secureBrowseRequest(req, client, out);
    }

    // Signs the attributes again with another creation time, as a sender whose clock says `when` would.
    static void resign(databrowse::SecuredBrowseRequest& secured, int64_t when) {
        databrowse::SystemAttributes attributes;
        ASSERT_EQ(attributes.unserialize(secured.getpstringobject(SBR::systemAttributes)->str()), 0);
        attributes.setint64(databrowse::SystemAttributes::f::createTime, when);
        std::string encoded, signature;
        ASSERT_EQ(attributes.serialize(encoded), 0);
        I2::SecuredMessageHandler signer;
        ASSERT_TRUE(signer.generateSignature(encoded, signature));
        secured.setpstringobject(SBR::systemAttributes, bstring(encoded));
        secured.setpstringobject(SBR::signature, bstring(signature));
    }

    // The secured request after the wire, edited as text by whoever sits in between.
    static int openEdited(const databrowse::SecuredBrowseRequest& secured, const std::string& find,
                          const std::string& replace, databrowse::BrowseRequest& opened) {
        std::string xml;
        EXPECT_EQ(secured.serialize(xml), 0);
        size_t at = xml.find(find);
        EXPECT_NE(at, std::string::npos) << find;
        if (at == std::string::npos) return -1;
        xml.replace(at, find.size(), replace);
        databrowse::SecuredBrowseRequest received;
        EXPECT_EQ(received.unserialize(xml), 0) << xml;
        I2::SecuredMessageHandler checker;
        return checker.openSecuredBrowseRequest(received, opened, "client-A");
    }

    // The signed index request written with the text it was signed as, read back and opened as its
    // receiver opens it; the text written is left in `xml`.
    static int writeAndOpen(Indexing::SecuredBrowseReq& secured, const std::string& signedText,
                            Indexing::BrowseReq& opened, std::string& xml) {
        const CNMessageBase* payload =
            secured.getObjectAccessor(Indexing::SecuredBrowseReq::f::request, false);
        EXPECT_NE(payload, nullptr);
        if (payload == nullptr) return -1;
        EXPECT_EQ(XMLEncoder().serialize(secured, xml, TWrittenChild{payload, signedText}), MSG_OK);
        Indexing::SecuredBrowseReq received;
        EXPECT_EQ(received.unserialize(xml), 0) << xml;
        I2::SecuredMessageHandler checker;
        return checker.openSecuredIndexBrowseReq(received, opened, "hubmaster");
    }

    std::filesystem::path dir_;
};

}  // namespace

TEST_F(SecuredMessages, SignedRequestVerifiesAfterTheWire) {
    databrowse::BrowseRequest req = request();
    databrowse::SecuredBrowseRequest secured;
    ASSERT_TRUE(secure(req, "client-A", secured));
    CNMessageBase* payload = secured.getObjectAccessor(SBR::payload, false);
    ASSERT_NE(payload, nullptr);
    EXPECT_TRUE(payload->isSet(PAY::paths));
    EXPECT_EQ(payload->getint64(PAY::c_93ccff), 5);

    std::string xml;
    ASSERT_EQ(secured.serialize(xml), 0);
    EXPECT_EQ(xml.find("client-A"), std::string::npos);  // the attributes travel as a password field
    databrowse::SecuredBrowseRequest received;
    ASSERT_EQ(received.unserialize(xml), 0);

    I2::SecuredMessageHandler checker;
    databrowse::BrowseRequest opened;
    ASSERT_EQ(checker.openSecuredBrowseRequest(received, opened, "client-A"), I2::SECURED_OK);
    ASSERT_NE(checker.systemAttributes(), nullptr);
    EXPECT_EQ(checker.systemAttributes()->getstring(databrowse::SystemAttributes::f::clientName), "client-A");
    EXPECT_EQ((*opened.getlistobject(BR::paths, false))[0].getstring(databrowse::BrowsePath::f::path),
              "/home/alice");
    EXPECT_EQ(
        opened.getObjectAccessor(BR::session, false)->getstring(databrowse::BrowseSession::f::sessionId),
        "SESSION-9");
    EXPECT_EQ(checker.openSecuredBrowseRequest(received, opened, "client-B"), I2::SECURED_WRONG_CLIENT);
}

TEST_F(SecuredMessages, TamperingIsCaught) {
    databrowse::BrowseRequest req = request();
    databrowse::SecuredBrowseRequest secured;
    ASSERT_TRUE(secure(req, "client-A", secured));
    I2::SecuredMessageHandler checker;
    databrowse::BrowseRequest opened;

    databrowse::SecuredBrowseRequest changedPayload(secured);
    CNMessageBase* range =
        changedPayload.getObjectAccessor(SBR::payload, false)->getObjectAccessor(PAY::timeRange, false);
    range->setint64(databrowse::BrowseTimeRange::f::fromTime, 0);
    EXPECT_EQ(checker.openSecuredBrowseRequest(changedPayload, opened, ""), I2::SECURED_DIGEST_MISMATCH);

    databrowse::SecuredBrowseRequest changedAttributes(secured);
    std::string encoded = changedAttributes.getpstringobject(SBR::systemAttributes)->str();
    encoded.replace(encoded.find("client-A"), 8, "client-B");
    changedAttributes.setpstringobject(SBR::systemAttributes, bstring(encoded));
    EXPECT_EQ(checker.openSecuredBrowseRequest(changedAttributes, opened, ""), I2::SECURED_BAD_SIGNATURE);

    databrowse::SecuredBrowseRequest changedSignature(secured);
    std::string sig = changedSignature.getpstringobject(SBR::signature)->str();
    sig[0] = sig[0] == '0' ? '1' : '0';
    changedSignature.setpstringobject(SBR::signature, bstring(sig));
    EXPECT_EQ(checker.openSecuredBrowseRequest(changedSignature, opened, ""), I2::SECURED_BAD_SIGNATURE);

    databrowse::SecuredBrowseRequest bare;
    EXPECT_EQ(checker.openSecuredBrowseRequest(bare, opened, ""), I2::SECURED_NO_PAYLOAD);
    EXPECT_EQ(opened.fieldCount(), 0u);  // nothing is handed out from a failed check
}

// An indexing-v1 request travels whole under the signature: it opens as it was made, for its client,
// and any change to it or to the attributes is caught.
TEST_F(SecuredMessages, IndexRequestSignedWhole) {
    using IR = Indexing::BrowseReq::f;
    using SIR = Indexing::SecuredBrowseReq::f;
    Indexing::BrowseReq req = indexRequest();
    I2::SecuredMessageHandler signer;
    Indexing::SecuredBrowseReq secured;
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", secured));
    std::string xml;
    ASSERT_EQ(secured.serialize(xml), 0);
    Indexing::SecuredBrowseReq received;
    ASSERT_EQ(received.unserialize(xml), 0);

    I2::SecuredMessageHandler checker;
    Indexing::BrowseReq opened;
    ASSERT_EQ(checker.openSecuredIndexBrowseReq(received, opened, "hubmaster"), I2::SECURED_OK);
    EXPECT_EQ(opened.getstring(IR::backupsetGuid), "BACKUPSET-1");
    EXPECT_EQ(opened.getliststring(IR::sourcePaths, false)->front(), "/home/alice");
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(received, opened, "client1"), I2::SECURED_WRONG_CLIENT);

    Indexing::SecuredBrowseReq changed(received);
    changed.getObjectAccessor(SIR::request, false)->setstring(IR::backupsetGuid, "BACKUPSET-2");
    Indexing::BrowseReq untouched;
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(changed, untouched, "hubmaster"),
              I2::SECURED_DIGEST_MISMATCH);
    Indexing::SecuredBrowseReq added(received);
    added.getObjectAccessor(SIR::request, false)->setint64(IR::jobId, 7);
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(added, untouched, "hubmaster"), I2::SECURED_DIGEST_MISMATCH);
    Indexing::SecuredBrowseReq resigned(received);
    std::string sig = resigned.getpstringobject(SIR::signature)->str();
    sig[0] = sig[0] == '0' ? '1' : '0';
    resigned.setpstringobject(SIR::signature, bstring(sig));
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(resigned, untouched, "hubmaster"), I2::SECURED_BAD_SIGNATURE);
    EXPECT_EQ(untouched.fieldCount(), 0u);
}

// The digest is of the request's fields, not of the order they were set in or travel in: a request made
// in another order, whose fields the wire carries in yet another, opens; a field it does not declare
// still counts, wherever it comes.
TEST_F(SecuredMessages, TheDigestDoesNotDependOnTheOrderOfTheFields) {
    using IR = Indexing::BrowseReq::f;
    using SIR = Indexing::SecuredBrowseReq::f;
    Indexing::BrowseReq req;
    req.setint64(IR::options, 1);
    req.getliststring(IR::sourcePaths, true)->push_back("/home/alice");
    req.setstring(IR::backupsetGuid, "BACKUPSET-1");
    const uint32_t extra = msgNameCode("extraField");  // a field no class declares
    req.setint64(0, 0, 42, Indexing::BrowseReq::TAG, extra);
    req.setint64(IR::jobId, 7);
    I2::SecuredMessageHandler signer;
    Indexing::SecuredBrowseReq secured;
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", secured));
    std::string xml;
    ASSERT_EQ(secured.serialize(xml), 0);
    // Whoever relays it may write the request's attributes in another order.
    const std::string options = " options=\"1\"", job = " jobId=\"7\"";
    ASSERT_NE(xml.find(options), std::string::npos) << xml;
    ASSERT_NE(xml.find(job), std::string::npos) << xml;
    std::string moved = xml;
    moved.erase(moved.find(options), options.size());
    moved.insert(moved.find(job) + job.size(), options);
    ASSERT_NE(moved, xml);
    I2::SecuredMessageHandler checker;
    Indexing::BrowseReq opened;
    Indexing::SecuredBrowseReq received;
    ASSERT_EQ(received.unserialize(moved), 0) << moved;
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(received, opened, "hubmaster"), I2::SECURED_OK);

    Indexing::SecuredBrowseReq changedUndeclared(received);
    changedUndeclared.getObjectAccessor(SIR::request, false)
        ->setint64(0, 0, 43, Indexing::BrowseReq::TAG, extra);
    Indexing::BrowseReq untouched;
    EXPECT_EQ(checker.openSecuredIndexBrowseReq(changedUndeclared, untouched, "hubmaster"),
              I2::SECURED_DIGEST_MISMATCH);
}

// A request put in declared order is written once for its signature: the text handed back is the one it is
// written as (so the sender's log line needs no other), and none is handed back for a request written
// otherwise (out of order, or holding a password field, which the digest writes in another form).
TEST_F(SecuredMessages, ARequestInDeclaredOrderIsWrittenOnceForItsSignature) {
    using IR = Indexing::BrowseReq::f;
    Indexing::BrowseReq req;
    req.setint64(IR::jobId, 7);
    req.getliststring(IR::sourcePaths, true)->push_back("/home/alice");
    req.setstring(IR::backupsetGuid, "BACKUPSET-1");
    I2::SecuredMessageHandler signer;
    Indexing::SecuredBrowseReq secured;
    std::string text = "stale";
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", secured, &text));
    EXPECT_TRUE(text.empty()) << "its fields were set out of order";

    std::vector<uint32_t> order;
    EXPECT_TRUE(req.declaredFieldOrder(order));
    req.putInDeclaredOrder();
    EXPECT_FALSE(req.declaredFieldOrder(order));
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", secured, &text));
    std::string written;
    ASSERT_EQ(req.serialize(written), 0);
    EXPECT_EQ(text, written);
    EXPECT_EQ(req.getstring(IR::backupsetGuid), "BACKUPSET-1");
    EXPECT_EQ(req.getint64(IR::jobId), 7);

    Indexing::BrowseReq withSecret = req;
    withSecret.setpstringobject(0, 0, bstring("secret"), 1, Indexing::BrowseReq::TAG, msgNameCode("aSecret"));
    withSecret.putInDeclaredOrder();
    ASSERT_TRUE(signer.secureIndexBrowseReq(withSecret, "hubmaster", secured, &text));
    EXPECT_TRUE(text.empty()) << "a password field is digested in another form than it is written";
}

// Signed by taking the request's own fields, the secured request is the one signed from a copy: it opens
// for its client, written from the text it was signed as; a request that cannot be signed is left whole.
// A field added after the request was put in order is seen: the request is out of order again.
TEST_F(SecuredMessages, ARequestSignedByTakingItsFieldsIsTheOneSignedFromACopy) {
    using IR = Indexing::BrowseReq::f;
    using SIR = Indexing::SecuredBrowseReq::f;
    Indexing::BrowseReq req = indexRequest();
    req.putInDeclaredOrder();
    std::vector<uint32_t> order;
    EXPECT_FALSE(req.declaredFieldOrder(order));
    req.setint64(IR::requestNumber, 3);  // declared before the others
    EXPECT_TRUE(req.declaredFieldOrder(order));
    req.putInDeclaredOrder();
    EXPECT_FALSE(req.declaredFieldOrder(order));

    I2::SecuredMessageHandler signer;
    Indexing::SecuredBrowseReq copied, taken;
    std::string copiedText, takenText;
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", copied, &copiedText));
    Indexing::BrowseReq own = req;
    ASSERT_TRUE(signer.secureIndexBrowseReq(std::move(own), "hubmaster", taken, &takenText));
    EXPECT_EQ(own.fieldCount(), 0u);
    ASSERT_FALSE(takenText.empty());
    EXPECT_EQ(takenText, copiedText);
    const CNMessageBase* payload = taken.getObjectAccessor(SIR::request, false);
    ASSERT_NE(payload, nullptr);
    std::string payloadText;
    ASSERT_EQ(payload->serialize(payloadText), 0);
    EXPECT_EQ(payloadText, takenText);
    std::string xml;
    Indexing::BrowseReq opened;
    ASSERT_EQ(writeAndOpen(taken, takenText, opened, xml), I2::SECURED_OK);
    EXPECT_EQ(opened.getstring(IR::backupsetGuid), "BACKUPSET-1");
    EXPECT_EQ(opened.getint64(IR::requestNumber), 3);

    ASSERT_TRUE(ZYPlatformInfo::setString(I2::SecuredMessageHandler::kKeySection,
                                          I2::SecuredMessageHandler::kKeyName, ""));
    Indexing::BrowseReq notSigned = req;
    Indexing::SecuredBrowseReq none;
    EXPECT_FALSE(signer.secureIndexBrowseReq(std::move(notSigned), "hubmaster", none, &takenText));
    EXPECT_EQ(notSigned.fieldCount(), req.fieldCount());
    EXPECT_EQ(notSigned.getstring(IR::backupsetGuid), "BACKUPSET-1");
    EXPECT_EQ(none.fieldCount(), 0u);
}

// The signed request is written with its payload taken from the text it was signed as: the same text
// as written whole, which its receiver opens. A text that is not that object's (another class's, cut short)
// is passed over, the object written again; so is one for an object the message
// does not hold.
TEST_F(SecuredMessages, ASignedRequestIsWrittenWithTheTextItWasSignedAs) {
    using IR = Indexing::BrowseReq::f;
    using SIR = Indexing::SecuredBrowseReq::f;
    Indexing::BrowseReq req;
    req.setint64(IR::jobId, 7);
    req.getliststring(IR::sourcePaths, true)->push_back("/home/alice & <bob>");
    req.setstring(IR::backupsetGuid, "BACKUPSET-1");
    req.putInDeclaredOrder();
    I2::SecuredMessageHandler signer;
    Indexing::SecuredBrowseReq secured;
    std::string signedText;
    ASSERT_TRUE(signer.secureIndexBrowseReq(req, "hubmaster", secured, &signedText));
    ASSERT_FALSE(signedText.empty());
    const CNMessageBase* payload = secured.getObjectAccessor(SIR::request, false);
    ASSERT_NE(payload, nullptr);

    // The enciphered attributes and signature are written afresh each time: the texts agree before them.
    const auto request = [](const std::string& text) {
        return text.substr(0, text.find("<systemAttributes"));
    };
    std::string whole, spliced;
    ASSERT_EQ(XMLEncoder().serialize(secured, whole), MSG_OK);
    Indexing::BrowseReq opened;
    EXPECT_EQ(writeAndOpen(secured, signedText, opened, spliced), I2::SECURED_OK);
    EXPECT_EQ(request(spliced), request(whole));
    EXPECT_EQ(spliced.size(), whole.size());
    EXPECT_EQ(opened.getstring(IR::backupsetGuid), "BACKUPSET-1");

    // An empty object's text (one element, no content) is taken as well.
    Indexing::SecuredBrowseReq bare;
    bare.setObjectAccessor(Indexing::BrowseReq(), SIR::request);
    const CNMessageBase* empty = bare.getObjectAccessor(SIR::request, false);
    std::string emptyText, bareWhole, bareSpliced;
    ASSERT_EQ(XMLEncoder().serialize(*empty, emptyText), MSG_OK);
    ASSERT_EQ(emptyText.substr(emptyText.size() - 2), "/>");
    ASSERT_EQ(XMLEncoder().serialize(bare, bareWhole), MSG_OK);
    ASSERT_EQ(XMLEncoder().serialize(bare, bareSpliced, TWrittenChild{empty, emptyText}), MSG_OK);
    EXPECT_EQ(bareSpliced, bareWhole);
    EXPECT_NE(bareSpliced.find("<request "), std::string::npos) << bareSpliced;

    // Each a text that would show (BACKUPSET-2) were it taken.
    std::string other = signedText;
    other.replace(other.find("BACKUPSET-1"), 11, "BACKUPSET-2");
    const std::string otherClass = "<Other" + other.substr(other.find(' '));
    // The texts are kept here: a written child only points at its text.
    struct TOffered {
        const char* what;
        const CNMessageBase* object;
        std::string text;
    };
    const std::vector<TOffered> passedOver = {
        {"another class's text", payload, otherClass},
        {"a text cut short", payload, other.substr(0, other.size() - 3)},
        {"a text without its start", payload, other.substr(1)},
        {"an empty text", payload, ""},
        {"an object the message does not hold", &req, other},
    };
    for (const TOffered& offered : passedOver) {
        std::string out;
        ASSERT_EQ(XMLEncoder().serialize(secured, out, TWrittenChild{offered.object, offered.text}), MSG_OK)
            << offered.what;
        EXPECT_EQ(request(out), request(whole)) << offered.what;
    }
    std::string taken;
    ASSERT_EQ(XMLEncoder().serialize(secured, taken, TWrittenChild{payload, other}), MSG_OK);
    EXPECT_NE(request(taken).find("BACKUPSET-2"), std::string::npos) << "the text of that object is taken";
}

TEST_F(SecuredMessages, KeyComesFromTheRegistryOrTheHost) {
    I2::SecuredMessageHandler handler;
    std::string text = "attributes", fromRegistry, fromHost, again;
    ASSERT_TRUE(handler.generateSignature(text, fromRegistry));
    EXPECT_EQ(fromRegistry.size(), 64u);
    EXPECT_TRUE(handler.verifySignature(text, fromRegistry));

    I2::SecuredMessageHandler::setSigningKey("host-key-abcdefghijkl");
    ASSERT_TRUE(handler.generateSignature(text, fromHost));
    EXPECT_NE(fromHost, fromRegistry);
    EXPECT_FALSE(handler.verifySignature(text, fromRegistry));
    I2::SecuredMessageHandler::setSigningKey("");
    ASSERT_TRUE(handler.generateSignature(text, again));
    EXPECT_EQ(again, fromRegistry);

    // no key, or one too short to be a key: nothing is signed and nothing verifies
    ASSERT_TRUE(ZYPlatformInfo::setString(I2::SecuredMessageHandler::kKeySection,
                                          I2::SecuredMessageHandler::kKeyName, "short"));
    std::string none;
    EXPECT_FALSE(handler.generateSignature(text, none));
    EXPECT_FALSE(handler.verifySignature(text, fromRegistry));
    databrowse::BrowseRequest req = request();
    databrowse::Msg238 payload;
    EXPECT_EQ(handler.checkSystemAttributes(text, fromRegistry, nullptr, payload, ""), I2::SECURED_NO_KEY);
    std::string empty;
    EXPECT_FALSE(handler.generateSignature(empty, none));
    std::string client = "c";
    EXPECT_EQ(handler.encodeSystemAttributes(nullptr, client), "");
}

TEST_F(SecuredMessages, SessionAndWholePayloadAreSigned) {
    databrowse::BrowseRequest req = request();
    databrowse::SecuredBrowseRequest secured;
    ASSERT_TRUE(secure(req, "client-A", secured));
    databrowse::BrowseRequest opened;
    ASSERT_EQ(openEdited(secured, "SESSION-9", "SESSION-9", opened), I2::SECURED_OK);

    // another session id, or the session dropped
    EXPECT_EQ(openEdited(secured, "SESSION-9", "SESSION-7", opened), I2::SECURED_DIGEST_MISMATCH);
    std::string xml;
    ASSERT_EQ(secured.serialize(xml), 0);
    size_t from = xml.find("<session"), to = xml.find("/>", from) + 2;
    EXPECT_EQ(openEdited(secured, xml.substr(from, to - from), "", opened), I2::SECURED_DIGEST_MISMATCH);

    // an entity slipped inside the payload, where the opener would copy it into the request
    ZyEntities::GenericEntity entity;
    entity.setint64(ZyEntities::GenericEntity::f::subclientId, 666);
    std::string entityXml;
    ASSERT_EQ(entity.serialize(entityXml), 0);
    entityXml.replace(1, std::string("GenericEntity").size(), "entity");
    entityXml.replace(entityXml.size() - 2, 2, "></entity>");
    const std::string payloadEnd = "</payload>";
    EXPECT_EQ(openEdited(secured, payloadEnd, entityXml + payloadEnd, opened), I2::SECURED_DIGEST_MISMATCH);
    EXPECT_EQ(openEdited(secured, "<payload x.tag=\"", "<payload opType=\"3\" x.tag=\"", opened),
              I2::SECURED_DIGEST_MISMATCH);
    EXPECT_FALSE(opened.isSet(BR::entity));

    // beside the payload it reaches nothing: the request is rebuilt from the signed parts alone
    ASSERT_EQ(openEdited(secured, payloadEnd, payloadEnd + entityXml, opened), I2::SECURED_OK);
    EXPECT_FALSE(opened.isSet(BR::entity));
    EXPECT_TRUE(opened.isSet(BR::paths));
}

TEST_F(SecuredMessages, OnlyFreshSignaturesAreAccepted) {
    databrowse::BrowseRequest req = request();
    databrowse::SecuredBrowseRequest secured;
    ASSERT_TRUE(secure(req, "client-A", secured));
    const int64_t now = time(nullptr);
    I2::SecuredMessageHandler checker;
    databrowse::BrowseRequest opened;
    struct Case {
        int64_t age;
        int rc;
    } cases[] = {{0, I2::SECURED_OK},       {120, I2::SECURED_OK},      {-120, I2::SECURED_OK},  // skew
                 {3600, I2::SECURED_STALE}, {-3600, I2::SECURED_STALE}, {now, I2::SECURED_STALE}};
    for (const Case& c : cases) {
        databrowse::SecuredBrowseRequest copy(secured);
        resign(copy, now - c.age);
        EXPECT_EQ(checker.openSecuredBrowseRequest(copy, opened, "client-A"), c.rc) << c.age;
    }
    // the window is the installation's to set
    ASSERT_TRUE(ZYPlatformInfo::setNumber(I2::SecuredMessageHandler::kKeySection,
                                          I2::SecuredMessageHandler::kMaxAgeName, 30));
    databrowse::SecuredBrowseRequest minuteOld(secured);
    resign(minuteOld, now - 60);
    EXPECT_EQ(checker.openSecuredBrowseRequest(minuteOld, opened, "client-A"), I2::SECURED_STALE);
    resign(minuteOld, now - 10);
    EXPECT_EQ(checker.openSecuredBrowseRequest(minuteOld, opened, "client-A"), I2::SECURED_OK);
    // Aged on the checker's clock: fresh through the whole window after signing, refused once it passed.
    CHubManualClock clock;
    I2::SecuredMessageHandler signer(clock), ageing(clock);
    databrowse::SecuredBrowseRequest dated;
    ASSERT_TRUE(signer.secureBrowseRequest(req, "client-A", dated));
    clock.advance(std::chrono::seconds(30));
    EXPECT_EQ(ageing.openSecuredBrowseRequest(dated, opened, "client-A"), I2::SECURED_OK);
    clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(ageing.openSecuredBrowseRequest(dated, opened, "client-A"), I2::SECURED_STALE);
}

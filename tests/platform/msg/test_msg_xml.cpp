// The XML form of messages: round trips, fields no class declares, and refusal of malformed or
// hostile input. Also the tree walker, which callers use on received messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/msg/msg_classes.h"
#include "platform/msg/xml_codec.h"
#include "platform/msg/xml_traverse.h"

using RSP = databrowse::BrowseResponse::f;
using RES = databrowse::BrowseResult::f;
using DATA = databrowse::BrowseData::f;

namespace {

databrowse::BrowseResponse responseWithItems(int count) {
    databrowse::BrowseResponse rsp;
    rsp.setint64(RSP::respType, 0);
    rsp.setstring(RSP::workerId, "worker-12");
    rsp.getObjectAccessor(RSP::session, true)->setstring(databrowse::BrowseSession::f::sessionId, "GUID-1");
    CNMessageBase* result = rsp.getObjectAccessor(RSP::browseResult, true);
    auto* items = result->getlistobject(RES::dataResultSet, true);
    for (int k = 0; k < count; ++k) {
        databrowse::BrowseData d;
        d.setstring(DATA::name, "file" + std::to_string(k) + ".txt");
        d.setstring(DATA::path, "/data/dir/file" + std::to_string(k) + ".txt");
        d.setint64(DATA::size, 1000LL * k);
        d.setint64(DATA::modificationTime, 1700000000 + k);
        d.getObjectAccessor(DATA::flags, true)->setint64(databrowse::BrowseItemFlags::f::file, 1);
        items->push_back(d);
    }
    return rsp;
}

std::string xmlOf(const CNMessageBase& m) {
    std::string xml;
    EXPECT_EQ(m.serialize(xml), 0);
    return xml;
}

int decodeInto(CNMessageBase& m, const std::string& xml, ZyXMLContextInfo* ctx = nullptr) {
    return XMLDecoder(ctx).decodeInto(xml.data(), xml.size(), m);
}

}  // namespace

TEST(MessageXml, ResponseWithItemsRoundTrips) {
    databrowse::BrowseResponse rsp = responseWithItems(25);
    std::string xml = xmlOf(rsp);

    std::unique_ptr<CNMessageBase> decoded;
    ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), decoded), 0);
    ASSERT_NE(dynamic_cast<databrowse::BrowseResponse*>(decoded.get()), nullptr);
    EXPECT_EQ(xmlOf(*decoded), xml);

    CNMessageBase* result = decoded->getObjectAccessor(RSP::browseResult, false);
    ASSERT_NE(result, nullptr);
    auto* items = result->getlistobject(RES::dataResultSet, false);
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(items->size(), 25u);
    EXPECT_EQ((*items)[24].getstring(DATA::path), "/data/dir/file24.txt");
    EXPECT_EQ((*items)[24].getint64(DATA::size), 24000);
    EXPECT_EQ(decoded->getstring(RSP::workerId), "worker-12");
    EXPECT_EQ(decoded->getint64(RSP::respType), 0);
    EXPECT_TRUE(decoded->isSet(RSP::respType));

    // the readable form and the declaration read back the same
    std::string readable;
    rsp.setXmlWriteFlag(true);
    ASSERT_EQ(rsp.serialize(readable, true), 0);
    EXPECT_EQ(readable.rfind("<?xml", 0), 0u);
    databrowse::BrowseResponse back;
    ASSERT_EQ(back.unserialize(readable), 0);
    EXPECT_EQ(xmlOf(back), xml);
}

TEST(MessageXml, AwkwardTextsSurvive) {
    databrowse::BrowseData d;
    const std::string texts[] = {"a&b<c>d\"e'f",
                                 "tab\there\nnew line\r\n",
                                 std::string("\x01\x1f bytes \xc3\xa9\xe2\x82\xac"),
                                 "",
                                 "  leading and trailing  ",
                                 "]]> <![CDATA["};
    for (const std::string& t : texts) {
        d.setstring(DATA::path, t);
        databrowse::FilteredBrowseCriteriaValue v;
        v.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {t, t + "2"});
        databrowse::BrowseData back;
        ASSERT_EQ(back.unserialize(xmlOf(d)), 0) << t;
        EXPECT_EQ(back.getstring(DATA::path), t);
        databrowse::FilteredBrowseCriteriaValue vback;
        ASSERT_EQ(vback.unserialize(xmlOf(v)), 0);
        EXPECT_EQ(*vback.getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false),
                  (std::vector<std::string>{t, t + "2"}));
    }
    // a NUL byte cannot be written as XML: the write fails instead of cutting the text
    d.setstring(DATA::path, std::string("a\0b", 3));
    std::string out = "unchanged";
    EXPECT_EQ(d.serialize(out), MSG_ERR_UNWRITABLE);
    EXPECT_EQ(out, "unchanged");
    EXPECT_FALSE(msgAppendXmlEscaped(out, std::string("a\0b", 3), true));
    EXPECT_EQ(out, "unchanged");
}

// A text escaped on its own is what the encoder writes for it in an attribute, and in an element's text.
TEST(MessageXml, TextsEscapedAloneAreTheEncodersOwn) {
    const std::string texts[] = {"plain", "a&b<c>d\"e'f", std::string("\x01\x1f \xc3\xa9 tab\t"), "",
                                 std::string(40, 'x') + "&" + std::string(40, 'y')};
    for (const std::string& t : texts) {
        databrowse::BrowseData d;
        d.setstring(DATA::path, t);
        std::string attribute;
        ASSERT_TRUE(msgAppendXmlEscaped(attribute, t, true));
        EXPECT_NE(xmlOf(d).find(" path=\"" + attribute + "\""), std::string::npos) << t;
        databrowse::FilteredBrowseCriteriaValue v;
        v.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {t});
        std::string text = "kept:";
        ASSERT_TRUE(msgAppendXmlEscaped(text, t, false));
        EXPECT_NE(xmlOf(v).find(">" + text.substr(5) + "</"), std::string::npos) << t;
        EXPECT_EQ(text.rfind("kept:", 0), 0u);
    }
}

TEST(MessageXml, FieldsNoClassDeclaresSurviveARoundTrip) {
    const std::string xml =
        "<BrowseSession x.tag=\"644e148c\" sessionId=\"S\" extraText=\"hello\" f.123abc=\"77\">"
        "<extraChild x.tag=\"64fd9174\" path=\"/x\" custom=\"1\"/>"
        "<unknownClass x.tag=\"64000001\" a=\"b\"><deeper x.tag=\"64000002\"/></unknownClass>"
        "<tags>t1</tags><tags>t2</tags>"
        "<items x.item=\"640305ef\" path=\"/p1\"/><items x.item=\"640305ef\" path=\"/p2\"/>"
        "</BrowseSession>";
    databrowse::BrowseSession s;
    ASSERT_EQ(s.unserialize(xml), 0);
    EXPECT_EQ(s.getstring(databrowse::BrowseSession::f::sessionId), "S");
    const unsigned long tag = s.getTagID();
    EXPECT_EQ(s.getstring(0, 0, tag, msgNameCode("extraText")), "hello");
    EXPECT_EQ(s.getint64(0, tag, 0x123abc), 77);
    CNMessageBase* child = s.getObjectAccessor(1, 0, 0, 0, tag, msgNameCode("extraChild"), 0, 0);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->getstring(DATA::path), "/x");
    EXPECT_EQ(s.getliststring(0, 0, tag, msgNameCode("tags"), 0)->size(), 2u);
    EXPECT_EQ(s.getlistobject(0, 0, tag, msgNameCode("items"), 0)->size(), 2u);
    CNMessageBase* unknown = s.getObjectAccessor(1, 0, 0, 0, tag, msgNameCode("unknownClass"), 0, 0);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->getTagID(), 0x64000001u);
    EXPECT_EQ(unknown->classType(), nullptr);

    std::string again = xmlOf(s);
    databrowse::BrowseSession twice;
    ASSERT_EQ(twice.unserialize(again), 0);
    EXPECT_EQ(xmlOf(twice), again);
    for (const char* piece : {"extraText=\"hello\"", "f.123abc=\"77\"", "custom=\"1\"", "<tags>t2</tags>",
                              "x.tag=\"64000002\"", "path=\"/p2\""})
        EXPECT_NE(again.find(piece), std::string::npos) << piece;
}

// Fields called by their role in code keep the XML name or code form they always had on the wire, so
// peers that still write the old form are read into the role-named fields.
TEST(MessageXml, RoleNamedFieldsKeepTheirWireForm) {
    using REQ = databrowse::BrowseRequest::f;
    using CFG = databrowse::BrowseAdvancedConfig::f;
    databrowse::BrowseRequest request;
    request.setstring(REQ::token, "T-1");
    CNMessageBase* config = request.getObjectAccessor(REQ::advOptions, true)
                                ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    config->getObjectAccessor(CFG::jobBlock, true)->setint64(databrowse::Msg11::f::jobId, 41);
    databrowse::AdditionalFlag flag;
    flag.setstring(databrowse::AdditionalFlag::f::flagName, "F");
    config->getObjectAccessor(CFG::flagBlock, true)
        ->setlistobject(databrowse::Msg9::f::additionalFlags, {flag});

    const std::string xml = xmlOf(request);
    for (const char* piece : {"f.763531=\"T-1\"", "<at3_3 ", "<at1_1 ", "<at6_6 "})
        EXPECT_NE(xml.find(piece), std::string::npos) << piece << " in " << xml;
    for (const char* role : {"token", "jobBlock", "flagBlock", "additionalFlags"})
        EXPECT_EQ(xml.find(role), std::string::npos) << role << " in " << xml;

    databrowse::BrowseRequest back;
    ASSERT_EQ(back.unserialize(xml), 0);
    EXPECT_EQ(back.getstring(REQ::token), "T-1");
    CNMessageBase* backConfig = back.getObjectAccessor(REQ::advOptions, false)
                                    ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    ASSERT_NE(backConfig, nullptr);
    ASSERT_TRUE(backConfig->isSet(CFG::jobBlock));
    EXPECT_EQ(backConfig->getObjectAccessor(CFG::jobBlock, false)->getint64(databrowse::Msg11::f::jobId), 41);
    auto* flags = backConfig->getObjectAccessor(CFG::flagBlock, false)
                      ->getlistobject(databrowse::Msg9::f::additionalFlags, false);
    ASSERT_NE(flags, nullptr);
    ASSERT_EQ(flags->size(), 1u);
    EXPECT_EQ(flags->front().getstring(databrowse::AdditionalFlag::f::flagName), "F");
}

TEST(MessageXml, MalformedInputIsRefusedAndLeavesTheMessageAlone) {
    databrowse::BrowseResponse rsp = responseWithItems(2);
    const std::string before = xmlOf(rsp);
    struct Case {
        std::string xml;
        int rc;
    } cases[] = {
        {"", MSG_ERR_EMPTY},
        {"<BrowseResponse x.tag=\"646bc10b\"", MSG_ERR_PARSE},
        {"<BrowseResponse x.tag=\"646bc10b\"><a></b></BrowseResponse>", MSG_ERR_PARSE},
        {"not xml at all", MSG_ERR_PARSE},
        {"<BrowseRequest x.tag=\"644c8485\"/>", MSG_ERR_ROOT},  // another class
        {"<BrowseRequest x.tag=\"646bc10b\"/>", MSG_ERR_ROOT},  // name and tag disagree
        {"<BrowseResponse/>", MSG_ERR_ROOT},                    // no tag
        {"<BrowseResponse x.tag=\"zz\"/>", MSG_ERR_ROOT},
        {"<BrowseResponse x.tag=\"646bc10b\"/><BrowseResponse x.tag=\"646bc10b\"/>", MSG_ERR_ROOT},
        {"<BrowseResponse x.tag=\"646bc10b\" respType=\"99999999999999999999\"/>", MSG_ERR_BAD_NUMBER},
        {"<BrowseResponse x.tag=\"646bc10b\" respType=\"-99999999999999999999\"/>", MSG_ERR_BAD_NUMBER},
        {"<BrowseResponse x.tag=\"646bc10b\" respType=\"12abc\"/>", MSG_ERR_BAD_NUMBER},
        {"<BrowseResponse x.tag=\"646bc10b\" respType=\" 1\"/>", MSG_ERR_BAD_NUMBER},
        {"<BrowseResponse x.tag=\"646bc10b\" respType=\"1\" respType=\"2\"/>", MSG_ERR_DUPLICATE},
        {"<BrowseResponse x.tag=\"646bc10b\"><respType>1</respType></BrowseResponse>", MSG_ERR_KIND},
        {"<BrowseResponse x.tag=\"646bc10b\" session=\"x\"/>", MSG_ERR_KIND},
        {"<BrowseResponse x.tag=\"646bc10b\"><session x.tag=\"644e148c\"/><session "
         "x.tag=\"644e148c\"/></BrowseResponse>",
         MSG_ERR_DUPLICATE},
        {"<BrowseResponse x.tag=\"646bc10b\" x.bogus=\"1\"/>", MSG_ERR_BAD_FIELD},
        {"<BrowseResponse x.tag=\"646bc10b\" f.=\"1\"/>", MSG_ERR_BAD_FIELD},
        {"<BrowseResponse x.tag=\"646bc10b\" f.1234567=\"1\"/>", MSG_ERR_BAD_FIELD},
        {"<BrowseResponse x.tag=\"646bc10b\"><session x.tag=\"644e148c\" x.item=\"1\"/></BrowseResponse>",
         MSG_ERR_BAD_FIELD},
        {"<BrowseResponse x.tag=\"646bc10b\"><f.1 x.enc=\"1\">nothex</f.1></BrowseResponse>", MSG_ERR_SECRET},
        {"<BrowseResponse x.tag=\"646bc10b\"><tags>a<b/></tags></BrowseResponse>", MSG_ERR_KIND},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodeInto(rsp, c.xml), c.rc) << c.xml;
        EXPECT_EQ(xmlOf(rsp), before) << c.xml;
    }
}

TEST(MessageXml, DecoderMakesTheClassOfTheTag) {
    std::unique_ptr<CNMessageBase> m;
    std::string xml = "<BrowseFlags x.tag=\"30d585fd\"/>";
    ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), m), 0);
    EXPECT_NE(dynamic_cast<Indexing::BrowseFlags*>(m.get()), nullptr);
    xml = "<BrowseFlags x.tag=\"64d585fd\"/>";
    ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), m), 0);
    EXPECT_NE(dynamic_cast<databrowse::BrowseFlags*>(m.get()), nullptr);
    // the frame's tag must be the root's
    EXPECT_EQ(XMLDecoder().decode(0x30d585fd, xml.data(), xml.size(), m), MSG_ERR_ROOT);
    EXPECT_EQ(XMLDecoder().decode(0x64d585fd, xml.data(), xml.size(), m), 0);
    xml = "<Nothing x.tag=\"64abcdef\"/>";
    m.reset();
    EXPECT_EQ(XMLDecoder().decode(xml.data(), xml.size(), m), MSG_ERR_UNKNOWN_CLASS);
    EXPECT_EQ(m, nullptr);
}

TEST(MessageXml, HostileSizesAreBounded) {
    ZyXMLContextInfo ctx;
    // nesting far beyond the limit, through unknown and known object fields alike
    std::string deep = "<BrowseSession x.tag=\"644e148c\">";
    const int levels = 100000;
    for (int k = 0; k < levels; ++k) deep += "<c x.tag=\"64000001\">";
    for (int k = 0; k < levels; ++k) deep += "</c>";
    deep += "</BrowseSession>";
    databrowse::BrowseSession s;
    EXPECT_EQ(decodeInto(s, deep), MSG_ERR_TOO_DEEP);
    std::string justDeepEnough = "<BrowseSession x.tag=\"644e148c\">";
    for (int k = 0; k < ctx.maxDepth; ++k) justDeepEnough += "<c x.tag=\"64000001\">";
    for (int k = 0; k < ctx.maxDepth; ++k) justDeepEnough += "</c>";
    justDeepEnough += "</BrowseSession>";
    EXPECT_EQ(decodeInto(s, justDeepEnough), 0);
    // and a message built that deep by hand is not written
    EXPECT_EQ(s.serialize(deep), 0);
    CNMessageBase* at = &s;
    for (int k = 0; k < 100; ++k)
        at = at->getObjectAccessor(1, 1, 0, 0, at->getTagID(), msgNameCode("c"), 100, 2);
    std::string out;
    EXPECT_EQ(s.serialize(out), MSG_ERR_TOO_DEEP);

    ZyXMLContextInfo small;
    small.maxTextBytes = 16;
    small.maxInputBytes = 4096;
    EXPECT_EQ(decodeInto(s, "<BrowseSession x.tag=\"644e148c\" sessionId=\"12345678901234567\"/>", &small),
              MSG_ERR_TEXT_TOO_LONG);
    EXPECT_EQ(
        decodeInto(
            s, "<BrowseSession x.tag=\"644e148c\"><v>123456789</v><v>12345678901234567</v></BrowseSession>",
            &small),
        MSG_ERR_TEXT_TOO_LONG);
    EXPECT_EQ(decodeInto(s, "<BrowseSession x.tag=\"644e148c\" sessionId=\"1234567890123456\"/>", &small), 0);
    EXPECT_EQ(
        decodeInto(s, "<BrowseSession x.tag=\"644e148c\" sessionId=\"" + std::string(5000, 'a') + "\"/>",
                   &small),
        MSG_ERR_TOO_LARGE);
    // entity declarations are not expanded
    std::string bomb =
        "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<BrowseSession x.tag=\"644e148c\" sessionId=\"&b;\"/>";
    databrowse::BrowseSession b;
    if (decodeInto(b, bomb) == 0) {
        EXPECT_LT(b.getstring(databrowse::BrowseSession::f::sessionId).size(), 10u);
    }
}

TEST(MessageXml, NulCharactersAreRefusedNotCut) {
    const std::string open = "<BrowseSession x.tag=\"644e148c\"";
    databrowse::BrowseSession s;
    for (const std::string& xml :
         {open + " sessionId=\"ab&#0;cd\"/>", open + " sessionId=\"ab&#x0;cd\"/>",
          open + " sessionId=\"ab&#000;cd\"/>", open + " sessionId=\"&#4294967296;\"/>",
          open + "><v>ab&#0;cd</v></BrowseSession>",
          open + " sessionId=\"ab" + std::string(1, '\0') + "cd\"/>"}) {
        EXPECT_EQ(decodeInto(s, xml), MSG_ERR_NUL) << xml;
        EXPECT_EQ(s.fieldCount(), 0u);
    }
    // other character references still read, control characters included
    ASSERT_EQ(decodeInto(s, open + " sessionId=\"a&#1;b&#x41;&#10;&#65;\"/>"), 0);
    EXPECT_EQ(s.getstring(databrowse::BrowseSession::f::sessionId),
              "a\x01"
              "bA\nA");
}

TEST(MessageXml, ManyFieldsAreFoundByCodeAndCapped) {
    auto fields = [](int from, int to, const char* value = "7") {
        std::string out;
        char one[32];
        for (int k = from; k <= to; ++k) {
            std::snprintf(one, sizeof one, " f.%06x=\"%s\"", k, value);
            out += one;
        }
        return out;
    };
    std::string open = xmlOf(databrowse::MappedBrowsePath());  // a class that declares no fields
    open.resize(open.size() - 2);                              // without its closing "/>"
    databrowse::MappedBrowsePath m;
    ASSERT_EQ(decodeInto(m, open + fields(1, 50000) + "/>"), 0);
    ASSERT_EQ(m.fieldCount(), 50000u);
    auto text = [&m](uint32_t code) { return m.getstring(-1, -1, m.getTagID(), code); };
    EXPECT_EQ(text(1), "7");
    EXPECT_EQ(text(50000), "7");
    EXPECT_FALSE(m.isSet(-1, m.getTagID(), 50001));

    // a field given twice is caught however many fields lie between
    EXPECT_EQ(decodeInto(m, open + fields(1, 40) + fields(3, 3) + "/>"), MSG_ERR_DUPLICATE);
    EXPECT_EQ(decodeInto(m, open + fields(1, 40) +
                                "><c x.tag=\"64000001\"/><c x.tag=\"64000001\"/></MappedBrowsePath>"),
              MSG_ERR_DUPLICATE);
    // while the items of one list gather in one field
    ASSERT_EQ(decodeInto(m, open + fields(1, 40) + "><v>1</v><w>x</w><v>2</v></MappedBrowsePath>"), 0);
    EXPECT_EQ(m.fieldCount(), 42u);
    EXPECT_EQ(m.getliststring(-1, -1, m.getTagID(), msgNameCode("v"), false)->size(), 2u);

    // the cap counts every value and list item of the whole message
    ZyXMLContextInfo ctx;
    ctx.maxFields = 1000;
    EXPECT_EQ(decodeInto(m, open + fields(1, 1000) + "/>", &ctx), 0);
    EXPECT_EQ(decodeInto(m, open + fields(1, 1001) + "/>", &ctx), MSG_ERR_TOO_MANY_FIELDS);
    std::string items = open + ">";
    for (int k = 0; k < 1001; ++k) items += "<v>1</v>";
    EXPECT_EQ(decodeInto(m, items + "</MappedBrowsePath>", &ctx), MSG_ERR_TOO_MANY_FIELDS);
    EXPECT_EQ(m.fieldCount(), 1000u);  // the last good decode stays
    EXPECT_GE(ZyXMLContextInfo().maxFields, 1000000u);
}

namespace {

struct Collector : XmlTraverseHandler {
    std::vector<std::string> objects;
    std::vector<std::string> values;
    std::string skip;
    int stopAfterValues = -1;
    XmlTraverseAction onObject(CNMessageBase& object, const XmlTraverseNode& node) override {
        objects.push_back(std::string(node.name) + ":" + object.className());
        return std::string(node.name) == skip ? XmlTraverseAction::SkipChildren : XmlTraverseAction::Continue;
    }
    XmlTraverseAction onValue(const XmlTraverseNode& node, int64_t, std::string_view text) override {
        values.push_back(std::string(node.name) + "=" + std::string(text));
        return static_cast<int>(values.size()) == stopAfterValues ? XmlTraverseAction::Stop
                                                                  : XmlTraverseAction::Continue;
    }
};

}  // namespace

TEST(MessageTraverse, VisitsObjectsAndValuesInFieldOrder) {
    databrowse::BrowseResponse rsp = responseWithItems(3);
    rsp.setpstringobject(100, 100, bstring("pw"), 1, rsp.getTagID(), 0x424242);
    Collector all;
    EXPECT_EQ(XmlTraverse::traverse(rsp, all, true, true), 9);  // root, session, result, 3 items, 3 flags
    EXPECT_EQ(all.objects.front(), "BrowseResponse:BrowseResponse");
    EXPECT_EQ(all.objects[3], "dataResultSet:BrowseData");
    EXPECT_NE(std::find(all.values.begin(), all.values.end(), "path=/data/dir/file2.txt"), all.values.end());
    EXPECT_NE(std::find(all.values.begin(), all.values.end(), "f.424242=********"), all.values.end());
    EXPECT_EQ(std::find(all.values.begin(), all.values.end(), "f.424242=pw"), all.values.end());

    Collector shallow;
    EXPECT_EQ(XmlTraverse::traverse(rsp, shallow, false, false), 1);
    EXPECT_TRUE(shallow.values.empty());

    Collector skipping;
    skipping.skip = "browseResult";
    EXPECT_EQ(XmlTraverse::traverse(rsp, skipping, false, true), 3);

    Collector stopping;
    stopping.stopAfterValues = 2;
    EXPECT_EQ(XmlTraverse::traverse(rsp, stopping, true, true), -1);
    EXPECT_EQ(stopping.values.size(), 2u);
}

// Every input the fuzzer was seeded with stays readable or cleanly refused, and what reads writes back
// to a fixed point.
TEST(MessageXml, FuzzSeedCorpusReplays) {
    const char* src = std::getenv("HUB_SOURCE_DIR");
    if (!src) src = HUB_TEST_SOURCE_DIR;
    std::filesystem::path dir = std::filesystem::path(src) / "fuzz/corpus/fuzz_msg_unserialize";
    ASSERT_TRUE(std::filesystem::is_directory(dir));
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buf;
        buf << in.rdbuf();
        std::string data = buf.str();
        std::unique_ptr<CNMessageBase> m;
        ++files;
        if (XMLDecoder().decode(data.data(), data.size(), m) != 0) continue;
        std::string once, twice;
        ASSERT_EQ(m->serialize(once), 0) << entry.path();
        std::unique_ptr<CNMessageBase> again;
        ASSERT_EQ(XMLDecoder().decode(once.data(), once.size(), again), 0) << entry.path();
        ASSERT_EQ(again->serialize(twice), 0);
        EXPECT_EQ(once, twice) << entry.path();
    }
    EXPECT_GT(files, 3);
}

// The encoder's output is what peers parse and what signatures cover: it must not drift by a byte.
// A writer tells whether the text it made holds a secret, so that a caller may show that text as it is
// only when it holds none.
TEST(MessageXml, TheWriterTellsWhetherItWroteASecret) {
    databrowse::BrowseResponse rsp = responseWithItems(2);
    std::string plain, withSecret;
    XMLEncoder writer;
    ASSERT_EQ(writer.serialize(rsp, plain), MSG_OK);
    EXPECT_FALSE(writer.wroteSecret());
    EXPECT_EQ(plain, rsp.AsString());
    rsp.setpstringobject(0, 0, bstring("secret"), 1, rsp.getTagID(), 0x424242);
    ASSERT_EQ(writer.serialize(rsp, withSecret), MSG_OK);
    EXPECT_TRUE(writer.wroteSecret());
    EXPECT_NE(withSecret, rsp.AsString());
    ASSERT_EQ(writer.serialize(responseWithItems(1), plain), MSG_OK);
    EXPECT_FALSE(writer.wroteSecret());
}

TEST(MessageXml, WireFormIsFixed) {
    databrowse::BrowseResponse rsp = responseWithItems(2);
    rsp.setstring(RSP::workerId, "w&<>\"'\t\n\x01\x1f\xc3\xa9");
    rsp.setint64(RSP::c_36851f, -9223372036854775807LL - 1);
    const unsigned long tag = rsp.getTagID();
    rsp.setint64(0, 0, 11259341, tag, 0x00abcd);
    rsp.setliststring(0, 0, {"a<b>&", "\"q\"", ""}, tag, msgNameCode("path"));
    rsp.setpstringobject(0, 0, bstring("secret"), 1, tag, 0x424242);
    *rsp.getlistint(0, 0, tag, msgNameCode("ids"), true) = {-1, 2147483647};
    CNMessageBase* result = rsp.getObjectAccessor(RSP::browseResult, false);
    result->getObjectAccessor(RES::advancedSettings, true);  // an empty child
    EXPECT_EQ(
        rsp.AsString(),
        "<BrowseResponse x.tag=\"646bc10b\" respType=\"0\" workerId=\"w&amp;&lt;&gt;&quot;'&#9;&#10;&#1;&#31;"
        "\xc3\xa9\" f.36851f=\"-9223372036854775808\" f.00abcd=\"11259341\"><session x.tag=\"644e148c\" "
        "sessionId=\"GUID-1\"/><browseResult x.tag=\"64fb1f67\"><dataResultSet x.item=\"64fd9174\" "
        "name=\"file0.txt\" path=\"/data/dir/file0.txt\" size=\"0\" modificationTime=\"1700000000\"><flags "
        "x.tag=\"64dd63aa\" file=\"1\"/></dataResultSet><dataResultSet x.item=\"64fd9174\" "
        "name=\"file1.txt\" "
        "path=\"/data/dir/file1.txt\" size=\"1000\" modificationTime=\"1700000001\"><flags "
        "x.tag=\"64dd63aa\" "
        "file=\"1\"/></dataResultSet><f.a755d5 "
        "x.tag=\"6460234e\"/></browseResult><path>a&lt;b&gt;&amp;</path>"
        "<path>\"q\"</path><path></path><f.424242 x.enc=\"1\">********</f.424242><f.0196b8>-1</f.0196b8>"
        "<f.0196b8>2147483647</f.0196b8></BrowseResponse>");

    std::string readable;
    rsp.clearField(tag, 0x424242);  // enciphered anew at every write
    rsp.setXmlWriteFlag(true);
    ASSERT_EQ(rsp.serialize(readable, true), 0);
    EXPECT_EQ(
        readable,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BrowseResponse x.tag=\"646bc10b\" respType=\"0\" "
        "workerId=\"w&amp;&lt;&gt;&quot;'&#9;&#10;&#1;&#31;\xc3\xa9\" f.36851f=\"-9223372036854775808\" "
        "f.00abcd=\"11259341\">\n  <session x.tag=\"644e148c\" sessionId=\"GUID-1\"/>\n  <browseResult "
        "x.tag=\"64fb1f67\">\n    <dataResultSet x.item=\"64fd9174\" name=\"file0.txt\" "
        "path=\"/data/dir/file0.txt\" size=\"0\" modificationTime=\"1700000000\">\n      <flags "
        "x.tag=\"64dd63aa\" file=\"1\"/>\n    </dataResultSet>\n    <dataResultSet x.item=\"64fd9174\" "
        "name=\"file1.txt\" path=\"/data/dir/file1.txt\" size=\"1000\" modificationTime=\"1700000001\">\n"
        "      <flags x.tag=\"64dd63aa\" file=\"1\"/>\n    </dataResultSet>\n    <f.a755d5 "
        "x.tag=\"6460234e\"/>\n  </browseResult>\n  <path>a&lt;b&gt;&amp;</path>\n  <path>\"q\"</path>\n  "
        "<path></path>\n  <f.0196b8>-1</f.0196b8>\n  <f.0196b8>2147483647</f.0196b8>\n</BrowseResponse>");

    // names read from XML for fields no class declares are written back as they came
    const std::string peer =
        "<BrowseSession x.tag=\"644e148c\" zeta=\"1\" f.00abcd=\"2\" sessionId=\"s\">"
        "<Other x.tag=\"64000001\" k=\"v\"><n>1</n></Other><longs>5</longs><longs>-6</longs>"
        "</BrowseSession>";
    databrowse::BrowseSession s;
    ASSERT_EQ(s.unserialize(peer), 0);
    EXPECT_EQ(xmlOf(s),
              "<BrowseSession x.tag=\"644e148c\" zeta=\"1\" f.00abcd=\"2\" sessionId=\"s\"><Other "
              "x.tag=\"64000001\" k=\"v\"><n>1</n></Other><longs>5</longs><longs>-6</longs></BrowseSession>");
}

// A class of some ninety declared fields: each field is found by code however many came before, so a
// repeat is refused wherever it stands, by name or by code form, among declared and undeclared fields.
TEST(MessageXml, DuplicatesAreRefusedInLargeClasses) {
    using BR = Indexing::BrowseReq;
    BR req;
    std::vector<const MsgFieldInfo*> scalars;
    for (const MsgFieldInfo& f : BR::type()->fields()) {
        if (f.kind == MsgFieldKind::Int) req.setint64(f.i, f.j, f.code, BR::TAG, f.code);
        if (f.kind == MsgFieldKind::Str) req.setstring(f.i, f.j, f.ident, BR::TAG, f.code);
        if (f.kind == MsgFieldKind::Int || f.kind == MsgFieldKind::Str) scalars.push_back(&f);
    }
    ASSERT_GT(scalars.size(), 60u);
    Indexing::BackupCycle cycle;
    cycle.setint64(Indexing::BackupCycle::f::cycleNumber, 3);
    req.setlistobject(BR::f::backupCycles, {cycle, cycle});
    req.getObjectAccessor(BR::f::flags, true)->setint64(Indexing::BrowseFlags::f::superBrowse, 1);
    std::string xml = xmlOf(req);

    BR back;
    ASSERT_EQ(decodeInto(back, xml), 0);
    EXPECT_EQ(back.fieldCount(), req.fieldCount());
    EXPECT_EQ(back.getlistobject(BR::f::backupCycles, false)->size(), 2u);
    EXPECT_EQ(xmlOf(back), xml);
    for (const MsgFieldInfo* f : scalars)
        EXPECT_EQ(back.getstring(f->i, f->j, BR::TAG, f->code), req.getstring(f->i, f->j, BR::TAG, f->code))
            << f->ident;

    const size_t attrsEnd = xml.find('>');
    auto withAttrs = [&](const std::string& extra) {
        std::string out = xml;
        out.insert(attrsEnd, extra);
        return out;
    };
    auto withElements = [&](const std::string& extra) {
        std::string out = xml;
        out.insert(out.rfind("</"), extra);
        return out;
    };
    char code[32];
    for (const MsgFieldInfo* f : {scalars.front(), scalars[scalars.size() / 2], scalars.back()}) {
        ASSERT_NE(f->xmlName, nullptr);
        EXPECT_EQ(decodeInto(back, withAttrs(std::string(" ") + f->xmlName + "=\"1\"")), MSG_ERR_DUPLICATE)
            << f->ident;
        std::snprintf(code, sizeof code, " f.%06x=\"1\"", f->code);
        EXPECT_EQ(decodeInto(back, withAttrs(code)), MSG_ERR_DUPLICATE) << f->ident;
    }
    EXPECT_EQ(decodeInto(back, withElements("<flags x.tag=\"30d585fd\"/>")), MSG_ERR_DUPLICATE);
    EXPECT_EQ(decodeInto(back, withElements("<backupCycles x.item=\"309f2424\"/>")), 0);
    EXPECT_EQ(back.getlistobject(BR::f::backupCycles, false)->size(), 3u);
    EXPECT_EQ(decodeInto(back, withElements("<sourcePaths x.item=\"309f2424\"/>")), MSG_ERR_KIND);

    // undeclared fields beside them, more than a few, each still refused when repeated
    std::string extra;
    for (int k = 0; k < 40; ++k) extra += " extra" + std::to_string(k) + "=\"" + std::to_string(k) + "\"";
    ASSERT_EQ(decodeInto(back, withAttrs(extra)), 0);
    EXPECT_EQ(back.fieldCount(), req.fieldCount() + 40);
    EXPECT_EQ(back.getstring(0, 0, BR::TAG, msgNameCode("extra39")), "39");
    EXPECT_EQ(decodeInto(back, withAttrs(extra + " extra3=\"x\"")), MSG_ERR_DUPLICATE);
    std::snprintf(code, sizeof code, " f.%06x=\"x\"", msgNameCode("extra37"));
    EXPECT_EQ(decodeInto(back, withAttrs(extra + code)), MSG_ERR_DUPLICATE);
    std::string listToo = withElements("<extra5>t</extra5>");  // a text field, then a list of the name
    EXPECT_EQ(decodeInto(back, listToo), 0);
    EXPECT_EQ(decodeInto(back, listToo.insert(attrsEnd, extra)), MSG_ERR_DUPLICATE);
    EXPECT_EQ(back.fieldCount(), req.fieldCount() + 1);  // a refused decode leaves the last good one
}

// Integers read whole and exactly at every length, the 64-bit limits included, and nothing else.
TEST(MessageXml, IntegersReadWholeAndExactly) {
    const struct {
        const char* text;
        int64_t value;  // when read
    } good[] = {{"0", 0},
                {"-0", 0},
                {"7", 7},
                {"000000000000000042", 42},
                {"999999999999999999", 999999999999999999LL},
                {"-999999999999999999", -999999999999999999LL},
                {"1000000000000000000", 1000000000000000000LL},
                {"9223372036854775807", INT64_MAX},
                {"-9223372036854775808", INT64_MIN},
                {"00000000000000000000000000001", 1}};
    databrowse::BrowseResponse rsp;
    auto read = [&rsp](const std::string& text) {
        return decodeInto(rsp, "<BrowseResponse x.tag=\"646bc10b\" respType=\"" + text + "\"/>");
    };
    for (const auto& g : good) {
        ASSERT_EQ(read(g.text), 0) << g.text;
        EXPECT_EQ(rsp.getint64(RSP::respType), g.value) << g.text;
    }
    for (const char* bad : {"", "-", "+1", "--1", "1-", "12a", "1 ", "0x1", "9223372036854775808",
                            "-9223372036854775809", "99999999999999999999", "1.5", "\xd9\xa1"})
        EXPECT_EQ(read(bad), MSG_ERR_BAD_NUMBER) << bad;
}

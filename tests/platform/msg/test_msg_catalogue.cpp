// The catalogue as a whole: identities and tags, the factory, and every class through XML.
#include <gtest/gtest.h>

#include <set>

#include "platform/msg/msg_classes.h"
#include "platform/msg/xml_codec.h"

namespace {

// A value of every declared field's kind, children made of their declared class.
void fillEveryField(CNMessageBase& m, int depth) {
    const MsgClassType* type = m.classType();
    ASSERT_NE(type, nullptr);
    const unsigned long tag = m.getTagID();
    for (const MsgFieldInfo& f : type->fields()) {
        switch (f.kind) {
            case MsgFieldKind::Int:
                m.setint64(f.i, f.j, -1234567890123LL + f.code, tag, f.code);
                break;
            case MsgFieldKind::Str:
                m.setstring(f.i, f.j, std::string("text of ") + f.ident, tag, f.code);
                break;
            case MsgFieldKind::PStr:
                m.setpstringobject(f.i, f.j, bstring(std::string("pw-") + f.ident), 1, tag, f.code);
                break;
            case MsgFieldKind::Obj: {
                const MsgFieldRef ref{f.i, f.j, m.getTagID(), f.code, f.kind, f.childTag};
                CNMessageBase* child = m.getObjectAccessor(ref, true);
                ASSERT_NE(child, nullptr) << f.ident;
                if (f.childTag) {
                    EXPECT_EQ(child->getTagID(), f.childTag) << f.ident;
                }
                if (depth < 2 && child->classType()) fillEveryField(*child, depth + 1);
                break;
            }
            case MsgFieldKind::ObjList: {
                auto* items = m.getlistobject(f.i, f.j, tag, f.code, 1);
                ASSERT_NE(items, nullptr);
                CNMessageBase item =
                    CNMessageBase::withTag(f.childTag ? f.childTag : databrowse::BrowsePath::TAG);
                item.setstring(0, 0, "item", item.getTagID(), 0x12345);
                items->push_back(item);
                items->push_back(item);
                break;
            }
            case MsgFieldKind::StrList:
                m.setliststring(f.i, f.j, {"x", "y & z"}, tag, f.code);
                break;
            case MsgFieldKind::IntList:
                m.getlistint(f.i, f.j, tag, f.code, true)->assign({1, -2, 3});
                break;
            case MsgFieldKind::LongList:
                m.getlistlonglong(f.i, f.j, tag, f.code, true)->assign({1LL << 40});
                break;
        }
    }
}

}  // namespace

TEST(MessageCatalogue, TagsFollowTheHashRule) {
    EXPECT_EQ(msgNameCode("BrowseFlags"), 0xd585fdu);
    EXPECT_EQ(databrowse::BrowseFlags::TAG, 0x64d585fdu);
    EXPECT_EQ(Indexing::BrowseFlags::TAG, 0x30d585fdu);
    EXPECT_EQ(databrowse::BrowseFlags::TAG & 0xFFFFFF, Indexing::BrowseFlags::TAG & 0xFFFFFF);
    EXPECT_EQ(databrowse::BrowseRequest::TAG, 0x644c8485u);
    EXPECT_EQ(databrowse::BrowseResponse::TAG, 0x646bc10bu);
    EXPECT_EQ(ZyEntities::GenericEntity::TAG, 0x128c0c7au);
    EXPECT_EQ(databrowse::BrowseRequest::CLASS_ID, 92);
    EXPECT_EQ(databrowse::BrowseRequest::PACKAGE, 100);
    EXPECT_EQ(databrowse::BrowsePath::f::path.code, 0x346425u);
    EXPECT_EQ(databrowse::BrowseData::f::path.code, 0x346425u);
    EXPECT_EQ(databrowse::BrowseItem::f::path.code, 0x346425u);
    // classes the catalogue knows by number keep their printed tag
    EXPECT_EQ(databrowse::Msg63::TAG, 0x6479e812u);
    EXPECT_EQ(ZyEntities::Msg74::TAG, 0x12454ea9u);

    auto& registry = CNMessageRegistry::instance();
    std::set<uint32_t> tags;
    for (const MsgClassType* t : registry.allClasses()) {
        const MsgClassInfo& c = t->info();
        EXPECT_TRUE(tags.insert(c.tag).second) << c.name;
        EXPECT_EQ(msgTagPackage(c.tag), c.package) << c.name;
        if (std::string(c.name).rfind("Msg", 0) != 0) {
            EXPECT_EQ(c.tag, msgTag(c.package, msgNameCode(c.name))) << c.ns << "::" << c.name;
        }
        EXPECT_EQ(registry.byTag(c.tag), t);
        if (c.classId >= 0) {
            EXPECT_EQ(registry.byClass(c.package, c.classId), t) << c.name;
            EXPECT_EQ(CNMessageBase(c.package, c.classId).getTagID(), c.tag) << c.name;
        }
        // field codes are unique in a class, and a named field's code is its name's
        std::set<uint32_t> codes;
        for (const MsgFieldInfo& f : t->fields()) {
            EXPECT_TRUE(codes.insert(f.code).second) << c.name << "." << f.ident;
            EXPECT_LE(f.code, 0xFFFFFFu);
            if (f.xmlName) {
                EXPECT_EQ(f.code, msgNameCode(f.xmlName)) << c.name << "." << f.ident;
            }
            if (f.childTag) {
                EXPECT_NE(registry.byTag(f.childTag), nullptr) << c.name << "." << f.ident;
            }
            EXPECT_EQ(t->field(f.code), &f);
        }
    }
    EXPECT_GE(tags.size(), 170u);
}

TEST(MessageCatalogue, EveryClassRoundTripsThroughXml) {
    for (const MsgClassType* t : CNMessageRegistry::instance().allClasses()) {
        SCOPED_TRACE(std::string(t->info().ns) + "::" + t->info().name);
        std::unique_ptr<CNMessageBase> m(t->info().make());
        ASSERT_EQ(m->getTagID(), t->tag());
        fillEveryField(*m, 0);
        std::string xml;
        ASSERT_EQ(m->serialize(xml), 0);
        std::unique_ptr<CNMessageBase> back;
        ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), back), 0) << xml;
        EXPECT_EQ(back->getTagID(), t->tag());
        const CNMessageBase& decoded = *back;
        const CNMessageBase& original = *m;
        EXPECT_EQ(typeid(decoded), typeid(original));
        // Password values are enciphered afresh at every write: the digest form (their clear value
        // in hex) compares whole messages.
        std::string again, before, after;
        ASSERT_EQ(back->serialize(again), 0);
        ASSERT_EQ(XMLEncoder(XML_ENCODE_DIGEST_FORM).serialize(*m, before), 0);
        ASSERT_EQ(XMLEncoder(XML_ENCODE_DIGEST_FORM).serialize(*back, after), 0);
        EXPECT_EQ(after, before);
        for (const MsgFieldInfo& f : t->fields()) EXPECT_TRUE(back->isSet(f.i, t->tag(), f.code)) << f.ident;
        // and an empty object of the class too
        std::unique_ptr<CNMessageBase> empty(t->info().make());
        ASSERT_EQ(empty->serialize(xml), 0);
        ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), back), 0);
        EXPECT_EQ(back->fieldCount(), 0u);
    }
}

namespace testfamily {
class Probe : public CNMessageBase {
public:
    Probe() : CNMessageBase(200, 1) {}
};
CNMessageBase* makeProbe() {
    return new Probe();
}
const MsgFieldInfo kProbeFields[] = {{"count", "count", msgNameCode("count"), 1, 1, MsgFieldKind::Int, 0}};
const MsgClassInfo kClasses[] = {
    {"testfamily", "Probe", 200, 1, msgTag(200, msgNameCode("Probe")), kProbeFields, 1, &makeProbe}};
const MsgClassInfo kClash[] = {
    {"testfamily", "Other", 100, 92, msgTag(100, msgNameCode("Other")), nullptr, 0, &makeProbe}};
}  // namespace testfamily

TEST(MessageCatalogue, FamiliesRegisterOnceAndWithoutClashes) {
    auto& registry = CNMessageRegistry::instance();
    // a class id already held in package 100 refuses the whole family
    EXPECT_NE(registry.registerFamily(MsgFamily{"testfamily", 100, testfamily::kClash}), 0);
    EXPECT_EQ(registry.byTag(testfamily::kClash[0].tag), nullptr);

    ASSERT_EQ(registry.registerFamily(MsgFamily{"testfamily", 200, testfamily::kClasses}), 0);
    EXPECT_NE(registry.registerFamily(MsgFamily{"testfamily", 200, testfamily::kClasses}), 0);
    testfamily::Probe p;
    EXPECT_EQ(p.getTagID(), testfamily::kClasses[0].tag);
    p.setint64(1, 1, 9, p.getTagID(), msgNameCode("count"));
    std::string xml;
    ASSERT_EQ(p.serialize(xml), 0);
    EXPECT_NE(xml.find("<Probe "), std::string::npos);
    std::unique_ptr<CNMessageBase> back;
    ASSERT_EQ(XMLDecoder().decode(xml.data(), xml.size(), back), 0);
    EXPECT_NE(dynamic_cast<testfamily::Probe*>(back.get()), nullptr);
    EXPECT_EQ(back->getint64(1, p.getTagID(), msgNameCode("count")), 9);
}

// CNMessageBase as callers use it: field access by address, ownership of children and lists, copies,
// field-by-field copies between classes, and the log form.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_field.h"

using BR = databrowse::BrowseRequest::f;
using RSP = databrowse::BrowseResponse::f;
using DATA = databrowse::BrowseData::f;
using ITEM = databrowse::BrowseItem::f;

TEST(MessageFields, UnsetFieldsReadAsZeroEmptyOrNull) {
    databrowse::BrowseRequest req;
    EXPECT_FALSE(req.isSet(BR::opType));
    EXPECT_EQ(req.getint64(BR::opType), 0);
    EXPECT_EQ(req.getstring(BR::userName), "");
    EXPECT_EQ(req.getstringByRef(19, 22, req.getTagID(), BR::userName.code), "");
    EXPECT_EQ(req.getpstringobject(BR::credential), nullptr);
    EXPECT_EQ(req.getObjectAccessor(1, 0, 2, 2, req.getTagID(), BR::session.code, 100, 65), nullptr);
    EXPECT_EQ(req.getlistobject(BR::paths, false), nullptr);
    EXPECT_EQ(req.getliststring(4, 4, req.getTagID(), 0x123456, 0), nullptr);
    EXPECT_EQ(req.getlistint(4, 4, req.getTagID(), 0x123456, false), nullptr);
    EXPECT_EQ(req.fieldCount(), 0u);
}

TEST(MessageFields, PresenceIndexAndElementIndexAddressTheSameField) {
    databrowse::BrowseResponse rsp;
    const unsigned long tag = databrowse::BrowseResponse::TAG;
    rsp.setint64(9, 12, 1, tag, 0x36851f);
    rsp.setstring(2, 2, "worker-7", tag, msgNameCode("workerId"));
    EXPECT_TRUE(rsp.isSet(9, tag, 0x36851f));
    EXPECT_EQ(rsp.getint64(12, tag, 0x36851f), 1);
    EXPECT_EQ(rsp.getstring(2, 2, tag, msgNameCode("workerId")), "worker-7");
    // a text field read as an integer gives its number when it is one
    rsp.setstring(RSP::workerId, "42");
    EXPECT_EQ(rsp.getint64(RSP::workerId), 42);
    rsp.setint64(RSP::respType, -5);
    EXPECT_EQ(rsp.getstring(RSP::respType), "-5");
    // setting a field again replaces it, whatever it held
    rsp.setstring(RSP::respType, "x");
    EXPECT_EQ(rsp.getstring(RSP::respType), "x");
    EXPECT_TRUE(rsp.clearField(tag, RSP::respType.code));
    EXPECT_FALSE(rsp.isSet(RSP::respType));
}

// A message of many fields finds each of them, whatever was done to it: fields added one by one past any
// bound, dropped, put in order, copied, moved and swapped; a code set twice reads its first value.
TEST(MessageFields, ManyFieldsAreEachFoundThroughEveryChange) {
    const unsigned long tag = databrowse::BrowseRequest::TAG;
    const auto code = [](int n) { return msgNameCode(("field" + std::to_string(n)).c_str()); };
    const auto holds = [&](CNMessageBase& m, int from, int to, int dropped) {
        for (int n = from; n < to; ++n) {
            const bool gone = dropped > 0 && n % dropped == 0;
            EXPECT_EQ(m.isSet(0, tag, code(n)), !gone) << n;
            if (!gone) {
                EXPECT_EQ(m.getint64(0, tag, code(n)), n) << n;
            }
        }
        EXPECT_FALSE(m.isSet(0, tag, code(to)));
    };
    databrowse::BrowseRequest req;
    req.setint64(BR::opType, 4);
    for (int n = 0; n < 300; ++n) {
        req.setint64(0, 0, n, tag, code(n));
        if (n == 20 || n == 31 || n == 32 || n == 64 || n == 299) holds(req, 0, n + 1, 0);
    }
    req.setint64(0, 0, 7, tag, code(7));  // set again: the same field
    EXPECT_EQ(req.fieldCount(), 301u);
    for (int n = 0; n < 300; n += 5) EXPECT_TRUE(req.clearField(tag, code(n)));
    holds(req, 0, 300, 5);
    EXPECT_EQ(req.getint64(BR::opType), 4);
    req.setstring(BR::userName, "alice");  // declared: out of order behind the undeclared ones
    std::vector<uint32_t> order;
    ASSERT_TRUE(req.declaredFieldOrder(order));
    req.putInDeclaredOrder();
    EXPECT_FALSE(req.declaredFieldOrder(order));
    holds(req, 0, 300, 5);
    EXPECT_EQ(req.getint64(BR::opType), 4);
    EXPECT_EQ(req.getstring(BR::userName), "alice");

    databrowse::BrowseRequest copy = req, assigned;
    assigned = req;
    holds(copy, 0, 300, 5);
    holds(assigned, 0, 300, 5);
    databrowse::BrowseRequest moved = std::move(copy);
    holds(moved, 0, 300, 5);
    databrowse::BrowseRequest few;
    few.setint64(0, 0, 1000, tag, code(1000));
    few.swapContent(moved);
    holds(few, 0, 300, 5);
    EXPECT_EQ(moved.getint64(0, tag, code(1000)), 1000);
    EXPECT_FALSE(moved.isSet(0, tag, code(1)));

    // A code given twice (as a decoder may keep it) reads its first value, searched or indexed.
    for (int count : {3, 40}) {
        CNMessageBase twice = CNMessageBase::withTag(0x12000001);
        for (int n = 0; n < count; ++n) twice.addField(code(n), 0, 0, MsgFieldKind::Int);
        twice.addField(code(1), 0, 0, MsgFieldKind::Int);
        twice.fieldAt(1).num = 11;
        twice.fieldAt(static_cast<size_t>(count)).num = 22;
        EXPECT_EQ(twice.getint64(0, 0x12000001, code(1)), 11) << count;
    }
}

TEST(MessageFields, AnotherClassesTagIsRefused) {
    databrowse::BrowseRequest req;
    req.setint64(1, 1, 3, databrowse::BrowseResponse::TAG, BR::opType.code);
    EXPECT_FALSE(req.isSet(BR::opType));
    req.setint64(BR::opType, 3);
    EXPECT_EQ(req.getint64(1, databrowse::BrowseResponse::TAG, BR::opType.code), 0);
    EXPECT_EQ(req.getint64(1, req.getTagID(), BR::opType.code), 3);
    // a code wider than 24 bits addresses nothing
    req.setint64(1, 1, 3, req.getTagID(), 0x1000000);
    EXPECT_EQ(req.fieldCount(), 1u);
}

TEST(MessageChildren, CreatedChildHasTheRequestedClassAndStaysPut) {
    databrowse::BrowseRequest req;
    CNMessageBase*& slot = req.getObjectAccessor(1, 1, 2, 2, req.getTagID(), BR::session.code, 100, 65);
    ASSERT_NE(slot, nullptr);
    CNMessageBase* session = slot;
    EXPECT_EQ(session->getTagID(), databrowse::BrowseSession::TAG);
    EXPECT_NE(dynamic_cast<databrowse::BrowseSession*>(session), nullptr);
    session->setstring(databrowse::BrowseSession::f::sessionId, "S-1");
    for (int k = 0; k < 50; ++k) req.setint64(k, k, k, req.getTagID(), 0x100 + k);  // many more fields
    EXPECT_EQ(req.getObjectAccessor(BR::session, false), session);
    EXPECT_EQ(session->getstring(databrowse::BrowseSession::f::sessionId), "S-1");
    // a field holding another kind is not handed out as an object
    req.setint64(BR::opType, 1);
    EXPECT_EQ(req.getObjectAccessor(1, 1, 1, 1, req.getTagID(), BR::opType.code, 100, 65), nullptr);
    EXPECT_EQ(req.getint64(BR::opType), 1);
}

TEST(MessageChildren, ListsHoldCopiesOfTheirItems) {
    databrowse::BrowseResult result;
    auto* items = result.getlistobject(databrowse::BrowseResult::f::dataResultSet, true);
    ASSERT_NE(items, nullptr);
    databrowse::BrowseData item;
    item.setstring(DATA::path, "/etc/hosts");
    items->push_back(item);
    item.setstring(DATA::path, "/etc/passwd");
    items->push_back(item);
    item.setstring(DATA::path, "changed later");
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].getstring(DATA::path), "/etc/hosts");
    EXPECT_EQ((*items)[1].getstring(DATA::path), "/etc/passwd");
    EXPECT_EQ((*items)[1].getTagID(), databrowse::BrowseData::TAG);
    EXPECT_EQ(result.getlistobject(databrowse::BrowseResult::f::dataResultSet, false), items);

    databrowse::FilteredBrowseCriteriaValue v;
    v.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {"a", "b"});
    EXPECT_EQ(*v.getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false),
              (std::vector<std::string>{"a", "b"}));
    // a list of numbers set as texts reads as numbers, once every item is one
    const unsigned long tag = v.getTagID();
    v.setliststring(9, 9, {"1", "-2", "3000000000"}, tag, 0x777);
    EXPECT_EQ(v.getlistint(9, 9, tag, 0x777, false), nullptr);  // 3000000000 does not fit
    auto* longs = v.getlistlonglong(9, 9, tag, 0x777, false);
    ASSERT_NE(longs, nullptr);
    EXPECT_EQ(*longs, (std::vector<long long>{1, -2, 3000000000LL}));
    auto* ints = v.getlistint(10, 10, tag, 0x778, true);
    ASSERT_NE(ints, nullptr);
    EXPECT_TRUE(ints->empty());
}

TEST(MessageCopies, CopiesAreDeepAndIndependent) {
    databrowse::BrowseRequest original;
    original.setint64(BR::opType, 2);
    original.getObjectAccessor(BR::session, true)->setstring(databrowse::BrowseSession::f::sessionId, "A");
    auto* paths = original.getlistobject(BR::paths, true);
    databrowse::BrowsePath p;
    p.setstring(databrowse::BrowsePath::f::path, "/home");
    paths->push_back(p);
    original.setpstringobject(BR::credential, bstring("hunter2"));

    databrowse::BrowseRequest copy(original);
    copy.getObjectAccessor(BR::session, false)->setstring(databrowse::BrowseSession::f::sessionId, "B");
    (*copy.getlistobject(BR::paths, false))[0].setstring(databrowse::BrowsePath::f::path, "/tmp");
    copy.getpstringobject(BR::credential)->operator=(pstring(bstring("other"), 1));
    EXPECT_NE(copy.getObjectAccessor(BR::session, false), original.getObjectAccessor(BR::session, false));
    EXPECT_EQ(
        original.getObjectAccessor(BR::session, false)->getstring(databrowse::BrowseSession::f::sessionId),
        "A");
    EXPECT_EQ((*original.getlistobject(BR::paths, false))[0].getstring(databrowse::BrowsePath::f::path),
              "/home");
    EXPECT_EQ(original.getpstringobject(BR::credential)->str(), "hunter2");

    // assignment and "move" (a copy) leave the source as it was
    databrowse::BrowseRequest assigned;
    assigned = original;
    databrowse::BrowseRequest moved(std::move(original));
    EXPECT_EQ(original.getint64(BR::opType), 2);
    EXPECT_EQ(moved.getint64(BR::opType), 2);
    EXPECT_EQ(
        assigned.getObjectAccessor(BR::session, false)->getstring(databrowse::BrowseSession::f::sessionId),
        "A");

    // a child can be stored into its own parent: the copy is taken before the field changes
    CNMessageBase* session = assigned.getObjectAccessor(BR::session, false);
    assigned.setObjectAccessor(*session, BR::session);
    EXPECT_EQ(
        assigned.getObjectAccessor(BR::session, false)->getstring(databrowse::BrowseSession::f::sessionId),
        "A");
}

TEST(MessageCopies, FieldsOfEqualNameCopyBetweenClasses) {
    databrowse::BrowseData data;
    data.setstring(DATA::path, "/srv/a.txt");
    data.setstring(DATA::name, "a.txt");
    data.setint64(DATA::size, 1234);
    data.setint64(DATA::version, 7);  // BrowseItem declares no version
    data.getObjectAccessor(DATA::flags, true)->setint64(databrowse::BrowseItemFlags::f::file, 1);
    EXPECT_EQ(DATA::path.code, 0x346425u);
    EXPECT_EQ(ITEM::path.code, databrowse::BrowsePath::f::path.code);

    databrowse::BrowseItem item;
    EXPECT_EQ(copyFieldsByCode(data, item), 4);
    EXPECT_EQ(item.getstring(ITEM::path), "/srv/a.txt");
    EXPECT_EQ(item.getstring(ITEM::name), "a.txt");
    EXPECT_EQ(item.getint64(33, item.getTagID(), ITEM::size.code), 1234);
    EXPECT_FALSE(item.isSet(0, item.getTagID(), DATA::version.code));
    CNMessageBase* flags = item.getObjectAccessor(ITEM::flags, false);
    ASSERT_NE(flags, nullptr);
    EXPECT_NE(flags, data.getObjectAccessor(DATA::flags, false));
    EXPECT_EQ(flags->getint64(databrowse::BrowseItemFlags::f::file), 1);
    // the item's copy of a field sits at the item's positions
    std::string xml;
    ASSERT_EQ(item.serialize(xml), 0);
    EXPECT_NE(xml.find("path=\"/srv/a.txt\""), std::string::npos);
}

TEST(MessagePasswords, NeverShownInClear) {
    databrowse::BrowseRequest req;
    req.setstring(BR::userName, "alice");
    req.setpstringobject(14, 29, bstring("s3cr3t-pass"), 1, req.getTagID(), BR::credential.code);
    pstring* secret = req.getpstringobject(BR::credential);
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(secret->str(), "s3cr3t-pass");
    EXPECT_EQ(secret->encryptType(), 1);

    std::string log = req.AsString();
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos);
    EXPECT_NE(log.find("********"), std::string::npos);
    EXPECT_NE(log.find("alice"), std::string::npos);

    std::string xml;
    ASSERT_EQ(req.serialize(xml), 0);
    EXPECT_EQ(xml.find("s3cr3t"), std::string::npos);
    databrowse::BrowseRequest back;
    ASSERT_EQ(back.unserialize(xml), 0);
    ASSERT_NE(back.getpstringobject(BR::credential), nullptr);
    EXPECT_EQ(back.getpstringobject(BR::credential)->str(), "s3cr3t-pass");
    // a fresh IV every time: equal passwords never look equal on the wire
    std::string again;
    ASSERT_EQ(back.serialize(again), 0);
    EXPECT_NE(again, xml);
    ASSERT_EQ(back.unserialize(again), 0);
    EXPECT_EQ(back.getpstringobject(BR::credential)->str(), "s3cr3t-pass");
}

TEST(MessageIdentity, ConstructorsNameTheirClass) {
    CNMessageBase byNumber(100, 92);
    EXPECT_EQ(byNumber.getTagID(), 0x644c8485u);
    EXPECT_STREQ(byNumber.className(), "BrowseRequest");
    EXPECT_EQ(byNumber.getClassId(), 92);
    CNMessageBase unknown(100, 9999);
    EXPECT_EQ(unknown.classType(), nullptr);
    EXPECT_EQ(unknown.getPackage(), 100);
    // an object of no class still stores and reads fields
    unknown.setint64(1, 1, 5, unknown.getTagID(), 0x10);
    EXPECT_EQ(unknown.getint64(1, unknown.getTagID(), 0x10), 5);
}

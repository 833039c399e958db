#include "platform/tasks/applproperties.h"

#include <gtest/gtest.h>

#include "platform/tasks/appidinfo.h"
#include "platform/tasks/zydate.h"

namespace {

TEST(ApplProperties, CacheAddsReplacesAndLists) {
    ApplProperties props;
    EXPECT_EQ(props.addToPropCache("Flux Drive User Id", 1, "17", 0), 0);
    EXPECT_EQ(props.addToPropCache("Other", 2, "x", 3), 0);
    EXPECT_EQ(props.updatePropCache(ApplProperty("Flux Drive User Id", 1, "18", 0)), 0);
    PropertiesList list;
    list.push_back(ApplProperty("stale", 0, "", 0));
    EXPECT_EQ(props.getProperties(list, nullptr), 0);
    ASSERT_EQ(list.size(), 2u);
    auto it = list.begin();
    EXPECT_EQ(it->getName(), "Flux Drive User Id");
    EXPECT_EQ(it->getValue(), "18");
    ++it;
    EXPECT_EQ(it->getExtra(), 3);
    std::string v;
    EXPECT_TRUE(props.getPropertyValue("Other", v));
    EXPECT_EQ(v, "x");
    EXPECT_FALSE(props.getPropertyValue("other", v));
}

TEST(ApplBackupContent, ContentAndCase) {
    ApplBackupContent content;
    EXPECT_TRUE(content.isContentCaseSensitive());
    content.setContentCaseInsensitive();
    EXPECT_FALSE(content.isContentCaseSensitive());
    content.setContentCaseSensitive();
    EXPECT_TRUE(content.isContentCaseSensitive());
    content.addToContentCache(1, "/data");
    content.addToContentCache(2, "/home");
    ASSERT_EQ(content.getContentCache().size(), 2u);
    EXPECT_EQ(content.getContentCache()[1].text, "/home");
}

class Loader : public PropCallBack, public ApplProperties {
public:
    int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                              unsigned long extra) override {
        return addToPropCache(name, static_cast<int>(type), value, static_cast<int>(extra));
    }
};

TEST(PropCallBack, BaseUpdateDoesNothing) {
    Loader l;
    PropCallBack& cb = l;
    EXPECT_EQ(cb.getPropertiesCallback("a", 1, "b", 2), 0);
    EXPECT_EQ(cb.getPropertiesCallbackUpdate("a", 1, "c", 2, true), 0);
    std::string v;
    EXPECT_TRUE(l.getPropertyValue("a", v));
    EXPECT_EQ(v, "b");
}

TEST(ZYDate, SetTimeComputesFields) {
    ZYDate d;
    d.setTime(1700000000);  // 2023-11-14 22:13:20 UTC, a Tuesday
    EXPECT_EQ(d.getTime(), 1700000000);
    EXPECT_EQ(d.year(), 2023);
    EXPECT_EQ(d.month(), 11);
    EXPECT_EQ(d.day(), 14);
    EXPECT_EQ(d.hour(), 22);
    EXPECT_EQ(d.minute(), 13);
    EXPECT_EQ(d.second(), 20);
    EXPECT_EQ(d.weekday(), 2);
}

TEST(AppIdInfo, CopiesEveryField) {
    AppIdInfo a;
    a.subclientId = 9;
    a.clientName = "c";
    a.flags = 3;
    AppIdInfo b(a);
    b.subclientId = 10;
    EXPECT_EQ(a.subclientId, 9);
    EXPECT_EQ(b.clientName, "c");
    EXPECT_EQ(b.flags, 3);
}

}  // namespace

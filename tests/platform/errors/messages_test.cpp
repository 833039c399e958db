#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/errors/evevent.h"
#include "platform/errors/eveventlog.h"
#include "platform/errors/evmessagecatalog.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/log/evdebug.h"

namespace {

constexpr unsigned long kEnglish = 0x0409;
constexpr unsigned long kFrench = 0x040c;
constexpr unsigned long kJapanese = 0x0411;  // no texts in the catalogue

std::string defaultLogText() {
    std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

TEST(EvMessageContainerTest, SetMessageIdWithClearDropsEarlierArguments) {
    EvMessageContainer message;
    message << "stale one"
            << "stale two";
    message.SetMessageID(0xe000081, true);
    EXPECT_EQ(message.GetArguments().size(), 0u);
    message << "ma01";
    EXPECT_EQ(message.GetMessageID(), 0xe000081);
    EXPECT_EQ(getErrorMsgContainer(message, kEnglish),
              "Failed to send the browse request to media agent [ma01].");

    message.SetMessageID(0xe000082, false);
    EXPECT_EQ(message.GetArguments().size(), 1u);
}

TEST(EvMessageContainerTest, CopiesAreIndependent) {
    EvMessageContainer source;
    source.SetMessageID(0xe0000e9, true);
    source << "filer1"
           << "filer2";
    source.SetMessageFlags(3);
    source.GetEntities().setClientId(17);
    source.GetEntities().setJobId(99);

    EvMessageContainer copy(source);
    EvMessageContainer assigned;
    assigned << "left over";
    assigned = source;
    for (const EvMessageContainer* c : {&copy, &assigned}) {
        EXPECT_EQ(c->GetMessageID(), 0xe0000e9);
        EXPECT_EQ(c->GetArguments(), source.GetArguments());
        EXPECT_EQ(c->GetMessageFlags(), 3);
        EXPECT_EQ(c->GetEntities(), source.GetEntities());
    }
    copy.Clear();
    assigned << "extra";
    EXPECT_EQ(copy.GetMessageID(), 0);
    EXPECT_EQ(copy.GetArguments().size(), 0u);
    EXPECT_EQ(copy.GetEntities().getClientId(), 0u);
    EXPECT_EQ(source.GetMessageID(), 0xe0000e9);
    ASSERT_EQ(source.GetArguments().size(), 2u);
    EXPECT_EQ(source.GetArguments().text(0), "filer1");
    EXPECT_EQ(source.GetArguments().text(1), "filer2");
    EXPECT_EQ(source.GetEntities().getJobId(), 99u);
    EXPECT_NE(getErrorMsgContainer(source, kEnglish).find("file server [filer1]"), std::string::npos);
}

TEST(GetErrorMsgContainerTest, RendersInAKnownLocaleAndFallsBackToEnglishWithAWarning) {
    EvMessageContainer message;
    message.SetMessageID(0xe00012d, true);
    message << "ma-power";
    EXPECT_EQ(getErrorMsgContainer(message, kFrench),
              "Échec de la mise sous tension de l'agent média [ma-power].");
    // Another French locale (Belgium) takes the language's text.
    EXPECT_EQ(getErrorMsgContainer(message, 0x080c),
              "Échec de la mise sous tension de l'agent média [ma-power].");

    const std::string warning =
        "ErrorContainer 0 WARNING: event.getLocaleId() failed to return LocalId. US_NO_LOCALE_ID_SET will be "
        "used.";
    const size_t before = defaultLogText().size();
    std::string text;
    getErrorMsgContainer(text, message, kJapanese);
    EXPECT_EQ(text, "Failed to power on media agent [ma-power].");
    EXPECT_NE(defaultLogText().find(warning, before), std::string::npos);
    EXPECT_EQ(getErrorMsgContainer(message, 0), "Failed to power on media agent [ma-power].");
}

TEST(GetErrorMsgContainerTest, TruncatesToTheBuffer) {
    EvMessageContainer message;
    message.SetMessageID(0xe000081, true);
    const std::string longName(5000, 'm');
    message << longName.c_str();
    const std::string text = getErrorMsgContainer(message, kEnglish);
    EXPECT_EQ(text.size(), 4103u);
    EXPECT_EQ(text.rfind("Failed to send the browse request to media agent [mmm", 0), 0u);
}

TEST(GetErrorMsgContainerTest, NoMessageGivesANoticeNotACrash) {
    EvMessageContainer none;
    EXPECT_EQ(getErrorMsgContainer(none, kEnglish), "Message 0x0");
    none.SetMessageID(0x7654321, true);
    none << "x";
    EXPECT_EQ(getErrorMsgContainer(none, kEnglish), "Message 0x7654321 [x]");
}

TEST(EvEventTest, LocaleIsReportedOnlyWhenSetAndKnown) {
    EvEvent event;
    unsigned long locale = 123;
    EXPECT_FALSE(event.getLocaleId(locale));
    EXPECT_EQ(locale, kEnglish);
    event.setLocaleId(kFrench);
    EXPECT_TRUE(event.getLocaleId(locale));
    EXPECT_EQ(locale, kFrench);
    event.setLocaleId(kJapanese);
    EXPECT_FALSE(event.getLocaleId(locale));
    EXPECT_EQ(locale, kEnglish);
}

TEST(EvEventTest, EvPrintfKeepsToTheGivenSize) {
    EvEvent event;
    event << "ma01";
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(event.evPrintf(0xe000081, buffer, 10, kEnglish), 9);
    EXPECT_STREQ(buffer, "Failed to");
    EXPECT_EQ(buffer[10], '#');

    buffer[0] = '#';
    EXPECT_EQ(event.evPrintf(0xe000081, buffer, 0, kEnglish), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(event.evPrintf(0xe000081, buffer, 1, kEnglish), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(event.evPrintf(0xe000081, nullptr, 100, kEnglish), 0);
}

TEST(EvEventTest, TruncationNeverSplitsACharacter) {
    EvEvent event;
    char buffer[8];
    // The French text opens with 'É', two bytes: a three-byte buffer holds it, a two-byte one cannot.
    event << "ma";
    const int written = event.evPrintf(0xe00012d, buffer, 3, kFrench);
    EXPECT_EQ(written, 2);
    EXPECT_STREQ(buffer, "\xc3\x89");
    EXPECT_EQ(event.evPrintf(0xe00012d, buffer, 2, kFrench), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(EvEventTest, ArgumentListsAppendInOrderAndUnknownTypesAreRefused) {
    ArgumentInfo list;
    list << "first"
         << "second";
    EXPECT_FALSE(list.AddArgument("bad", 3));
    EXPECT_EQ(list.size(), 2u);
    EvEvent event;
    event << &list << "third";
    event << static_cast<const ArgumentInfo*>(nullptr);
    ASSERT_EQ(event.getArguments().size(), 3u);
    EXPECT_EQ(event.getArguments().text(2), "third");
    char buffer[256];
    event.evPrintf(0xe0000e9, buffer, sizeof(buffer), kEnglish);
    EXPECT_NE(std::string(buffer).find("file server [first]"), std::string::npos);
    EXPECT_NE(std::string(buffer).find("file server [second]"), std::string::npos);
}

TEST(EvEventTest, MinorEventIsRecordedInTheEventLog) {
    EvEventLog::instance().clear();
    EvEvent event;
    event << "ma-down";
    EXPECT_EQ(event.MinorEvent(0x18000047, 0, 0), 0);
    const std::vector<EvEventRecord> events = EvEventLog::instance().events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventId, 0x18000047);
    EXPECT_EQ(events[0].jobId, 0);
    EXPECT_EQ(events[0].arguments, std::vector<std::string>{"ma-down"});
    EXPECT_EQ(events[0].text, "The browse request could not be sent to media agent [ma-down].");
    EXPECT_GT(events[0].raisedAt, 0);
}

TEST(EvMessageCatalogTest, PlaceholdersExpandByNumber) {
    ArgumentInfo args;
    args << "a"
         << "b";
    EXPECT_EQ(EvMessageCatalog::expand("%2-%1 %% %3|%x %", args), "b-a % |%x %");
    EXPECT_EQ(EvMessageCatalog::expand("%12", args), "");
}

TEST(EvMessageCatalogTest, EveryMessageTheServiceRaisesHasAnEnglishText) {
    const unsigned long ids[] = {0xe00002b, 0xe00007e, 0xe000080,  0xe000081,  0xe000082, 0xe0000bd,
                                 0xe0000d2, 0xe0000e0, 0xe0000e1,  0xe0000e4,  0xe0000e9, 0xe0000ed,
                                 0xe0000ee, 0xe00010d, 0xe00010e,  0xe000111,  0xe000126, 0xe00012d,
                                 0xe000136, 0xe000138, 0x23000746, 0x23000747, 0x18000047};
    for (unsigned long id : ids) {
        const char* english = EvMessageCatalog::findFormat(id, kEnglish);
        ASSERT_NE(english, nullptr) << std::hex << id;
        EXPECT_GT(std::strlen(english), 10u);
        EXPECT_EQ(EvMessageCatalog::findFormat(id, kJapanese), english) << std::hex << id;
    }
}

}  // namespace

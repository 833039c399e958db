// The end of a request's answer on its own: an end held back and released once, with or without its
// text, an end dropped or superseded by the count pass, and nothing admitted once the end went out.
#include "worker/replychannel.h"

#include <gtest/gtest.h>

TEST(ReplyChannel, HeldEndIsReleasedOnce) {
    CReplyChannel channel;
    EXPECT_FALSE(channel.keepEnd("<end/>")) << "an end goes through unless one is held back";
    channel.holdEnd();
    EXPECT_TRUE(channel.keepEnd("<first/>"));
    EXPECT_TRUE(channel.keepEnd("<end/>"));  // the later end is the one the caller gets
    auto held = channel.releaseEnd();
    ASSERT_TRUE(held.has_value());
    EXPECT_STREQ(held->text(), "<end/>");
    EXPECT_FALSE(channel.releaseEnd().has_value()) << "a held end is handed back once";
    EXPECT_FALSE(channel.keepEnd("<after/>")) << "releasing stops holding";

    // An end that came without a text is still an end.
    channel.holdEnd();
    EXPECT_TRUE(channel.keepEnd(nullptr));
    held = channel.releaseEnd();
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ(held->text(), nullptr);
}

TEST(ReplyChannel, DroppedSupersededAndSentEnds) {
    CReplyChannel channel;
    channel.holdEnd();
    EXPECT_TRUE(channel.keepEnd("<page/>"));
    channel.dropEnd();
    EXPECT_FALSE(channel.releaseEnd().has_value()) << "a dropped end never reaches the caller";

    // The page's end gives way to the count pass, whose own end goes through.
    channel.holdEnd();
    EXPECT_TRUE(channel.keepEnd("<page/>"));
    channel.beginCountPass();
    EXPECT_TRUE(channel.countPass());
    EXPECT_FALSE(channel.keepEnd("<count/>"));
    channel.endCountPass();
    EXPECT_FALSE(channel.countPass());
    EXPECT_FALSE(channel.releaseEnd().has_value()) << "the page's end was superseded";

    EXPECT_TRUE(channel.admits("<item/>"));
    channel.markEndSent();
    EXPECT_TRUE(channel.endSent());
    EXPECT_FALSE(channel.admits("<end/>")) << "a second end is never sent";
}

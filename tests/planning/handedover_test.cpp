// The sessions handed to their callers: kept with their owner and media agent until forgotten or
// expired, and never more than the bound, the oldest giving way.
#include "planning/handedover.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CHandedOverSessions::TSession session(int user, const std::string& agent) {
    CHandedOverSessions::TSession s;
    s.owner.userId = user;
    s.mediaAgent = agent;
    return s;
}

TEST(HandedOverSessions, KeptUntilForgottenOrExpiredAndBounded) {
    CHandedOverSessions& sessions = CHandedOverSessions::instance();
    sessions.remember("kept", session(7, "agent-a"));
    sessions.remember("kept", session(8, "agent-b"));  // renewed: the later hand-over counts
    CHandedOverSessions::TSession found;
    ASSERT_TRUE(sessions.find("kept", found));
    EXPECT_EQ(found.owner.userId, 8);
    EXPECT_EQ(found.mediaAgent, "agent-b");
    EXPECT_TRUE(sessions.forget("kept"));
    EXPECT_FALSE(sessions.find("kept", found));
    EXPECT_FALSE(sessions.forget("kept"));

    sessions.remember("expired", session(1, "agent"), std::chrono::seconds(0));
    EXPECT_FALSE(sessions.find("expired", found));
    sessions.remember("", session(1, "agent"));
    EXPECT_FALSE(sessions.find("", found));

    for (size_t n = 0; n < CHandedOverSessions::kMaxSessions + 10; ++n)
        sessions.remember("bounded-" + std::to_string(n), session(1, "agent"));
    EXPECT_EQ(sessions.size(), CHandedOverSessions::kMaxSessions);
    EXPECT_FALSE(sessions.find("bounded-0", found)) << "the oldest gave way";
    EXPECT_TRUE(sessions.find("bounded-" + std::to_string(CHandedOverSessions::kMaxSessions + 9), found));
    for (size_t n = 0; n < CHandedOverSessions::kMaxSessions + 10; ++n)
        sessions.forget("bounded-" + std::to_string(n));
    EXPECT_EQ(sessions.size(), 0u);
}

}  // namespace

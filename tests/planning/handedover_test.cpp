// The sessions handed to their callers: kept with their owner and media agent until forgotten or
// expired; none gives way to another, and each owner holds at most its own share.
#include "planning/handedover.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ERemembered = CHandedOverSessions::ERemembered;

CHandedOverSessions::TSession session(int user, const std::string& agent, unsigned long callerClient = 0) {
    CHandedOverSessions::TSession s;
    s.owner.userId = user;
    s.owner.callerClientId = callerClient;
    s.mediaAgent = agent;
    return s;
}

TEST(HandedOverSessions, KeptUntilForgottenOrExpiredAndRenewedOnlyByTheirOwner) {
    CHandedOverSessions& sessions = CHandedOverSessions::instance();
    sessions.restart(CHubClock::real());  // the program's other suites browsed sessions of their own
    EXPECT_EQ(sessions.remember("kept", session(7, "agent-a")), ERemembered::kKept);
    EXPECT_EQ(sessions.remember("kept", session(7, "agent-b")), ERemembered::kKept);  // renewed
    EXPECT_EQ(sessions.remember("kept", session(8, "agent-c")), ERemembered::kOtherOwner);
    CHandedOverSessions::TSession found;
    ASSERT_TRUE(sessions.find("kept", found));
    EXPECT_EQ(found.owner.userId, 7);
    EXPECT_EQ(found.mediaAgent, "agent-b");
    // Her browse with no agent of its own leaves the agent her prepared request was handed to.
    EXPECT_EQ(sessions.remember("kept", session(7, "")), ERemembered::kKept);
    ASSERT_TRUE(sessions.find("kept", found));
    EXPECT_EQ(found.mediaAgent, "agent-b");
    EXPECT_TRUE(sessions.forget("kept"));
    EXPECT_FALSE(sessions.find("kept", found));
    EXPECT_FALSE(sessions.forget("kept"));

    sessions.remember("expired", session(1, "agent"), std::chrono::seconds(0));
    EXPECT_FALSE(sessions.find("expired", found));
    // An expired session is free for whoever hands it over next.
    EXPECT_EQ(sessions.remember("expired", session(2, "agent")), ERemembered::kKept);
    EXPECT_TRUE(sessions.forget("expired"));
    sessions.remember("", session(1, "agent"));
    EXPECT_FALSE(sessions.find("", found));
    EXPECT_EQ(sessions.size(), 0u);
}

// One caller handing over many sessions never makes the service forget another's, and is never refused
// for it: past its share its own oldest session gives way, while others still hand over theirs.
TEST(HandedOverSessions, OneOwnerCannotEvictAnothersSessions) {
    CHandedOverSessions& sessions = CHandedOverSessions::instance();
    sessions.restart(CHubClock::real());  // the program's other suites browsed sessions of their own
    ASSERT_EQ(sessions.remember("admins", session(1, "agent")), ERemembered::kKept);
    ASSERT_EQ(sessions.remember("clients", session(0, "agent", 44)), ERemembered::kKept);
    const size_t many = CHandedOverSessions::kMaxSessions + 10;
    for (size_t n = 0; n < many; ++n)
        ASSERT_EQ(sessions.remember("alices-" + std::to_string(n), session(2, "agent")), ERemembered::kKept);
    EXPECT_EQ(sessions.size(), CHandedOverSessions::kMaxSessionsPerOwner + 2);
    CHandedOverSessions::TSession found;
    ASSERT_TRUE(sessions.find("admins", found));
    EXPECT_EQ(found.owner.userId, 1);
    ASSERT_TRUE(sessions.find("clients", found));
    EXPECT_EQ(found.owner.callerClientId, 44u);
    // Her own oldest gave way, yet stays hers (its browse may still run): nobody else takes it over.
    ASSERT_TRUE(sessions.find("alices-0", found));
    EXPECT_EQ(found.owner.userId, 2);
    EXPECT_EQ(sessions.remember("alices-0", session(3, "agent")), ERemembered::kOtherOwner);
    // Its agent told to stop it, it stays hers, with no agent left to tell.
    EXPECT_TRUE(sessions.endHandOver("alices-0"));
    EXPECT_FALSE(sessions.endHandOver("alices-0"));
    ASSERT_TRUE(sessions.find("alices-0", found));
    EXPECT_EQ(found.owner.userId, 2);
    EXPECT_EQ(found.mediaAgent, "");
    EXPECT_EQ(sessions.remember("alices-0", session(3, "agent")), ERemembered::kOtherOwner);
    ASSERT_TRUE(sessions.find("alices-" + std::to_string(many - 1), found));
    EXPECT_EQ(found.owner.userId, 2);
    ASSERT_TRUE(
        sessions.find("alices-" + std::to_string(many - CHandedOverSessions::kMaxSessionsPerOwner), found));
    // Another caller without a user is a share of its own.
    EXPECT_EQ(sessions.remember("other-client", session(0, "agent", 45)), ERemembered::kKept);
    // A session given back frees its owner's place without touching the rest.
    EXPECT_TRUE(sessions.forget("alices-" + std::to_string(many - 1)));
    EXPECT_EQ(sessions.remember("alices-more", session(2, "agent")), ERemembered::kKept);
    EXPECT_TRUE(
        sessions.find("alices-" + std::to_string(many - CHandedOverSessions::kMaxSessionsPerOwner), found));

    // Many owners together still stop at the bound in all, and nobody's session gives way for them.
    size_t users = 0;
    while (sessions.size() < CHandedOverSessions::kMaxSessions) {
        const int user = 100 + static_cast<int>(users++);
        for (size_t n = 0; n < CHandedOverSessions::kMaxSessionsPerOwner &&
                           sessions.size() < CHandedOverSessions::kMaxSessions;
             ++n)
            ASSERT_EQ(
                sessions.remember("u" + std::to_string(user) + "-" + std::to_string(n), session(user, "a")),
                ERemembered::kKept);
    }
    EXPECT_EQ(sessions.remember("one-too-many", session(99, "agent")), ERemembered::kFull);
    EXPECT_TRUE(sessions.find("admins", found));
    EXPECT_EQ(sessions.size(), CHandedOverSessions::kMaxSessions);

    sessions.forget("admins");
    sessions.forget("clients");
    sessions.forget("other-client");
    sessions.forget("alices-more");
    for (size_t n = 0; n < many; ++n) sessions.forget("alices-" + std::to_string(n));
    for (size_t u = 0; u < users; ++u)
        for (size_t n = 0; n < CHandedOverSessions::kMaxSessionsPerOwner; ++n)
            sessions.forget("u" + std::to_string(100 + u) + "-" + std::to_string(n));
    EXPECT_EQ(sessions.size(), 0u);
}

// A session is kept for its keep on the table's own clock, and then forgotten.
TEST(HandedOverSessions, KeptForTheirKeepOnTheTablesClock) {
    CHubManualClock clock;
    CHandedOverSessions sessions(clock);
    ASSERT_EQ(sessions.remember("s", session(2, "agent"), std::chrono::seconds(60)), ERemembered::kKept);
    CHandedOverSessions::TSession found;
    clock.advance(std::chrono::seconds(59));
    EXPECT_TRUE(sessions.find("s", found));
    EXPECT_EQ(sessions.remember("s", session(3, "agent")), ERemembered::kOtherOwner);
    clock.advance(std::chrono::seconds(1));
    EXPECT_FALSE(sessions.find("s", found));
    EXPECT_EQ(sessions.remember("s", session(3, "agent")), ERemembered::kKept);

    // One that gave way past its owner's share is kept for the rest of its keep, and no longer.
    for (size_t n = 0; n <= CHandedOverSessions::kMaxSessionsPerOwner; ++n)
        sessions.remember("many-" + std::to_string(n), session(4, "agent"), std::chrono::seconds(60));
    clock.advance(std::chrono::seconds(59));
    ASSERT_TRUE(sessions.find("many-0", found));
    EXPECT_EQ(found.owner.userId, 4);
    EXPECT_EQ(sessions.remember("many-0", session(5, "agent")), ERemembered::kOtherOwner);
    clock.advance(std::chrono::seconds(1));
    EXPECT_FALSE(sessions.find("many-0", found));
    EXPECT_EQ(sessions.remember("many-0", session(5, "agent")), ERemembered::kKept);
}

}  // namespace

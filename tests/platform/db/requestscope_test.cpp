// The request scope as the request's context: the memos of what a request reads are held by its scope,
// reached through the scope handed to each step; a scope opened inside another is the same request; each
// thread's request is its own; the memos carry into the thread's next request only while the database
// is unchanged.
#include "platform/db/requestscope.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "tests/platform/db/tempdir.h"

using namespace zydb;

namespace {

struct TAnswers {
    std::string seen;
};
struct TOtherAnswers {
    int asked = 0;
};

class RequestScope : public ::testing::Test {
protected:
    void SetUp() override {
        DbOpenOptions o;
        o.create = true;
        std::string err;
        ASSERT_EQ(CDbEnv::open(dir.file("scope.db"), o, &err), DB_OK) << err;
        ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("CREATE TABLE t (v INTEGER)"), DB_OK);
    }
    void TearDown() override { CDbEnv::close(); }

    TempDir dir;
};

TEST_F(RequestScope, TheScopeHoldsItsRequestsMemosAndAScopeInsideItJoinsIt) {
    EXPECT_EQ(CRequestReads::current(), nullptr);
    EXPECT_EQ(threadRequestMemo<TAnswers>(), nullptr);
    {
        CRequestReads request;
        EXPECT_EQ(CRequestReads::current(), &request);
        TAnswers* answers = request.memo<TAnswers>();
        ASSERT_NE(answers, nullptr);
        answers->seen = "first";
        EXPECT_EQ(request.memo<TAnswers>(), answers);
        // Each reader's memo is its own.
        EXPECT_NE(static_cast<void*>(request.memo<TOtherAnswers>()), static_cast<void*>(answers));
        {
            CRequestReads inner;
            EXPECT_EQ(CRequestReads::current(), &request);
            EXPECT_EQ(inner.memo<TAnswers>(), answers);
            EXPECT_EQ(threadRequestMemo<TAnswers>(), answers);
        }
        EXPECT_EQ(request.memo<TAnswers>()->seen, "first");

        // Another thread's request keeps memos of its own.
        std::string otherSaw = "unset";
        std::thread other([&] {
            EXPECT_EQ(CRequestReads::current(), nullptr);
            CRequestReads theirs;
            otherSaw = theirs.memo<TAnswers>()->seen;
            theirs.memo<TAnswers>()->seen = "theirs";
        });
        other.join();
        EXPECT_EQ(otherSaw, "");
        EXPECT_EQ(request.memo<TAnswers>()->seen, "first");
    }
    EXPECT_EQ(CRequestReads::current(), nullptr);
}

TEST_F(RequestScope, MemosCarryIntoTheNextRequestOnlyWhileTheDatabaseIsUnchanged) {
    {
        CRequestReads request;
        request.memo<TAnswers>()->seen = "kept";
    }
    {
        CRequestReads next;
        EXPECT_EQ(next.memo<TAnswers>()->seen, "kept");
    }
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("INSERT INTO t VALUES (1)"), DB_OK);
    {
        CRequestReads afterAWrite;
        EXPECT_EQ(afterAWrite.memo<TAnswers>()->seen, "");
        afterAWrite.memo<TAnswers>()->seen = "again";
    }
    // A request that reads nothing leaves the memos to the next one that does.
    { CRequestReads relay; }
    CRequestReads last;
    EXPECT_EQ(last.memo<TAnswers>()->seen, "again");
}

// The memos are kept with the connection they were read through, not with a thread: a server hands its
// threads' connections on from one to the next (a thread that waits for work, or ends, gives its
// connection back), and the next request on the connection, of whatever thread, finds them while the
// database is unchanged; never after a commit, nor when they grew too large to keep.
TEST_F(RequestScope, MemosFollowTheConnectionToTheNextThreadOnlyWhileTheDatabaseIsUnchanged) {
    auto onAThreadOfItsOwn = [](const std::function<void()>& work) {
        std::thread t([&] {
            work();
            CDbEnv::releaseThreadConnection();
        });
        t.join();
    };
    onAThreadOfItsOwn([] {
        CRequestReads request;
        request.memo<TAnswers>()->seen = "read by the first thread";
    });
    std::string seen = "unset";
    onAThreadOfItsOwn([&] {
        CRequestReads request;
        seen = request.memo<TAnswers>()->seen;
    });
    EXPECT_EQ(seen, "read by the first thread");

    // A commit through any connection: what the memos hold may be stale, the next thread reads afresh.
    ASSERT_EQ(CDbEnv::newConnection(nullptr)->exec("INSERT INTO t VALUES (1)"), DB_OK);
    onAThreadOfItsOwn([&] {
        CRequestReads request;
        seen = request.memo<TAnswers>()->seen;
        request.memo<TAnswers>()->seen = "after the commit";
    });
    EXPECT_EQ(seen, "");
    onAThreadOfItsOwn([&] {
        CRequestReads request;
        seen = request.memo<TAnswers>()->seen;
    });
    EXPECT_EQ(seen, "after the commit");

    // Memos that grew past their bound are not kept.
    struct TManyAnswers {
        std::vector<int> answers;
        size_t size() const { return answers.size(); }
    };
    onAThreadOfItsOwn([] {
        CRequestReads request;
        request.memo<TAnswers>()->seen = "beside too many";
        request.memo<TManyAnswers>()->answers.assign(100000, 1);
    });
    onAThreadOfItsOwn([&] {
        CRequestReads request;
        seen = request.memo<TAnswers>()->seen;
    });
    EXPECT_EQ(seen, "");
}

}  // namespace

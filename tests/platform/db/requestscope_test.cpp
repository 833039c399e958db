// The request scope as the request's context: the memos of what a request reads are held by its scope,
// reached through the scope handed to each step; a scope opened inside another is the same request; each
// thread's request is its own; the memos carry into the thread's next request only while the database
// is unchanged.
#include "platform/db/requestscope.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <locale>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "Db/Tbl/APP_Client.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/msg/msg_classes.h"
#include "platform/security/zetatoken.h"
#include "platform/threads/hubclock.h"
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

// A memo is carried on to later requests of any caller, so its type holds only what the database gives.
// The walk: each part a memo may not hold, in every place a memo holds a part (itself, a container's
// element, a map's key or value, a pair's or a tuple's, a plain record's field, what an owning pointer
// owns, nested), is refused by memo() and named by the rule it breaks; each part a memo may hold is
// accepted in the same places.
template <class Memo>
constexpr bool kMemoAccepted = requires(CRequestReads& r) {
    r.memo<Memo>();
};

template <class Part>
struct TInRecord {
    long id = 0;
    std::string name;
    Part part;
};
template <class Part>
using TPlaces = std::tuple<Part, std::vector<Part>, std::map<Part, int>, std::map<std::string, Part>,
                           std::pair<int, Part>, std::tuple<std::string, Part>, TInRecord<Part>,
                           std::shared_ptr<const Part>, std::optional<Part>,
                           std::vector<TInRecord<std::shared_ptr<const Part>>>>;

// Rule 0: accepted in every place, holding nothing refused; else refused in every place, by that rule.
template <unsigned Rule, class Part>
constexpr bool judgedEverywhere() {
    return []<class... Memo>(std::type_identity<std::tuple<Memo...>>) {
        return (((Rule == 0) == kMemoAccepted<Memo> &&
                 (Rule == 0 ? memo::refusalsOf<Memo>() == 0 : (memo::refusalsOf<Memo>() & Rule) != 0)) &&
                ...);
    }(std::type_identity<TPlaces<Part>>{});
}
enum class EKind { kFile, kFolder };

// The clock, a caller's request, token or scope, a locale, the registry; what points elsewhere; a class
// with state of its own that no one declared as read.
static_assert(judgedEverywhere<memo::kOutside, std::chrono::steady_clock::time_point>());
static_assert(judgedEverywhere<memo::kOutside, CHubManualClock>());
static_assert(judgedEverywhere<memo::kOutside, const CHubClock*>());
static_assert(judgedEverywhere<memo::kOutside, databrowse::BrowseRequest>());
static_assert(judgedEverywhere<memo::kOutside, TZetaTokenClaims>());
static_assert(judgedEverywhere<memo::kOutside, CRequestReads*>());
static_assert(judgedEverywhere<memo::kOutside, std::locale>());
static_assert(judgedEverywhere<memo::kOutside, EvMessageContainer>());
static_assert(judgedEverywhere<memo::kOutside, ZYPlatformInfo*>());
static_assert(judgedEverywhere<memo::kIndirect, long*>());
static_assert(judgedEverywhere<memo::kIndirect, std::string_view>());
static_assert(judgedEverywhere<memo::kUndeclared, ZYPlatformInfo::CReadScope>());
static_assert(!kMemoAccepted<TInRecord<const std::string&>> && !kMemoAccepted<TInRecord<const CHubClock&>>);
// What a read gives, and the catalogue's constants.
static_assert(judgedEverywhere<0, long long>() && judgedEverywhere<0, EKind>());
static_assert(judgedEverywhere<0, std::string>() && judgedEverywhere<0, DbValue>());
static_assert(judgedEverywhere<0, APP_Client_t>() && judgedEverywhere<0, const MsgFieldRef*>());

}  // namespace

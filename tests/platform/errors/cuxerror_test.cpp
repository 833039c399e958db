#include "platform/errors/cuxerror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/errors/bstring.h"
#include "platform/errors/cuxstring.h"
#include "platform/errors/fxerrorutil.h"

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(CUxErrorTest, OnlyNegativeCodesAreErrors) {
    EXPECT_FALSE(CUxError().IsError());
    EXPECT_FALSE(CUxError::Success().IsError());
    EXPECT_EQ(CUxError::Success().GetErrorCode(), 0);
    EXPECT_FALSE(CUxError(5, nullptr).IsError());
    EXPECT_TRUE(CUxError(-1, nullptr).IsError());
    EXPECT_EQ(CUxError(-1, nullptr).GetErrorCode(), -1);
}

TEST(CUxErrorTest, CopiesShareTheTraceAndKeepTheCode) {
    CUxError original =
        FXErrorUtil::ErrorInt(-12, FXCodeLocation("fastbrowsehm", "int open()", 10), "open failed");
    CUxError copy(original);
    CUxError assigned;
    assigned = original;
    copy.Push(FXCodeLocation("fastbrowsehm", "bool browse()", 20));
    assigned.Push(FXCodeLocation("controller", "void run()", 30));

    EXPECT_EQ(copy.GetErrorCode(), -12);
    EXPECT_EQ(assigned.GetErrorCode(), -12);
    const std::string text = original.AsString();
    EXPECT_NE(text.find("-12"), std::string::npos);
    EXPECT_NE(text.find("open failed"), std::string::npos);
    const size_t first = text.find("fastbrowsehm:int open():10");
    const size_t second = text.find("fastbrowsehm:bool browse():20");
    const size_t third = text.find("controller:void run():30");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(copy.AsString(), text);
}

TEST(CUxErrorTest, PushOnASuccessKeepsItASuccess) {
    CUxError ok;
    ok.Push(FXCodeLocation("f", "g()", 1));
    EXPECT_FALSE(ok.IsError());
    EXPECT_NE(ok.AsString().find("f:g():1"), std::string::npos);
}

TEST(CUxErrorTest, ConcurrentPushesThroughCopiesAreAllKept) {
    CUxError error = FXErrorUtil::ErrorInt(-3, FXCodeLocation("f", "g()", 1));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([copy = error]() mutable {
            for (int i = 0; i < 200; ++i) copy.Push(FXCodeLocation("t", "h()", 2));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(occurrences(error.AsString(), " at t:h():2"), 8u * 200u);
}

TEST(FXErrorUtilTest, FailuresAreNeverTakenForSuccess) {
    const FXCodeLocation here("fbhmvsautils", "CUxError lookup()", 42);
    EXPECT_EQ(FXErrorUtil::ErrorInt(-7, here).GetErrorCode(), -7);
    EXPECT_EQ(FXErrorUtil::ErrorInt(1, here).GetErrorCode(), -1);
    EXPECT_EQ(FXErrorUtil::ErrorInt(0, here).GetErrorCode(), -1);

    CUxError fromErrno = FXErrorUtil::ErrorErrNo(ENOENT, here, "no index server");
    EXPECT_TRUE(fromErrno.IsError());
    EXPECT_EQ(fromErrno.GetErrorCode(), -ENOENT);
    EXPECT_EQ(fromErrno.GetErrorText(), "no index server");
    const std::string text = fromErrno.AsString();
    EXPECT_NE(text.find("No such file or directory"), std::string::npos);
    EXPECT_NE(text.find("fbhmvsautils:CUxError lookup():42"), std::string::npos);
    EXPECT_TRUE(FXErrorUtil::ErrorErrNo(1, here).IsError());
}

TEST(CUxStringTest, EmptyStringsGiveAnEmptyTextNeverNull) {
    CUxString empty;
    ASSERT_NE(empty.c_str(), nullptr);
    EXPECT_STREQ(empty.c_str(), "");
    EXPECT_STREQ(static_cast<const char*>(CUxString(static_cast<const char*>(nullptr))), "");
    EXPECT_STREQ(CUxString("").c_str(), "");

    CUxString name("mediaagent01");
    CUxString copy(name);
    name = CUxString(std::string("other"));
    EXPECT_STREQ(copy, "mediaagent01");
    EXPECT_EQ(copy.length(), 12u);
    EXPECT_STREQ(name.c_str(), "other");
}

TEST(BstringTest, HoldsAnIndependentCopyOfItsText) {
    std::string secret = "s3cret";
    bstring password(secret);
    bstring copy(password);
    secret[0] = 'X';
    password.str() = "changed";
    EXPECT_EQ(copy.str(), "s3cret");
    EXPECT_EQ(copy.size(), 6u);
    EXPECT_EQ(password.size(), 7u);
}

}  // namespace

#include "framework/cautomemory.h"

#include <gtest/gtest.h>

namespace {

TEST(CAutoMemory, OwnedBufferIsFreedByRelease) {
    CAutoMemory<char> m;
    char* p = m.Allocate(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(m.Ptr_const(), p);
    EXPECT_EQ(m.Size(), 16u);
    m.Release();
    EXPECT_EQ(m.Ptr(), nullptr);
    EXPECT_EQ(m.Size(), 0u);
    EXPECT_EQ(m.Capacity(), 0u);
    m.Release();  // nothing held: nothing happens
}

TEST(CAutoMemory, ReleaseNeverFreesWhatItDoesNotOwn) {
    // Under AddressSanitizer a free of this stack buffer would abort the test.
    char stackBuffer[32] = "caller's text";
    {
        CAutoMemory<char> m;
        m.Attach(stackBuffer, sizeof(stackBuffer), false);
        EXPECT_EQ(m.Ptr_const(), stackBuffer);
        m.Release();
        EXPECT_EQ(m.Ptr(), nullptr);
    }
    {
        CAutoMemory<char> m;
        m.Attach(stackBuffer, sizeof(stackBuffer), false);
    }  // destructor leaves it alone too
    EXPECT_STREQ(stackBuffer, "caller's text");
}

TEST(CAutoMemory, DestructorFreesAnOwnedBuffer) {
    // Checked for leaks under LeakSanitizer.
    CAutoMemory<char> m;
    m.Attach(new char[10], 10, true);
    EXPECT_TRUE(m.Owns());
}

TEST(CAutoMemory, PtrConstIsNullWhenTheSecondCountIsZero) {
    CAutoMemory<char> m;
    m.Allocate(8);
    m.SetSize(0);
    EXPECT_NE(m.Ptr(), nullptr);
    EXPECT_EQ(m.Ptr_const(), nullptr);
    m.SetSize(100);
    EXPECT_EQ(m.Size(), 8u);
}

TEST(CAutoMemory, DetachAndMove) {
    CAutoMemory<char> a;
    a.Allocate(4);
    CAutoMemory<char> b(std::move(a));
    EXPECT_EQ(a.Ptr(), nullptr);
    ASSERT_NE(b.Ptr(), nullptr);
    char* p = b.Detach();
    EXPECT_EQ(b.Ptr(), nullptr);
    delete[] p;
}

}  // namespace

// The archive manager's link seam reaches into libhubplatform.so: a test program that links the shared
// library (as every service test does) and hub_test_archive_faults plants failures in the shipped code.
#include <gtest/gtest.h>

#include "platform/archive/archivemanagerhm.h"
#include "tests/support/archive/archmgr_faults.h"

TEST(ArchiveManagerSeam, PlantsFailuresInTheSharedLibrary) {
    ArchiveManagerHM am(nullptr);
    ASSERT_TRUE(
        hubtest::injectArchMgrFault({.op = ArchMgrOp::getDefaultSnapCopy, .result = 55, .subject = 9}));
    int copy = -1;
    EXPECT_EQ(am.getDefaultSnapCopy(9, copy), 55);
    EXPECT_EQ(copy, -1);
    // Another policy runs for real: no database is open, so it fails otherwise.
    EXPECT_NE(am.getDefaultSnapCopy(8, copy), 55);
    hubtest::clearArchMgrFaults();
    EXPECT_NE(am.getDefaultSnapCopy(9, copy), 55);
}

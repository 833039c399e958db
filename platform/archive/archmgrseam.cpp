// The shipped answer of the archive manager's link seam: always run the operation. Weak, and in a unit
// of its own, so that a test program that links hub_test_archive_faults gets that library's definition
// instead, whether it links the archive component or libhubplatform.so.
#include "platform/archive/archmgrseam.h"

__attribute__((weak)) int archMgrSeamResult(ArchMgrOp, uint64_t, uint64_t) {
    return 0;
}

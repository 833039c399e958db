// The link seam of ArchiveManagerHM: every operation asks archMgrSeamResult first and runs only when it
// answers 0. The shipped libraries define it to answer 0 always (a weak definition); the test-support
// library hub_test_archive_faults replaces it at link time, so failure injection never ships.
// Called from any thread that runs an ArchiveManagerHM operation.
#pragma once

#include <cstdint>

#include "platform/archive/archivemanagerhm.h"

// The result the operation returns instead of running, or 0 to run it. `subject` is the id the
// operation is about (see ArchiveManagerHM's operations), `searchMode` its search mode or 0.
int archMgrSeamResult(ArchMgrOp op, uint64_t subject, uint64_t searchMode);

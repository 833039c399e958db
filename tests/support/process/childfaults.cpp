// Linked into every test program (hub_test): a fault of a child process the test started (a sanitizer's
// report, a death by a signal nobody sent) fails the test, whatever the test itself checks.
#include <gtest/gtest.h>

#include "tests/support/process/childprocess.h"

namespace {

[[maybe_unused]] const bool g_installed = [] {
    hubtest::childFaultReport = [](const std::string& what) { ADD_FAILURE() << what; };
    return true;
}();

}  // namespace

// Installs the test authority before a test program's first test and removes it after its last.
#include <gtest/gtest.h>

#include "tests/support/tls/testpki.h"

namespace {

class CTestPki : public testing::Environment {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(hubtest::installTestPki(error)) << error;
    }
    void TearDown() override { hubtest::removeTestPki(); }
};

[[maybe_unused]] testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new CTestPki);

}  // namespace

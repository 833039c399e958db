// The network suites log their refused and broken sessions; the lines go to a folder of this run that
// is removed when the run ends, so that nothing is left in the temporary folder.
#include <gtest/gtest.h>

#include <memory>

#include "platform/log/evdebug.h"
#include "tests/platform/db/tempdir.h"

namespace {

class CNetLogFolder : public ::testing::Environment {
public:
    void SetUp() override {
        m_folder = std::make_unique<TempDir>();
        ASSERT_FALSE(m_folder->path().empty());
        EvDebugFileInstance::setLogDirectory(m_folder->path());
    }
    // The folder goes; a line written later lands in the already unlinked file.
    void TearDown() override { m_folder.reset(); }

private:
    std::unique_ptr<TempDir> m_folder;
};

[[maybe_unused]] ::testing::Environment* const g_logFolder =
    ::testing::AddGlobalTestEnvironment(new CNetLogFolder);

}  // namespace

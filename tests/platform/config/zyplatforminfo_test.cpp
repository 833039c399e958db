#include "platform/config/zyplatforminfo.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/evdebug.h"
#include "tests/support/log/processlogdir.h"
#include "tests/support/process/iocalls.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "regXXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
        path_ = dir_ + "/registry.ini";
        ZYPlatformInfo::setRegistryPath(path_);
        hubtest::processLogDir();
    }
    void TearDown() override {
        ZYPlatformInfo::setRegistryPath("");
        std::string cmd = "rm -rf '" + dir_ + "'";
        (void)system(cmd.c_str());
    }
    void writeFile(const std::string& text) {
        std::ofstream o(path_, std::ios::trunc);
        o << text;
    }
    std::string dir_, path_;
};

TEST_F(RegistryTest, AbsentKeyLeavesTheDefault) {
    writeFile("[EventManager]\nPresent = 7\n");
    unsigned int v = 42;
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "Missing", &v), 0);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("OtherSection", "Present", &v), 0);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "Present", &v), 1);
    EXPECT_EQ(v, 7u);
}

TEST_F(RegistryTest, NoFileMeansEveryKeyAbsent) {
    unsigned int v = 5;
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "X", &v), 0);
    EXPECT_EQ(v, 5u);
    ZYPlatformInfo::setRegistryPath("");
    unsetenv("HUB_REGISTRY");
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "X", &v), 0);
    EXPECT_EQ(v, 5u);
}

TEST_F(RegistryTest, EnvironmentVariableGivesThePathWhenTheHostSetsNone) {
    writeFile("[~Hubmaster]\nnValue = 12\n");
    ZYPlatformInfo::setRegistryPath("");
    setenv("HUB_REGISTRY", path_.c_str(), 1);
    unsigned int v = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("~Hubmaster", "nValue", &v), 1);
    EXPECT_EQ(v, 12u);
    unsetenv("HUB_REGISTRY");
}

TEST_F(RegistryTest, SectionsNamesCommentsAndCase) {
    writeFile(
        "# comment\n"
        "; other comment\n"
        "TopLevel = 1\n"
        "[EventManager]\n"
        "  Spaced Name   =   0x10  \n"
        "Text = hello = world\n"
        "[VirtualServer]\n"
        "Spaced Name = 99\n"
        "dup = 1\n"
        "dup = 2\n");
    unsigned int v = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("eventmanager", "spaced name", &v), 1);
    EXPECT_EQ(v, 16u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("VirtualServer", "Spaced Name", &v), 1);
    EXPECT_EQ(v, 99u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("", "TopLevel", &v), 1);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("VirtualServer", "dup", &v), 1);
    EXPECT_EQ(v, 2u);
    std::string s;
    EXPECT_EQ(ZYPlatformInfo::getString("EventManager", "Text", &s), 1);
    EXPECT_EQ(s, "hello = world");
    s = "unchanged";
    EXPECT_EQ(ZYPlatformInfo::getString("EventManager", "Nope", &s), 0);
    EXPECT_EQ(s, "unchanged");
}

TEST_F(RegistryTest, NonNumericValueIsTreatedAsAbsent) {
    writeFile("[S]\nbad = 12abc\nempty =\n");
    unsigned int v = 3;
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "bad", &v), 0);
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "empty", &v), 0);
    EXPECT_EQ(v, 3u);
}

TEST_F(RegistryTest, SixtyFourBitReaderKeepsTheWholeValue) {
    writeFile("[S]\nbig = 4294967296\nneg = -1\nhuge = 99999999999999999999999\n");
    unsigned long v = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "big", &v), 1);
    EXPECT_EQ(v, 4294967296UL);
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "neg", &v), 1);
    EXPECT_EQ(v, ~0UL);
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "huge", &v), 1);
    EXPECT_EQ(v, ~0UL);
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(RegistryTest, ValueAboveThirtyTwoBitsIsClampedAndLogged) {
    // 2^32 + 5 would become 5 if cut to its low bits.
    writeFile("[EventManager]\nnTooBig = 4294967301\nnMax = 4294967295\n");
    unsigned int v = 1;
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "nTooBig", &v), 1);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    v = 1;
    EXPECT_EQ(ZYPlatformInfo::getNumber("EventManager", "nMax", &v), 1);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    std::string log = readAll(EvDebugFileInstance::defaultInstance()->filePath());
    EXPECT_NE(
        log.find("ZYPlatformInfo -1 registry value [EventManager][nTooBig] = 4294967301 does not fit in "
                 "32 bits; clamped to 4294967295"),
        std::string::npos)
        << log;
    EXPECT_EQ(log.find("[nMax]"), std::string::npos);
}

TEST_F(RegistryTest, SignedReaderKeepsNegativesAndClamps) {
    writeFile("[S]\nneg = -5\nbig = 3000000000\nsmall = -3000000000\nok = 0x7fffffff\n");
    int v = 17;
    EXPECT_EQ(ZYPlatformInfo::getRegInt("S", "absent", &v), 0);
    EXPECT_EQ(v, 17);
    EXPECT_EQ(ZYPlatformInfo::getRegInt("S", "neg", &v), 1);
    EXPECT_EQ(v, -5);
    EXPECT_EQ(ZYPlatformInfo::getRegInt("S", "big", &v), 1);
    EXPECT_EQ(v, INT_MAX);
    EXPECT_EQ(ZYPlatformInfo::getRegInt("S", "small", &v), 1);
    EXPECT_EQ(v, INT_MIN);
    EXPECT_EQ(ZYPlatformInfo::getRegInt("S", "ok", &v), 1);
    EXPECT_EQ(v, INT_MAX);
}

TEST_F(RegistryTest, ChangedFileIsReadAfreshEvenWithinOneTick) {
    writeFile("[S]\nk = 1\n");
    unsigned int v = 0;
    ASSERT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
    EXPECT_EQ(v, 1u);
    // Same size, same inode, probably the same coarse modification time.
    writeFile("[S]\nk = 2\n");
    ASSERT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
    EXPECT_EQ(v, 2u);
    unlink(path_.c_str());
    v = 9;
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 0);
    EXPECT_EQ(v, 9u);
}

// Inside a read scope a request's many reads look at the file once, not once each; the thread's own write
// is seen by its next read, and another's change by the next scope.
TEST_F(RegistryTest, AReadScopeLooksAtTheFileOnce) {
    writeFile("[S]\nk = 1\n");
    unsigned int v = 0;
    {
        ZYPlatformInfo::CReadScope scope;
        const long long before = hubtest::ioCalls("syscr:");
        ASSERT_GE(before, 0);
        for (int i = 0; i < 100; ++i) ASSERT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
        EXPECT_LT(hubtest::ioCalls("syscr:") - before, 20) << "a look at the file per read";
        EXPECT_EQ(v, 1u);
        ASSERT_TRUE(ZYPlatformInfo::setNumber("S", "k", 2));
        ASSERT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
        EXPECT_EQ(v, 2u);
    }
    writeFile("[S]\nk = 3\n");
    ZYPlatformInfo::CReadScope next;
    ASSERT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
    EXPECT_EQ(v, 3u);
}

// Reads trust what they read until the file is touched: every way of touching it must show at once.
TEST_F(RegistryTest, EveryWayOfChangingTheFileIsSeenAtTheNextRead) {
    unsigned int v = 0;
    auto read = [&]() {
        v = 0;
        return ZYPlatformInfo::getNumber("S", "k", &v) == 1 ? static_cast<int>(v) : -1;
    };
    EXPECT_EQ(read(), -1);  // no file yet
    writeFile("[S]\nk = 1\n");
    EXPECT_EQ(read(), 1);  // created
    EXPECT_EQ(read(), 1);
    // Written in place through another name of the same file, in another folder.
    const std::string other = dir_ + "/elsewhere";
    std::filesystem::create_directory(other);
    ASSERT_EQ(link(path_.c_str(), (other + "/alias.ini").c_str()), 0);
    {
        std::ofstream o(other + "/alias.ini", std::ios::trunc);
        o << "[S]\nk = 2\n";
    }
    EXPECT_EQ(read(), 2);
    // Replaced by a rename, as careful writers do.
    {
        std::ofstream o(dir_ + "/next.tmp");
        o << "[S]\nk = 3\n";
    }
    ASSERT_EQ(rename((dir_ + "/next.tmp").c_str(), path_.c_str()), 0);
    EXPECT_EQ(read(), 3);
    // Other files of its folder come and go without changing what is read.
    for (int i = 0; i < 50; ++i) std::ofstream(dir_ + "/noise" + std::to_string(i)) << i;
    EXPECT_EQ(read(), 3);
    // Its folder removed and made again at the same place.
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(read(), -1);
    std::filesystem::create_directory(dir_);
    writeFile("[S]\nk = 4\n");
    EXPECT_EQ(read(), 4);
    // A path that is a symbolic link follows its target's changes too.
    const std::string target = dir_ + "/target.ini";
    std::ofstream(target) << "[S]\nk = 5\n";
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(target, path_);
    EXPECT_EQ(read(), 5);
    std::ofstream(target, std::ios::trunc) << "[S]\nk = 6\n";
    EXPECT_EQ(read(), 6);
}

TEST_F(RegistryTest, SettersRewriteTheFileKeepingOtherLines) {
    writeFile("# keep me\n[A]\nx = 1\n\n[B]\ny = 2\n");
    EXPECT_TRUE(ZYPlatformInfo::setNumber("A", "x", 10));
    EXPECT_TRUE(ZYPlatformInfo::setNumber("A", "z", 11));
    EXPECT_TRUE(ZYPlatformInfo::setString("C", "name", "some text"));
    EXPECT_FALSE(ZYPlatformInfo::setString("C", "bad", "two\nlines"));
    unsigned int v = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("A", "x", &v), 1);
    EXPECT_EQ(v, 10u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("A", "z", &v), 1);
    EXPECT_EQ(v, 11u);
    EXPECT_EQ(ZYPlatformInfo::getNumber("B", "y", &v), 1);
    EXPECT_EQ(v, 2u);
    std::string s;
    EXPECT_EQ(ZYPlatformInfo::getString("C", "name", &s), 1);
    EXPECT_EQ(s, "some text");
    EXPECT_TRUE(ZYPlatformInfo::removeValue("A", "x"));
    EXPECT_EQ(ZYPlatformInfo::getNumber("A", "x", &v), 0);
    std::string text = readAll(path_);
    EXPECT_NE(text.find("# keep me"), std::string::npos);
    // z went into section A, not after B
    EXPECT_LT(text.find("z = 11"), text.find("[B]"));
}

TEST_F(RegistryTest, ConcurrentReadersAndAWriter) {
    writeFile("[S]\nk = 0\n");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                unsigned int v = 12345;
                if (ZYPlatformInfo::getNumber("S", "k", &v) != 1 || v > 200) bad.fetch_add(1);
            }
        });
    }
    for (unsigned long i = 1; i <= 200; ++i) ASSERT_TRUE(ZYPlatformInfo::setNumber("S", "k", i));
    stop.store(true);
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    unsigned int v = 0;
    EXPECT_EQ(ZYPlatformInfo::getNumber("S", "k", &v), 1);
    EXPECT_EQ(v, 200u);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

TEST_F(RegistryTest, WrittenForTheOwnerOnlyAndLeavesNoTemporaryFile) {
    const mode_t old = umask(022);  // the usual mask would give 0644 to a plain create
    EXPECT_TRUE(ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", "0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(modeOf(path_), 0600u);
    // An existing file open to others is narrowed by the next write.
    ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
    EXPECT_TRUE(ZYPlatformInfo::setNumber("EventManager", "DebugLevel", 2));
    EXPECT_EQ(modeOf(path_), 0600u);
    umask(old);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
        ++files;
        EXPECT_EQ(e.path().filename(), "registry.ini");
    }
    EXPECT_EQ(files, 1u);
    std::string key;
    EXPECT_EQ(ZYPlatformInfo::getSecret("~Hubmaster", "sZetaTokenKey", &key), 1);
    EXPECT_EQ(key, "0123456789abcdef0123456789abcdef");
}

TEST_F(RegistryTest, SecretInAFileOthersMayReadIsRefused) {
    writeFile("[MessageSecurity]\nsMessageSigningKey = secret-secret-secret\nnPlain = 5\n");
    ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
    std::string key = "unset";
    EXPECT_EQ(ZYPlatformInfo::getSecret("MessageSecurity", "sMessageSigningKey", &key), 0);
    EXPECT_EQ(key, "unset");
    std::string log = readAll(EvDebugFileInstance::defaultInstance()->filePath());
    EXPECT_NE(
        log.find("ERROR: the secret [MessageSecurity][sMessageSigningKey] is refused: the registry file " +
                 path_ + " has mode 0644: others may read it"),
        std::string::npos)
        << log;
    unsigned int plain = 0;  // values that are not secrets are still served
    EXPECT_EQ(ZYPlatformInfo::getNumber("MessageSecurity", "nPlain", &plain), 1);
    EXPECT_EQ(plain, 5u);

    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);  // the group is others too
    EXPECT_EQ(ZYPlatformInfo::getSecret("MessageSecurity", "sMessageSigningKey", &key), 0);
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
    EXPECT_EQ(ZYPlatformInfo::getSecret("MessageSecurity", "sMessageSigningKey", &key), 1);
    EXPECT_EQ(key, "secret-secret-secret");
    EXPECT_EQ(ZYPlatformInfo::getSecret("MessageSecurity", "absent", &key), 0);
}

}  // namespace

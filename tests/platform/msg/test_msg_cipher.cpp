// Password fields on the wire: enciphered under the installation's message-security key with a fresh
// IV each time, authenticated, and unreadable under another key.
#include <gtest/gtest.h>

#include "platform/msg/msg_classes.h"
#include "platform/msg/msg_security_key.h"
#include "platform/msg/password_cipher.h"
#include "platform/msg/xml_codec.h"

using Req = CNSession::LaunchOnDemandServiceReq;

namespace {

class PasswordCipher : public ::testing::Test {
protected:
    void SetUp() override { msgSetSecurityKey("installation-key-A-0123456789"); }
    void TearDown() override { msgSetSecurityKey(""); }

    static Req request(const std::string& password) {
        Req r;
        r.setstring(Req::f::userName, "farm\\admin");
        r.setpstringobject(Req::f::password, bstring(password));
        return r;
    }
    static std::string xmlOf(const Req& r) {
        std::string xml;
        EXPECT_EQ(r.serialize(xml), 0);
        return xml;
    }
    static std::string passwordOf(const std::string& xml, int* rc = nullptr) {
        Req back;
        int result = back.unserialize(xml);
        if (rc) *rc = result;
        pstring* p = result == 0 ? back.getpstringobject(Req::f::password) : nullptr;
        return p ? p->str() : "<unread>";
    }
    // The enciphered text between <password x.enc="1"> and </password>.
    static size_t cipherStart(const std::string& xml) { return xml.find('>', xml.find("<password")) + 1; }
};

}  // namespace

TEST_F(PasswordCipher, EqualPasswordsDifferOnTheWireAndReadBack) {
    const std::string one = xmlOf(request("s3cr3t")), two = xmlOf(request("s3cr3t"));
    EXPECT_NE(one, two);
    EXPECT_EQ(one.find("s3cr3t"), std::string::npos);
    EXPECT_EQ(passwordOf(one), "s3cr3t");
    EXPECT_EQ(passwordOf(two), "s3cr3t");
    EXPECT_NE(msgEncipherSecret("s3cr3t"), msgEncipherSecret("s3cr3t"));
    for (const std::string& plain :
         {std::string(), std::string("x"), std::string(5000, 'p'), std::string("nul\0inside", 10)}) {
        std::string back;
        ASSERT_TRUE(msgDecipherSecret(msgEncipherSecret(plain), back));
        EXPECT_EQ(back, plain);
    }
}

TEST_F(PasswordCipher, AChangedTextIsRefused) {
    const std::string xml = xmlOf(request("s3cr3t"));
    const size_t start = cipherStart(xml), end = xml.find("</password>");
    ASSERT_LT(start, end);
    // one hex digit changed anywhere: in the IV, the ciphertext or the tag
    for (size_t at : {start, start + 26, end - 1}) {
        std::string changed = xml;
        changed[at] = changed[at] == '0' ? '1' : '0';
        int rc = 0;
        passwordOf(changed, &rc);
        EXPECT_EQ(rc, MSG_ERR_SECRET) << at - start;
    }
    // cut short, or a value written by someone without the key
    std::string cut = xml;
    cut.erase(end - 2, 2);
    int rc = 0;
    passwordOf(cut, &rc);
    EXPECT_EQ(rc, MSG_ERR_SECRET);
    std::string plain;
    EXPECT_FALSE(msgDecipherSecret("00", plain));
    EXPECT_FALSE(msgDecipherSecret(std::string(56, '0'), plain));
}

TEST_F(PasswordCipher, OnlyTheInstallationsKeyReadsThem) {
    const std::string xml = xmlOf(request("s3cr3t"));
    msgSetSecurityKey("installation-key-B-0123456789");
    int rc = 0;
    passwordOf(xml, &rc);
    EXPECT_EQ(rc, MSG_ERR_SECRET);
    msgSetSecurityKey("installation-key-A-0123456789");
    EXPECT_EQ(passwordOf(xml), "s3cr3t");
    // with no key configured at all a key of this process serves, never one built into the library
    msgSetSecurityKey("");
    const std::string local = xmlOf(request("s3cr3t"));
    EXPECT_EQ(passwordOf(local), "s3cr3t");
    passwordOf(xml, &rc);
    EXPECT_EQ(rc, MSG_ERR_SECRET);
}

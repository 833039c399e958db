#include "platform/msg/password_cipher.h"

#include <openssl/evp.h>

#include <atomic>
#include <climits>
#include <memory>

#include "platform/crypto/zycrypto.h"
#include "platform/msg/msg_log.h"
#include "platform/msg/msg_security_key.h"
#include "platform/threads/hubmutex.h"

namespace {

constexpr size_t kIvSize = 12;
constexpr size_t kTagSize = 16;
// Binds the derived key to this use: the same installation key also signs requests.
constexpr std::string_view kKeyPurpose = "hubplatform password field cipher, AES-256-GCM, v2";

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CHubMutex g_lock;
std::string g_source GUARDED_BY(g_lock);  // the installation key the cipher key came from
zycrypto::Digest g_cipherKey GUARDED_BY(g_lock){};
zycrypto::Digest g_processKey GUARDED_BY(g_lock){};  // used while no installation key is configured
bool g_haveProcessKey GUARDED_BY(g_lock) = false;

bool cipherKey(zycrypto::Digest& out) {
    std::string source;
    const bool installed = msgSecurityKey(source, true);
    CHubMutexLock lock(g_lock);
    if (!installed) {
        if (!g_haveProcessKey) {
            if (!zycrypto::randomBytes(g_processKey.data(), g_processKey.size())) return false;
            g_haveProcessKey = true;
            // Expected of a console away from the Hubmaster, which holds no installation key: detail only.
            msgLog(1,
                   "no message-security key in [%s] %s: password fields are enciphered under a key of "
                   "this process alone and no other process can read them",
                   kMsgSecurityKeySection, kMsgSecurityKeyName);
        }
        source.assign(reinterpret_cast<const char*>(g_processKey.data()), g_processKey.size());
    }
    if (source != g_source || g_source.empty()) {
        if (!zycrypto::hmacSha256(source, kKeyPurpose, g_cipherKey)) return false;
        g_source = source;
    }
    out = g_cipherKey;
    return true;
}

}  // namespace

std::string msgEncipherSecret(std::string_view plain) {
    zycrypto::Digest key{};
    unsigned char iv[kIvSize];
    if (plain.size() > INT_MAX || !cipherKey(key) || !zycrypto::randomBytes(iv, sizeof iv)) return {};
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string body(plain.size(), '\0');
    unsigned char tag[kTagSize];
    int len = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv) != 1)
        return {};
    if (!plain.empty() && EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(body.data()), &len,
                                            reinterpret_cast<const unsigned char*>(plain.data()),
                                            static_cast<int>(plain.size())) != 1)
        return {};
    int tail = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(body.data()) + len, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1)
        return {};
    std::string out;
    out.reserve((kIvSize + body.size() + kTagSize) * 2);
    zycrypto::appendHex(out, iv, sizeof iv);
    zycrypto::appendHex(out, body.data(), body.size());
    zycrypto::appendHex(out, tag, sizeof tag);
    return out;
}

bool msgDecipherSecret(std::string_view hex, std::string& plain) {
    std::string bytes;
    zycrypto::Digest key{};
    if (!zycrypto::fromHex(hex, bytes) || bytes.size() < kIvSize + kTagSize || bytes.size() > INT_MAX ||
        !cipherKey(key))
        return false;
    auto* data = reinterpret_cast<unsigned char*>(bytes.data());
    const size_t bodySize = bytes.size() - kIvSize - kTagSize;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string clear(bodySize, '\0');
    int len = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kIvSize, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), data) != 1)
        return false;
    if (bodySize && EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(clear.data()), &len,
                                      data + kIvSize, static_cast<int>(bodySize)) != 1)
        return false;
    int tail = 0;
    // The tag is checked by the final step: nothing of a changed text is handed out.
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, data + kIvSize + bodySize) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(clear.data()) + len, &tail) != 1)
        return false;
    plain = std::move(clear);
    return true;
}

namespace {
std::atomic<bool> g_relaySealed{false};
}  // namespace

void msgSetRelaySealedSecrets(bool relay) {
    g_relaySealed = relay;
}

bool msgRelaySealedSecrets() {
    return g_relaySealed;
}

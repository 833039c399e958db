#include "platform/msg/password_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "platform/msg/msg_crypto.h"

namespace {

constexpr size_t kIvSize = 16;

const MsgDigest& cipherKey() {
    static const MsgDigest key = msgSha256("hubplatform message password cipher key, v1");
    return key;
}

const MsgDigest& ivKey() {
    static const MsgDigest key = msgSha256("hubplatform message password iv key, v1");
    return key;
}

bool syntheticIv(std::string_view plain, unsigned char (&iv)[kIvSize]) {
    MsgDigest mac{};
    std::string_view key(reinterpret_cast<const char*>(ivKey().data()), ivKey().size());
    if (!msgHmacSha256(key, plain, mac)) return false;
    std::copy_n(mac.begin(), kIvSize, iv);
    return true;
}

// AES-256-CTR is its own inverse.
bool ctr(const unsigned char* iv, std::string_view in, std::string& out) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, cipherKey().data(), iv) != 1)
        return false;
    out.assign(in.size(), '\0');
    int len = 0;
    if (!in.empty() && EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len,
                                         reinterpret_cast<const unsigned char*>(in.data()),
                                         static_cast<int>(in.size())) != 1)
        return false;
    return true;
}

}  // namespace

std::string msgEncipherSecret(std::string_view plain) {
    unsigned char iv[kIvSize];
    std::string body;
    if (!syntheticIv(plain, iv) || !ctr(iv, plain, body)) return {};
    return msgToHex(iv, kIvSize) + msgToHex(reinterpret_cast<const unsigned char*>(body.data()), body.size());
}

bool msgDecipherSecret(std::string_view hex, std::string& plain) {
    std::string bytes;
    if (!msgFromHex(hex, bytes) || bytes.size() < kIvSize) return false;
    const auto* iv = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string clear;
    if (!ctr(iv, std::string_view(bytes).substr(kIvSize), clear)) return false;
    unsigned char check[kIvSize];
    if (!syntheticIv(clear, check)) return false;
    if (!msgSameBytes(std::string_view(reinterpret_cast<const char*>(check), kIvSize),
                      bytes.substr(0, kIvSize)))
        return false;
    plain = std::move(clear);
    return true;
}

#include "platform/msg/msg_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

MsgDigest msgSha256(std::string_view data) {
    MsgDigest out{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

bool msgHmacSha256(std::string_view key, std::string_view data, MsgDigest& out) {
    unsigned int len = 0;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
                &len) != nullptr &&
           len == out.size();
}

std::string msgToHex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t n = 0; n < size; ++n) {
        out[2 * n] = digits[data[n] >> 4];
        out[2 * n + 1] = digits[data[n] & 15];
    }
    return out;
}

bool msgFromHex(std::string_view hex, std::string& out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2) return false;
    std::string bytes(hex.size() / 2, '\0');
    for (size_t n = 0; n < bytes.size(); ++n) {
        int hi = nibble(hex[2 * n]), lo = nibble(hex[2 * n + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[n] = static_cast<char>(hi << 4 | lo);
    }
    out = std::move(bytes);
    return true;
}

bool msgSameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

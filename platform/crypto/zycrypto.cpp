#include "platform/crypto/zycrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace zycrypto {

Digest sha256(std::string_view data) {
    Digest out{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

bool hmacSha256(std::string_view key, std::string_view data, Digest& out) {
    if (key.size() > INT_MAX) return false;
    unsigned int len = 0;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
                &len) != nullptr &&
           len == out.size();
}

void appendHex(std::string& out, const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t at = out.size();
    out.resize(at + size * 2);
    for (size_t n = 0; n < size; ++n) {
        out[at + 2 * n] = digits[bytes[n] >> 4];
        out[at + 2 * n + 1] = digits[bytes[n] & 15];
    }
}

std::string toHex(const void* data, size_t size) {
    std::string out;
    appendHex(out, data, size);
    return out;
}

bool fromHex(std::string_view hex, std::string& out) {
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

bool sameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace {

// Small draws (a browse's session id and answer key, nonces, IVs) come from a block of the thread's that
// the library's generator fills at once: one call per block, not one per draw. A byte handed out is wiped
// from the block, and a forked child never draws what its parent had left.
struct TRandomBlock {
    unsigned char bytes[512];
    size_t left = 0;
    pid_t filledBy = 0;
};
thread_local TRandomBlock t_random;
constexpr size_t kLargestPooledDraw = 64;

}  // namespace

bool randomBytes(void* out, size_t size) {
    if (size > INT_MAX) return false;
    if (size > kLargestPooledDraw)
        return RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(size)) == 1;
    TRandomBlock& block = t_random;
    const pid_t self = getpid();
    if (block.filledBy != self || block.left < size) {
        block.left = 0;
        if (RAND_bytes(block.bytes, sizeof block.bytes) != 1) return false;
        block.left = sizeof block.bytes;
        block.filledBy = self;
    }
    unsigned char* from = block.bytes + sizeof block.bytes - block.left;
    std::memcpy(out, from, size);
    OPENSSL_cleanse(from, size);
    block.left -= size;
    return true;
}

}  // namespace zycrypto

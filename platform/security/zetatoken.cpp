#include "platform/security/zetatoken.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "platform/config/zyplatforminfo.h"
#include "platform/crypto/zycrypto.h"

namespace {

constexpr const char* kPrefix = "ZT1.";
constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string base64url(const unsigned char* data, size_t n) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < n) v |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < n) v |= data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        if (i + 1 < n) out += kAlphabet[(v >> 6) & 63];
        if (i + 2 < n) out += kAlphabet[v & 63];
    }
    return out;
}

// The sextet of each character; -1 for one outside the alphabet.
constexpr std::array<signed char, 256> kSextets = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    for (int k = 0; k < 64; ++k) t[static_cast<unsigned char>(kAlphabet[k])] = static_cast<signed char>(k);
    return t;
}();

// Strict: only the alphabet, no padding, no leftover bits; one canonical text per byte string.
bool unbase64url(std::string_view in, std::string& out) {
    if (in.size() % 4 == 1) return false;
    out.resize(in.size() * 6 / 8);  // every byte the text holds, written in place
    size_t made = 0;
    unsigned acc = 0;
    int bits = 0;
    for (char c : in) {
        const int s = kSextets[static_cast<unsigned char>(c)];
        if (s < 0) return false;
        acc = (acc << 6) | static_cast<unsigned>(s);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[made++] = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return (acc & ((1u << bits) - 1)) == 0;
}

bool parseNumber(std::string_view t, long long& out) {
    if (t.empty() || t.size() > 19) return false;
    for (char c : t)
        if (c < '0' || c > '9') return false;
    const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), out);
    return error == std::errc() && end == t.data() + t.size();
}

bool isHex(std::string_view t) {
    for (char c : t)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

bool CZetaToken::signingKey(std::string& key) {
    std::string k;
    if (ZYPlatformInfo::getSecret("~Hubmaster", "sZetaTokenKey", &k) == 0 || k.size() < kMinKeyBytes)
        return false;
    key = k;
    return true;
}

CZetaToken::Result CZetaToken::issue(const std::string& key, TZetaTokenClaims& claims, std::string& token) {
    if (key.size() < kMinKeyBytes) return kNoKey;
    if ((claims.kind != kUserToken && claims.kind != kSessionToken) || claims.userId <= 0 ||
        claims.issuedAt < 0 || claims.expiresAt <= claims.issuedAt)
        return kBadArgument;
    unsigned char nonce[16];
    if (!zycrypto::randomBytes(nonce, sizeof nonce)) return kNoKey;
    std::string session = zycrypto::toHex(nonce, sizeof nonce);
    std::string payload = std::string(1, claims.kind) + "|" + std::to_string(claims.userId) + "|" +
                          std::to_string(claims.issuedAt) + "|" + std::to_string(claims.expiresAt) + "|" +
                          session;
    zycrypto::Digest sig{};
    if (!zycrypto::hmacSha256(key, payload, sig)) return kNoKey;
    claims.sessionId = session;
    token = std::string(kPrefix) +
            base64url(reinterpret_cast<const unsigned char*>(payload.data()), payload.size()) + "." +
            base64url(sig.data(), sig.size());
    return kValid;
}

CZetaToken::Result CZetaToken::verify(const std::string& key, const std::string& token, long long now,
                                      TZetaTokenClaims& claims) {
    if (key.size() < kMinKeyBytes) return kNoKey;
    const std::string prefix(kPrefix);
    if (token.size() > kMaxTokenBytes || token.compare(0, prefix.size(), prefix) != 0) return kMalformed;
    size_t dot = token.find('.', prefix.size());
    if (dot == std::string::npos || token.find('.', dot + 1) != std::string::npos) return kMalformed;
    std::string payload, sig;
    const std::string_view text(token);
    if (!unbase64url(text.substr(prefix.size(), dot - prefix.size()), payload) ||
        !unbase64url(text.substr(dot + 1), sig))
        return kMalformed;

    // The signature first: nothing of an unsigned payload is believed, not even its form.
    zycrypto::Digest expect{};
    if (!zycrypto::hmacSha256(key, payload, expect)) return kNoKey;
    if (!zycrypto::sameBytes(sig,
                             std::string_view(reinterpret_cast<const char*>(expect.data()), expect.size())))
        return kBadSignature;

    // Five parts, read where they stand in the payload; a sixth makes it malformed.
    constexpr size_t kParts = 5;
    std::string_view parts[kParts];
    size_t count = 0;
    const std::string_view signedText(payload);
    for (size_t start = 0;;) {
        const size_t bar = signedText.find('|', start);
        if (count == kParts) {
            ++count;
            break;
        }
        parts[count++] = signedText.substr(start, bar == std::string_view::npos ? bar : bar - start);
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    long long user = 0, iat = 0, exp = 0;
    if (count != kParts || parts[0].size() != 1 ||
        (parts[0][0] != kUserToken && parts[0][0] != kSessionToken) || !parseNumber(parts[1], user) ||
        user <= 0 || user > 0x7fffffff || !parseNumber(parts[2], iat) || !parseNumber(parts[3], exp) ||
        parts[4].size() != 32 || !isHex(parts[4]))
        return kMalformed;
    if (now >= exp) return kExpired;
    if (iat > now + kClockSkewSeconds) return kNotYetValid;
    claims.kind = parts[0][0];
    claims.userId = static_cast<int>(user);
    claims.issuedAt = iat;
    claims.expiresAt = exp;
    claims.sessionId = std::string(parts[4]);
    return kValid;
}

const char* CZetaToken::resultText(Result r) {
    switch (r) {
        case kValid:
            return "valid";
        case kNoKey:
            return "no usable token key";
        case kMalformed:
            return "malformed token";
        case kBadSignature:
            return "signature does not match";
        case kExpired:
            return "token expired";
        case kNotYetValid:
            return "token issued in the future";
        case kBadArgument:
            return "bad token claims";
    }
    return "unknown";
}

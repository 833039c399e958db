// CZetaToken: the signed authentication tokens of the security manager. A token names a user and,
// for session tokens, a session; it is signed with HMAC-SHA256 under the Hubmaster's token key and
// carries its own expiry, so a changed byte or an old token is refused. Pure functions; any thread.
//
// Form: "ZT1." base64url(payload) "." base64url(HMAC-SHA256(key, payload)), the payload being
// "<kind>|<user id>|<issued at>|<expires at>|<session id>" (kind 'U' user token, 'S' session token).
#pragma once

#include <string>

struct TZetaTokenClaims {
    char kind = 'U';  // CZetaToken::kUserToken or kSessionToken
    int userId = 0;
    long long issuedAt = 0;  // seconds since 1970
    long long expiresAt = 0;
    std::string sessionId;  // 32 hex digits, random; also makes every token unique
};

class CZetaToken {
public:
    static constexpr char kUserToken = 'U';
    static constexpr char kSessionToken = 'S';
    static constexpr size_t kMinKeyBytes = 16;
    static constexpr size_t kMaxTokenBytes = 4096;
    static constexpr long long kClockSkewSeconds = 300;

    enum Result : int {
        kValid = 0,
        kNoKey = 1,  // no usable signing key: nothing is issued or accepted
        kMalformed = 2,
        kBadSignature = 3,
        kExpired = 4,
        kNotYetValid = 5,  // issued further in the future than the clock skew allows
        kBadArgument = 6,
    };

    // The signing key: registry value "sZetaTokenKey" of section "~Hubmaster". False (and `key` left
    // alone) when it is absent, shorter than kMinKeyBytes, or the registry file is open to others.
    static bool signingKey(std::string& key);

    // Makes a token for `claims` (kind, user id, times) with a fresh random session id, which is
    // written back into `claims`. kValid or the reason it could not.
    static Result issue(const std::string& key, TZetaTokenClaims& claims, std::string& token);

    // Checks the form, the signature (in constant time) and the validity at `now`. Fills `claims` only
    // when the token is valid.
    static Result verify(const std::string& key, const std::string& token, long long now,
                         TZetaTokenClaims& claims);

    static const char* resultText(Result r);
};

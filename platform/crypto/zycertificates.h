// The Hubmaster's own certificate authority: its key and self-signed certificate, and the certificates
// it issues to each machine (named by the machine's client name), as PEM texts. Elliptic-curve keys
// (P-256) keep issuing and handshakes cheap. Pure functions; any thread.
#pragma once

#include <string>

namespace zycrypto {

struct TPemPair {
    std::string certificate;
    std::string key;
};

// A new authority named `name`, valid for `days`. False with `error` when OpenSSL fails.
bool createAuthority(const std::string& name, int days, TPemPair& authority, std::string& error);

// A certificate for the machine `clientName`, signed by `authority`, valid for `days`; usable by a
// machine both as a server and as a client. False with `error` for a name that is empty, longer than
// 64 characters or holds a control character, an authority that does not parse, or an OpenSSL failure.
bool issueCertificate(const TPemPair& authority, const std::string& clientName, int days, TPemPair& issued,
                      std::string& error);

// The common name of a PEM certificate, "" when it has none or does not parse.
std::string certificateName(const std::string& certificatePem);

}  // namespace zycrypto

// Test support: every test program runs with secure sessions, as the real processes do. Before the
// first test a fresh authority is made in a temporary folder (removed at the end); the program's own
// certificate names "hubmaster", and a session that speaks as another client name gets a certificate
// for it on demand (tests play several machines in one process); one that speaks as kAnonymous has
// none. The authority is also given to the
// demo worlds the program creates (reuseZyNetAuthority), so the media agents and consoles it starts
// trust it, each with credentials of its own.
#pragma once

#include <string>

namespace hubtest {

// The local name a session of a test speaks as to be a caller without a certificate.
inline constexpr const char* kAnonymous = "(anonymous)";

// Makes the authority and installs the program's credentials (done before the first test of every test
// program; a benchmark calls it itself). False with `error` on failure.
bool installTestPki(std::string& error);
// Forgets the identities and removes the folder.
void removeTestPki();

// Puts back the program's own identities (after a test installed a source of its own).
void useTestIdentities();

// The test authority's folder ("authority.crt", "authority.key").
std::string testAuthorityFolder();
// A credentials folder for `clientName` issued by the test authority (made once per name).
std::string testCredentialsFor(const std::string& clientName);

}  // namespace hubtest

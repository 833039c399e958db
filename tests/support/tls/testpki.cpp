#include "tests/support/tls/testpki.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"

// Weak: a program without the network layer (or one that never uses its credentials) links without it,
// and then needs no credentials.
__attribute__((weak)) bool createZyNetAuthority(const std::string&, const std::string&, std::string&);
__attribute__((weak)) void reuseZyNetAuthority(const std::string&);
__attribute__((weak)) bool issueZyNetCredentials(const std::string&, const std::string&, const std::string&,
                                                 std::string&);
__attribute__((weak)) TZyNetCredentials zyNetCredentialsIn(const std::string&);
__attribute__((weak)) bool setZyNetCredentials(const TZyNetCredentials&, std::string&);
__attribute__((weak)) void setZyNetIdentitySource(ZyNetIdentitySource);
__attribute__((weak)) TZyNetOptions zyNetOptions();
__attribute__((weak)) void setZyNetOptions(const TZyNetOptions&);

namespace hubtest {
namespace {

namespace fs = std::filesystem;

std::mutex g_mutex;  // guards the issuing of credentials

fs::path folder() {
    // Never destroyed: removeTestPki may run from an exit handler registered before this was made.
    static const fs::path* const f =
        new fs::path(fs::temp_directory_path() / ("hub-test-pki-" + std::to_string(getpid())));
    return *f;
}

bool networked() {
    bool (*install)(const TZyNetCredentials&, std::string&) = &setZyNetCredentials;
    return install != nullptr && &createZyNetAuthority != nullptr && &issueZyNetCredentials != nullptr &&
           &zyNetCredentialsIn != nullptr && &setZyNetIdentitySource != nullptr;
}

}  // namespace

bool installTestPki(std::string& error) {
    if (!networked()) return true;
    if (!createZyNetAuthority(testAuthorityFolder(), "test authority", error)) return false;
    if (&reuseZyNetAuthority != nullptr) reuseZyNetAuthority(testAuthorityFolder());
    const std::string own = testCredentialsFor("hubmaster");
    if (own.empty() || !setZyNetCredentials(zyNetCredentialsIn(own), error)) return false;
    // A test process plays the Hubmaster unless it names another machine, as the host does with its
    // own certificate.
    TZyNetOptions options = &zyNetOptions != nullptr ? zyNetOptions() : TZyNetOptions();
    if (&setZyNetOptions != nullptr && options.localClientName.empty()) {
        options.localClientName = "hubmaster";
        setZyNetOptions(options);
    }
    useTestIdentities();
    return true;
}

void removeTestPki() {
    if (networked()) setZyNetIdentitySource(nullptr);
    std::error_code ec;
    fs::remove_all(folder(), ec);
}

void useTestIdentities() {
    if (!networked()) return;
    setZyNetIdentitySource([](const std::string& name, TZyNetCredentials& credentials) {
        if (name == kAnonymous) {
            credentials = TZyNetCredentials();
            credentials.authorityFile = (fs::path(testAuthorityFolder()) / "authority.crt").string();
            return true;
        }
        const std::string issued = testCredentialsFor(name);
        if (issued.empty()) return false;
        credentials = zyNetCredentialsIn(issued);
        return true;
    });
}

std::string testAuthorityFolder() {
    return (folder() / "authority").string();
}

std::string testCredentialsFor(const std::string& clientName) {
    if (!networked()) return std::string();
    std::lock_guard<std::mutex> lock(g_mutex);
    const fs::path issued = folder() / "machines" / clientName;
    std::error_code ec;
    if (fs::exists(issued / "machine.key", ec)) return issued.string();
    std::string error;
    if (!issueZyNetCredentials(testAuthorityFolder(), clientName, issued.string(), error)) {
        std::fprintf(stderr, "test credentials for %s: %s\n", clientName.c_str(), error.c_str());
        return std::string();
    }
    return issued.string();
}

}  // namespace hubtest

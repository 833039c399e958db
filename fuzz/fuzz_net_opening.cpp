// Fuzzes what a listener reads first on a connection: arbitrary opening bytes (a TLS hello or not, a
// plain opening frame or garbage) sent to a real listener on loopback, which must refuse or serve, never
// crash, and keep taking connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzzscratch.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "tests/support/tls/testpki.h"

namespace {

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzscratch::keepLogsPrivate();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<CZydListener> listener = [] {
        std::string error;
        if (!hubtest::installTestPki(error)) abort();  // the listener speaks TLS as a real one does
        // The test authority's folder, and the credentials issued in it, go with the run. Registered once
        // the network's credentials exist, so that it runs before they are destroyed at exit.
        std::atexit([] { hubtest::removeTestPki(); });
        // It speaks as this machine alone: a name an opening makes up gets no credentials issued for it.
        const std::string own = hubtest::testCredentialsFor("hubmaster");
        setZyNetIdentitySource([own](const std::string& name, TZyNetCredentials& credentials) {
            if (name != "hubmaster") return false;
            credentials = zyNetCredentialsIn(own);
            return true;
        });
        // And plain sessions, as a machine with the switch on: a plain opening then goes on past its
        // first byte to the frame cutter and the opening's records instead of a refusal.
        TZyNetOptions options = zyNetOptions();
        options.allowPlainSessions = true;
        setZyNetOptions(options);
        auto made = CZydListener::create();
        if (made->start(0).IsError()) abort();
        return made;
    }();
    const int fd = connectTo(listener->port());
    if (fd < 0) abort();  // the listener stopped taking connections
    if (size > 0) (void)send(fd, data, size, MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    // Whatever the listener answers, until it closes (bounded, so a slow opening cannot stall the run).
    char buffer[4096];
    pollfd wait{fd, POLLIN, 0};
    while (poll(&wait, 1, 2000) > 0 && recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    close(fd);
    return 0;
}

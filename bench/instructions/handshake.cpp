#include "bench/instructions/handshake.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace instrbench {

namespace {

std::string sslError(const char* what) {
    const unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return std::string(what) + (code != 0 ? std::string(": ") + text : std::string());
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

bool handshakes(int port, const std::string& authorityFile, const std::string& serverName, int count,
                std::string& error) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION) != 1 ||
        SSL_CTX_load_verify_locations(ctx.get(), authorityFile.c_str(), nullptr) != 1) {
        error = sslError("the client's context");
        return false;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // A full handshake every time, as a console that runs one command per process makes it.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(port);
        if (fd < 0) {
            error = "cannot connect to port " + std::to_string(port);
            return false;
        }
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
        const bool shaken = ssl && SSL_set_fd(ssl.get(), fd) == 1 &&
                            SSL_set_tlsext_host_name(ssl.get(), serverName.c_str()) == 1 &&
                            SSL_connect(ssl.get()) == 1;
        if (!shaken) {
            error = sslError("the handshake failed");
            close(fd);
            return false;
        }
        SSL_shutdown(ssl.get());
        // The listener's answer (its ticket, its own close) until it closes.
        char buffer[4096];
        while (SSL_read(ssl.get(), buffer, sizeof buffer) > 0) {
        }
        ERR_clear_error();
        ssl.reset();
        close(fd);
    }
    return true;
}

}  // namespace instrbench
